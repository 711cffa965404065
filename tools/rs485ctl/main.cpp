// rs485ctl: commissioning and diagnosis of the RS-485 lines through librs485.
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "CtlRunner.h"
#include "DaemonProbe.h"
#include "DirectionProbe.h"
#include "ExitCode.h"
#include "OrderWords.h"
#include "ReportWriter.h"
#include "SignalWatch.h"
#include "StdoutDiverter.h"
#include "UserList.h"

namespace {

// --users: asks the daemon for the channel's users on a connection of its own.
int ListUsers(const rs485ctl::CtlSettings& settings) {
    using namespace rs485ctl;
    const DaemonProbe probe;
    if (!probe.ConfigProblem().empty()) {
        std::fprintf(stderr, "rs485ctl: cannot read %s: %s\n", probe.ConfigFile().c_str(),
                     probe.ConfigProblem().c_str());
        return kExitNoConfiguration;
    }
    const std::string reply =
        probe.Ask(std::string(vel::order::kUsers) + vel::order::kFieldSeparator +
                      std::to_string(settings.channel - 1) + vel::order::kTerminator,
                  5000);
    if (reply.empty() && !probe.Reachable()) {
        std::fprintf(stderr, "rs485ctl: dwmid is not running (nothing listens on %s)\n",
                     probe.Address().c_str());
        return kExitDaemonNotRunning;
    }
    std::vector<UserList::User> users;
    std::string error;
    if (!UserList::Parse(reply, &users, &error)) {
        std::fprintf(stderr, "rs485ctl: channel %d: %s\n", settings.channel, error.c_str());
        return kExitChannelRefused;
    }
    UserList::Print(stdout, settings.channel, users, settings.json);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rs485ctl;
    using rs485tools::StdoutDiverter;
    CommandLine command_line;
    switch (command_line.Parse(argc, argv)) {
        case CommandLine::Outcome::kHelp:
            std::fputs(command_line.Message().c_str(), stdout);
            return kExitOk;
        case CommandLine::Outcome::kError:
            std::fprintf(stderr, "rs485ctl: %s\nRun with --help for more information.\n",
                         command_line.Message().c_str());
            return kExitBadArguments;
        case CommandLine::Outcome::kRun:
            break;
    }
    for (const std::string& warning : command_line.Warnings()) {
        std::fprintf(stderr, "rs485ctl: warning: %s\n", warning.c_str());
    }
    const CtlSettings& settings = command_line.Settings();
    if (!settings.probe_device.empty()) {
        return DirectionProbe::Run(settings.probe_device, stdout);
    }
    if (settings.users) {
        return ListUsers(settings);
    }
    const StdoutDiverter output(settings.trace);
    ReportWriter report(output.Report(), settings.json, settings.count != 1);
    const SignalWatch signals;
    CtlRunner runner(settings, report, signals);
    return runner.Run();
}
