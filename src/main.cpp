// Process entry of the daemon: signals, settings, logger, start-up and service.
#include <signal.h>
#include <unistd.h>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Log.h"
#include "SettingDatas.h"
#include "Trace.h"
#include "dwmid.h"

namespace {

using veldw485::data::SettingDatas;

// Exit statuses in the LSB convention: 3 "program is not running" for a service that could
// not run for a reason that a restart may cure, 6 "program is not configured" for a
// configuration that the daemon refuses, which no restart can cure.
constexpr int kExitNotServed = 3;
constexpr int kExitNotConfigured = 6;

// Appends the decimal text of a non-negative number; safe inside a signal handler.
std::size_t AppendNumber(char* out, std::size_t at, int value) {
    char digits[12];
    std::size_t n = 0;
    unsigned int v = value < 0 ? 0U : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10U);
        v /= 10U;
    } while (v != 0U && n < sizeof digits);
    while (n > 0) {
        out[at++] = digits[--n];
    }
    return at;
}

std::size_t AppendText(char* out, std::size_t at, const char* text) {
    while (*text != '\0') {
        out[at++] = *text++;
    }
    return at;
}

// Only async-signal-safe work here: write(2), atomics and _exit(2). The log lines that
// belong to a signal are written by the main thread when it sees the pending signal.
void SignalHandler(int signo) {
    const int saved_errno = errno;
    char line[128];
    std::size_t n = 0;
    // The trace line follows the "trace" setting like every other one.
    const int trace_fd = vel::TraceDescriptor();
    if (trace_fd >= 0) {
        n = AppendText(line, 0, "<");
        n = AppendText(line, n, vel::BaseName(__FILE__));
        n = AppendText(line, n, ":");
        n = AppendNumber(line, n, __LINE__);
        n = AppendText(line, n, ">  receive signal : signal = ");
        n = AppendNumber(line, n, signo);
        n = AppendText(line, n, "\n");
        (void)!::write(trace_fd, line, n);
    }

    const int state = veldw485::g_appState.load();
    if (state == veldw485::kNoApp) {
        errno = saved_errno;
        return;
    }
    if (state <= 0) {
        n = AppendText(line, 0, "exit application. receive signal(");
        n = AppendNumber(line, n, signo);
        n = AppendText(line, n, ")\n");
        (void)!::write(STDERR_FILENO, line, n);
        ::_exit(2);
    }
    veldw485::g_pendingSignal.store(signo);
    errno = saved_errno;
}

bool initSignal() {
    struct sigaction sa {};
    sa.sa_handler = SignalHandler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocking select or sleep returns with EINTR so the stop is seen at once.
    sa.sa_flags = 0;
    if (::sigaction(SIGINT, &sa, nullptr) != 0 || ::sigaction(SIGTERM, &sa, nullptr) != 0) {
        return false;
    }
    // A response to a client that has already closed its connection must not kill the daemon;
    // the failed send is logged instead.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    return ::sigaction(SIGPIPE, &ign, nullptr) == 0;
}

// Creates the settings store and the rotating logger. Returns false when the log file cannot
// be opened; the reason has then been written to standard error.
bool initLogger() {
    SettingDatas::create();
    SettingDatas* sd = SettingDatas::get_instance();
    const std::string path = sd->getLogFilePath();
    int32_t max_bytes = sd->getConfInt(sd->key_log_max_bytes);
    int32_t counts = sd->getConfInt(sd->key_log_counts);
    // spdlog refuses a size of 0 and misbehaves on non-positive counts: use the defaults.
    if (max_bytes <= 0) {
        max_bytes = 100000;
    }
    if (counts <= 0) {
        counts = 5;
    }
    try {
        auto logger = spdlog::rotating_logger_mt(veldw485::kLoggerName, path,
                                                 static_cast<std::size_t>(max_bytes),
                                                 static_cast<std::size_t>(counts));
        veldw485::InstallLogErrorHandler(logger);
        spdlog::set_pattern("%Y-%m-%d %H:%M:%S %L : %v", spdlog::pattern_time_type::local);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dwmid: cannot open log file %s: %s\n", path.c_str(), e.what());
        return false;
    }
    return true;
}

}  // namespace

int main() {
    if (!initSignal()) {
        std::fputs("failed to signal init.\n", stderr);
        return 1;
    }
    if (!initLogger()) {
        SettingDatas::destroy();
        return 1;
    }

    auto app = std::make_unique<veldw485::dwmid>();
    veldw485::g_app.store(app.get());
    // 0 the service ran and ended on a signal or a "shut" order; kExitNotServed when it could
    // not serve (a group not created, the order port taken, the order loop failed), so that a
    // supervisor restarts it; kExitNotConfigured for a configuration that Init refuses.
    int status = kExitNotConfigured;
    if (app->Init() > 0) {
        const int r = app->main();
        app->Finish();
        status = r == 0 || r == -3 ? 0 : kExitNotServed;
    }
    veldw485::g_app.store(nullptr);
    if (app->WorkersRemain()) {
        // A line worker is still in a cycle and uses the application's objects: the process
        // ends without destroying them or running any other destructor.
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(status);
    }
    app.reset();
    spdlog::shutdown();
    return status;
}
