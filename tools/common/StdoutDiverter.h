// The library writes trace lines to standard output. The tool's own report keeps the
// original standard output, while descriptor 1 goes to /dev/null (or to stderr with
// --trace) for as long as this object lives.
#pragma once

#include <cstdio>

namespace rs485tools {

class StdoutDiverter {
  public:
    explicit StdoutDiverter(bool traces_to_stderr);
    ~StdoutDiverter();
    StdoutDiverter(const StdoutDiverter&) = delete;
    StdoutDiverter& operator=(const StdoutDiverter&) = delete;

    // Stream on the original standard output (stdout itself if diverting failed).
    std::FILE* Report() const { return report_ != nullptr ? report_ : stdout; }

  private:
    int saved_{-1};
    std::FILE* report_{nullptr};
};

}  // namespace rs485tools
