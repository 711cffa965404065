#include "JsonFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace rs485tools {

bool JsonFile::ReadText(const std::string& path, std::string* text, std::string* why) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "r"),
                                                               &std::fclose);
    if (!file) {
        *why = std::strerror(errno);
        return false;
    }
    std::string out;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) {
        out.append(buf, n);
    }
    // A directory opens but cannot be read (EISDIR).
    if (std::ferror(file.get()) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    *text = std::move(out);
    return true;
}

JsonFile::Status JsonFile::Read(const std::string& path, picojson::value* root, std::string* why) {
    std::string text;
    if (!ReadText(path, &text, why)) {
        return Status::kUnreadable;
    }
    *why = picojson::parse(*root, text);
    return why->empty() ? Status::kRead : Status::kNotJson;
}

}  // namespace rs485tools
