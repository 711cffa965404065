// JSON files read by the tools: the whole file, then picojson's parse. Each tool words its own
// messages around the reasons given here.
#pragma once

#include <picojson.h>

#include <string>

namespace rs485tools {

class JsonFile {
  public:
    enum class Status { kRead, kUnreadable, kNotJson };

    // The whole file at path; false with the system's reason in *why.
    static bool ReadText(const std::string& path, std::string* text, std::string* why);
    // The file at path as JSON. kUnreadable with the system's reason in *why, kNotJson with
    // the parser's.
    static Status Read(const std::string& path, picojson::value* root, std::string* why);
};

}  // namespace rs485tools
