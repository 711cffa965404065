// The command line of rs485ctl, parsed with CLI11 into CtlSettings.
#pragma once

#include <string>
#include <vector>

#include "CtlSettings.h"

namespace rs485ctl {

class CommandLine {
  public:
    enum class Outcome { kRun, kHelp, kError };

    // argv as given to main. On kHelp, Message() is the help text; on kError, the reason.
    Outcome Parse(int argc, const char* const* argv);
    const CtlSettings& Settings() const { return settings_; }
    const std::string& Message() const { return message_; }
    // Doubtful but valid choices, for standard error, after kRun.
    const std::vector<std::string>& Warnings() const { return warnings_; }

  private:
    bool _applyMachineOptions(const std::vector<std::string>& sets);
    bool _applyRequests(const std::vector<std::string>& items, bool hex);
    void _warnMachinesWithoutRequest();

    CtlSettings settings_;
    std::string message_;
    std::vector<std::string> warnings_;
};

}  // namespace rs485ctl
