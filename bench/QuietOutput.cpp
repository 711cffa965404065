#include "QuietOutput.h"

#include <unistd.h>

#include <cstdio>

namespace bench {

QuietOutput::QuietOutput(int fd)
    : _savedOut(::dup(STDOUT_FILENO)), _savedErr(::dup(STDERR_FILENO)) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
}

QuietOutput::~QuietOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(_savedOut, STDOUT_FILENO);
    ::dup2(_savedErr, STDERR_FILENO);
    ::close(_savedOut);
    ::close(_savedErr);
}

}  // namespace bench
