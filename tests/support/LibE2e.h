// Helpers for end-to-end tests of librs485: the C test client built against the public
// header alone, its runs, and the bus simulator.
#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

// Compiles tests/c/<name>.c with the system C compiler, strict C99 with POSIX threads,
// against include/rs485.h and the built librs485.so.1 (or the librs485.so.1 in link_dir; the
// program runs with the built one either way). Returns the program path, or an empty string
// with the compiler's output in *log.
std::string BuildCClient(std::string* log, const std::string& name = "rs485_c_client",
                         const std::string& link_dir = std::string());

// A run of the C client; Lines() gives its result lines (those starting with "@ ") without
// the marker.
class CClientRun {
  public:
    bool Start(const std::string& program, const std::vector<std::string>& steps,
               const std::vector<std::string>& extra_env = {});
    // Waits for the end (up to timeout_ms); true when it ended with status 0.
    bool Finish(int timeout_ms = 120000);
    std::vector<std::string> Lines() const;
    // The first result line starting with prefix, or an empty string.
    std::string Line(const std::string& prefix) const;
    ChildProcess& Process() { return proc_; }

  private:
    ChildProcess proc_;
};

// rs485sim on a new pseudo-terminal reachable at link, answering as the machines of the JSON
// text machines_json.
class BusSimulator {
  public:
    bool Start(const std::string& machines_json, const std::string& link);
    std::string Log() const;
    ChildProcess& Process() { return proc_; }

  private:
    ChildProcess proc_;
    std::string log_;
};

}  // namespace testsupport
