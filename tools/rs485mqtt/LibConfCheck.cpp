#include "LibConfCheck.h"

#include <picojson.h>

#include "JsonFile.h"

namespace rs485mqtt {

bool LibConfCheck::Channels(const BridgeConfig& config, const std::string& lib_conf,
                            std::string* error) {
    using rs485tools::JsonFile;
    picojson::value root;
    std::string why;
    const JsonFile::Status read = JsonFile::Read(lib_conf, &root, &why);
    if (read == JsonFile::Status::kUnreadable) {
        *error = "cannot read " + lib_conf + ": " + why + " (the library needs it to reach dwmid)";
        return false;
    }
    if (read == JsonFile::Status::kNotJson || !root.is<picojson::object>()) {
        *error = lib_conf + ": " + (why.empty() ? "not a JSON object" : "not valid JSON: " + why);
        return false;
    }
    const picojson::object& top = root.get<picojson::object>();
    const auto shared = top.find("shared");
    const std::size_t groups = shared != top.end() && shared->second.is<picojson::array>()
                                   ? shared->second.get<picojson::array>().size()
                                   : 0;
    for (const ChannelSettings& c : config.channels) {
        if (static_cast<std::size_t>(c.channel) > groups) {
            *error = "channel " + std::to_string(c.channel) + ": not described by " + lib_conf +
                     " (its \"shared\" list has " + std::to_string(groups) +
                     " group(s), one per channel from 1)";
            return false;
        }
    }
    return true;
}

}  // namespace rs485mqtt
