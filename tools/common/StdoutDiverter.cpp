#include "StdoutDiverter.h"

#include <fcntl.h>
#include <unistd.h>

namespace rs485tools {

StdoutDiverter::StdoutDiverter(bool traces_to_stderr) {
    std::fflush(stdout);
    saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0) {
        return;
    }
    const int target =
        traces_to_stderr ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target < 0) {
        ::close(saved_);
        saved_ = -1;
        return;
    }
    ::dup2(target, STDOUT_FILENO);
    ::close(target);
    // The stream takes its own copy so that the destructor can restore descriptor 1 from
    // saved_ and close the stream independently.
    const int copy = ::fcntl(saved_, F_DUPFD_CLOEXEC, 3);
    report_ = copy >= 0 ? ::fdopen(copy, "w") : nullptr;
    if (report_ == nullptr && copy >= 0) {
        ::close(copy);
    }
}

StdoutDiverter::~StdoutDiverter() {
    if (report_ != nullptr) {
        std::fclose(report_);
    }
    if (saved_ >= 0) {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
}

}  // namespace rs485tools
