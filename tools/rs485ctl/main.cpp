// rs485ctl: commissioning and diagnosis of the RS-485 lines through librs485.
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "CtlRunner.h"
#include "DirectionProbe.h"
#include "ExitCode.h"
#include "ReportWriter.h"
#include "SignalWatch.h"
#include "StdoutDiverter.h"

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
    const StdoutDiverter output(settings.trace);
    ReportWriter report(output.Report(), settings.json, settings.count != 1);
    const SignalWatch signals;
    CtlRunner runner(settings, report, signals);
    return runner.Run();
}
