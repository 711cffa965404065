#include "SettingStore.h"

#include <picojson.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "ConfigParseContext.h"
#include "Trace.h"

namespace vel::settings {

namespace {

// A JSON number converted to signed 32-bit by truncation toward zero. Numbers outside the
// 32-bit range are treated as absent, like a value of the wrong type.
bool ToInt32(const picojson::value& v, int32_t* out) {
    if (!v.is<double>()) {
        return false;
    }
    const double d = v.get<double>();
    if (!(d > -2147483649.0 && d < 2147483648.0)) {
        return false;
    }
    *out = static_cast<int32_t>(d);
    return true;
}

void TakeString(const picojson::object& obj, const std::string& key, std::string* out) {
    const auto it = obj.find(key);
    if (it != obj.end() && it->second.is<std::string>()) {
        *out = it->second.get<std::string>();
    }
}

void TakeInt(const picojson::object& obj, const std::string& key, int32_t* out) {
    const auto it = obj.find(key);
    if (it != obj.end()) {
        int32_t value = 0;
        if (ToInt32(it->second, &value)) {
            *out = value;
        }
    }
}

void TakeLineOptions(const picojson::object& obj, std::map<std::string, LineOption>* out) {
    for (const char* key : SettingStore::kLineOptionKeys) {
        const auto it = obj.find(key);
        if (it == obj.end()) {
            continue;
        }
        LineOption option;
        if (it->second.is<std::string>()) {
            option.type = LineOption::Type::kString;
            option.text = it->second.get<std::string>();
        } else if (it->second.is<double>()) {
            option.type = LineOption::Type::kNumber;
            option.number = it->second.get<double>();
        } else if (it->second.is<bool>()) {
            option.type = LineOption::Type::kBool;
            option.flag = it->second.get<bool>();
        }
        (*out)[key] = option;
    }
}

const picojson::object* ObjectAt(const picojson::object& obj, const std::string& key) {
    const auto it = obj.find(key);
    if (it == obj.end() || !it->second.is<picojson::object>()) {
        return nullptr;
    }
    return &it->second.get<picojson::object>();
}

const picojson::array* ArrayAt(const picojson::object& obj, const std::string& key) {
    const auto it = obj.find(key);
    if (it == obj.end() || !it->second.is<picojson::array>()) {
        return nullptr;
    }
    return &it->second.get<picojson::array>();
}

void TakeStringList(const picojson::object& obj, const std::string& key,
                    std::vector<std::string>* out) {
    const picojson::array* list = ArrayAt(obj, key);
    if (list == nullptr) {
        return;
    }
    for (const picojson::value& v : *list) {
        if (v.is<std::string>()) {
            out->push_back(v.get<std::string>());
        }
    }
}

void TakeIntList(const picojson::object& obj, const std::string& key, std::vector<int32_t>* out) {
    const picojson::array* list = ArrayAt(obj, key);
    if (list == nullptr) {
        return;
    }
    for (const picojson::value& v : *list) {
        int32_t value = 0;
        if (ToInt32(v, &value)) {
            out->push_back(value);
        }
    }
}

}  // namespace

SettingStore::SettingStore(std::string file, bool daemon_build)
    : conf_file(std::move(file)), daemon_build_(daemon_build) {
    (void)loadSettingFile();
}

int SettingStore::_failed(int result, std::string reason) {
    load_result_ = result;
    load_problem_ = std::move(reason);
    return result;
}

int SettingStore::loadSettingFile() {
    load_result_ = 0;
    load_problem_.clear();
    errno = 0;
    std::ifstream in(conf_file, std::ios::in | std::ios::binary);
    if (!in) {
        const int err = errno;
        VERROR("failed to read setting file : " << conf_file);
        return _failed(1, err != 0 ? std::strerror(err) : "cannot be opened");
    }
    std::string text;
    {
        std::ostringstream buffer;
        char chunk[4096];
        std::size_t total = 0;
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
            total += static_cast<std::size_t>(in.gcount());
            if (total > kMaxFileSize) {
                const std::string reason = "larger than " + std::to_string(kMaxFileSize) + " bytes";
                VERROR("failed to read setting file : " << conf_file << " (" << reason << ")");
                return _failed(1, reason);
            }
            buffer.write(chunk, in.gcount());
        }
        if (in.bad()) {
            const int err = errno;
            VERROR("failed to read setting file : " << conf_file);
            return _failed(1, err != 0 ? std::strerror(err) : "read error");
        }
        text = buffer.str();
    }
    picojson::value doc;
    std::string error;
    ConfigParseContext context(&doc, kMaxNesting);
    (void)picojson::_parse(context, text.cbegin(), text.cend(), &error);
    if (!error.empty()) {
        VERROR(error);
        VERROR("failed to read setting file : " << conf_file << " (not valid JSON)");
        return _failed(2, error);
    }
    if (!doc.is<picojson::object>()) {
        VERROR("failed to read setting file : " << conf_file << " (not a JSON object)");
        return _failed(2, "not a JSON object");
    }
    const picojson::object& top = doc.get<picojson::object>();

    if (const picojson::object* conn = ObjectAt(top, key_order_conn)) {
        TakeString(*conn, key_server, &order_conn_data.server);
        TakeInt(*conn, key_port, &order_conn_data.port);
        TakeInt(*conn, key_conenct_timeout, &order_conn_data.connect_timeout);
        TakeInt(*conn, key_res_wait_timeout, &order_conn_data.res_wait_timeout);
    }
    if (const picojson::object* log = ObjectAt(top, key_log)) {
        TakeString(*log, key_log_dir, &log_data.log_dir);
        TakeString(*log, key_log_file, &log_data.log_file);
        TakeInt(*log, key_log_max_bytes, &log_data.log_max_bytes);
        TakeInt(*log, key_log_counts, &log_data.log_counts);
    }
    if (const picojson::array* lines = ArrayAt(top, key_line)) {
        for (const picojson::value& entry : *lines) {
            if (!entry.is<picojson::object>()) {
                continue;  // dropped like an incomplete entry
            }
            const picojson::object& obj = entry.get<picojson::object>();
            std::string device;
            std::string de_line;
            int32_t baudrate = kMissingInt;
            int32_t max_machine = kMissingInt;
            TakeString(obj, key_device, &device);
            TakeString(obj, key_de_line, &de_line);
            TakeInt(obj, key_baudrate, &baudrate);
            TakeInt(obj, key_max_machine, &max_machine);
            std::map<std::string, LineOption> options;
            TakeLineOptions(obj, &options);
            // "direction" stands for "de_line"; present with any value it keeps the entry,
            // so that a wrong value is refused by name instead of moving the lines after it.
            const bool direction = options.count(key_direction) != 0;
            if (!device.empty() && (!de_line.empty() || direction) && baudrate != kMissingInt &&
                max_machine != kMissingInt) {
                line_data.emplace_back(device, de_line, baudrate, max_machine);
                line_data.back().options = std::move(options);
            }
        }
    }
    TakeInt(top, key_shared_indata_num, &shared_indata_num);
    TakeString(top, key_shared_key_dir, &shared_key_dir);
    if (const picojson::array* groups = ArrayAt(top, key_shared)) {
        for (const picojson::value& entry : *groups) {
            std::vector<std::string> ipc;
            std::vector<int32_t> ids;
            std::vector<int32_t> sizes;
            std::vector<std::string> sems;
            // A group that is not an object keeps its place with empty lists, so the groups
            // after it keep their numbers.
            if (entry.is<picojson::object>()) {
                const picojson::object& obj = entry.get<picojson::object>();
                TakeStringList(obj, key_ipc_key, &ipc);
                TakeIntList(obj, key_sh_id, &ids);
                TakeIntList(obj, key_shmem_size, &sizes);
                TakeStringList(obj, key_sem_key, &sems);
            }
            shmem_data.emplace_back(std::move(ipc), std::move(ids), std::move(sizes),
                                    std::move(sems));
        }
    }
    if (daemon_build_) {
        TakeInt(top, key_start_wait_interval, &start_wait_interval);
    }
    std::string trace_value;
    TakeString(top, key_trace, &trace_value);
    vel::TraceOutput output = vel::TraceOutput::kStdout;
    if (vel::ParseTraceOutput(trace_value, &output)) {
        trace = trace_value;
    } else if (!trace_value.empty()) {
        VERROR("unknown trace setting : \"" << trace_value << "\" (stdout used)");
    }
    return 0;
}

void SettingStore::ApplyTraceSetting() const {
    vel::TraceOutput output = vel::TraceOutput::kStdout;
    (void)vel::ParseTraceOutput(trace, &output);
    vel::SetTraceOutput(output);
}

std::string SettingStore::getConfStr(std::string key) const {
    if (key == key_server) {
        return order_conn_data.server;
    }
    if (key == key_log_dir) {
        return log_data.log_dir;
    }
    if (key == key_log_file) {
        return log_data.log_file;
    }
    if (key == key_shared_key_dir) {
        return shared_key_dir;
    }
    if (key == key_trace) {
        return trace;
    }
    return std::string();
}

int32_t SettingStore::getConfInt(std::string key) const {
    if (key == key_port) {
        return order_conn_data.port;
    }
    if (key == key_conenct_timeout) {
        return order_conn_data.connect_timeout;
    }
    if (key == key_res_wait_timeout) {
        return order_conn_data.res_wait_timeout;
    }
    if (key == key_log_max_bytes) {
        return log_data.log_max_bytes;
    }
    if (key == key_log_counts) {
        return log_data.log_counts;
    }
    if (daemon_build_ && key == key_start_wait_interval) {
        return start_wait_interval;
    }
    return kMissingInt;
}

int32_t SettingStore::getConfLineNum() const {
    return static_cast<int32_t>(line_data.size());
}

std::string SettingStore::getConfLineStr(int32_t index, std::string key) const {
    if (index < 0 || index >= getConfLineNum()) {
        return std::string();
    }
    const LineData& line = line_data[static_cast<std::size_t>(index)];
    if (key == key_device) {
        return line.device;
    }
    if (key == key_de_line) {
        return line.de_line;
    }
    return std::string();
}

int32_t SettingStore::getConfLineInt(int32_t index, std::string key) const {
    if (index < 0 || index >= getConfLineNum()) {
        return kMissingInt;
    }
    const LineData& line = line_data[static_cast<std::size_t>(index)];
    if (key == key_baudrate) {
        return line.baudrate;
    }
    if (key == key_max_machine) {
        return line.max_machine;
    }
    return kMissingInt;
}

bool SettingStore::getConfLineOption(int32_t index, const std::string& key, LineOption* out) const {
    if (index < 0 || index >= getConfLineNum()) {
        return false;
    }
    const auto& options = line_data[static_cast<std::size_t>(index)].options;
    const auto it = options.find(key);
    if (it == options.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

int32_t SettingStore::getConfShmemGrpNum() const {
    return static_cast<int32_t>(shmem_data.size());
}

std::string SettingStore::getConfShmemStr(int32_t group, std::string key, int32_t item) const {
    if (group < 0 || group >= getConfShmemGrpNum() || item < 0 || item >= shared_indata_num) {
        return std::string();
    }
    const ShmemData& grp = shmem_data[static_cast<std::size_t>(group)];
    const std::vector<std::string>* list = nullptr;
    if (key == key_ipc_key) {
        list = &grp.ipc_key;
    } else if (key == key_sem_key) {
        list = &grp.sem_key;
    }
    if (list == nullptr || static_cast<std::size_t>(item) >= list->size()) {
        return std::string();
    }
    return (*list)[static_cast<std::size_t>(item)];
}

int32_t SettingStore::getConfShmemInt(int32_t group, std::string key, int32_t item) const {
    if (group < 0 || group >= getConfShmemGrpNum() || item < 0 || item >= shared_indata_num) {
        return kMissingInt;
    }
    const ShmemData& grp = shmem_data[static_cast<std::size_t>(group)];
    const std::vector<int32_t>* list = nullptr;
    if (key == key_sh_id) {
        list = &grp.sh_id;
    } else if (key == key_shmem_size) {
        list = &grp.shmem_size;
    }
    if (list == nullptr || static_cast<std::size_t>(item) >= list->size()) {
        return kMissingInt;
    }
    return (*list)[static_cast<std::size_t>(item)];
}

int32_t SettingStore::getConfShmemInGrpNum() const {
    return shared_indata_num;
}

}  // namespace vel::settings
