#include "SimProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

bool SimProcess::Start(const std::string& link, const std::string& config_json,
                       const std::vector<std::string>& extra_args, int timeout_ms) {
    const std::string bin = Env("RS485SIM_BIN");
    const std::string config = link + ".json";
    log_ = link + ".log";
    if (bin.empty() || !WriteFile(config, config_json)) {
        return false;
    }
    ::unlink(log_.c_str());
    // A link left by a simulator that was killed points to a freed pseudo-terminal; waiting
    // for the link must wait for this simulator's own.
    ::unlink(link.c_str());
    std::vector<std::string> argv = {bin, "--link", link, "--config", config, "--log", log_};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    if (!proc_.Start(argv, link + ".out", link + ".err")) {
        return false;
    }
    return WaitUntil(
               [&] {
                   struct stat st {};
                   return ::lstat(link.c_str(), &st) == 0 || !proc_.Running();
               },
               timeout_ms) &&
           proc_.Running();
}

bool SimProcess::Stop(int signo, int timeout_ms) {
    return proc_.Signal(signo) && proc_.Wait(timeout_ms) && proc_.ExitStatus() == 0;
}

}  // namespace testsupport
