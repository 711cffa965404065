// One run of rs485ctl: open, configure, deposit the requests, run the cycles, report.
#pragma once

#include "CtlSettings.h"
#include "ReportWriter.h"
#include "SignalWatch.h"

namespace rs485ctl {

using rs485tools::SignalWatch;

class CtlRunner {
  public:
    CtlRunner(const CtlSettings& settings, ReportWriter& report, const SignalWatch& signals)
        : settings_(settings), report_(report), signals_(signals) {}

    // The exit status (ExitCode.h).
    int Run();

  private:
    int _openFailure(int result);

    const CtlSettings& settings_;
    ReportWriter& report_;
    const SignalWatch& signals_;
};

}  // namespace rs485ctl
