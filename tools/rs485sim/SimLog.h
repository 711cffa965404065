// Time-stamped log lines of the simulator, one per event, flushed at once.
#pragma once

#include <cstdio>
#include <string>

namespace rs485sim {

class SimLog {
  public:
    SimLog() = default;
    ~SimLog();
    SimLog(const SimLog&) = delete;
    SimLog& operator=(const SimLog&) = delete;

    // Appends to path; an empty path writes to standard output.
    bool Open(const std::string& path);
    // "YYYY-MM-DD HH:MM:SS.uuuuuu text", local time.
    void Line(const std::string& text);

  private:
    std::FILE* out_{stdout};
    bool owned_{false};
};

// Two upper-case hexadecimal digits per byte, separated by blanks.
std::string HexBytes(const std::string& bytes);

}  // namespace rs485sim
