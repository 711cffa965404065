// Measures how long dwmid takes from SIGTERM to its exit with three lines open, once idle and
// once with a long polling cycle in flight on every line (five silent machines of 30 s each),
// against rs485sim. The clients are child processes using librs485. Runs inside
// scripts/sandbox (bench/run-shutdown.sh): it writes the configuration files and starts dwmid.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "rs485.h"

namespace {

using bench::Clock;
using bench::Ms;

constexpr int kLines = 3;
constexpr char kMachines[] = "/var/local/sandbox/bench-shutdown-machines.json";
constexpr char kLog[] = "/var/local/vellog/dwmid.log";
constexpr std::chrono::milliseconds kPoll{5};

std::string Link(int line) {
    return "/var/local/sandbox/bench-shutdown-tty" + std::to_string(line);
}

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// A client process on channel ch (1-based) that opens it and, when busy, starts a cycle over
// five machines that never answer within their 30 s time-outs; it then waits for ever.
pid_t Client(int ch, bool busy) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (pxa_rs485_open(ch, false, 5) == 0 && busy) {
        for (int m = 6; m <= 10; ++m) {
            pxa_rs485_setPortParams(ch, m, 3, 30000, 3, 1, 0);
        }
        pxa_rs485_setComFlags(ch, 0x3e0);
        pxa_rs485_startCom(ch);
    }
    ::pause();
    ::_exit(0);
}

// Milliseconds from SIGTERM to the daemon's exit, or -1 when something did not come up.
double OneRun(const std::string& daemon, bool busy) {
    const std::size_t from = bench::ReadText(kLog).size();
    const auto log = [from] {
        const std::string text = bench::ReadText(kLog);
        return from < text.size() ? text.substr(from) : std::string();
    };
    const pid_t dw = bench::Spawn({daemon}, "/var/local/sandbox/bench-shutdown-dwmid.out");
    if (!bench::WaitFor([&] { return log().find("accept end") != std::string::npos; }, 30, kPoll)) {
        return -1;
    }
    std::vector<pid_t> clients;
    for (int ch = 1; ch <= kLines; ++ch) {
        clients.push_back(Client(ch, busy));
    }
    const bool up = bench::WaitFor(
        [&] {
            return Count(log(), busy ? "receive startCom" : "open RS-485 : use count") == kLines;
        },
        30, kPoll);
    const auto t0 = Clock::now();
    ::kill(dw, SIGTERM);
    int status = 0;
    const bool ended =
        bench::WaitFor([&] { return ::waitpid(dw, &status, WNOHANG) == dw; }, 120, kPoll);
    const double ms = Ms(Clock::now() - t0);
    for (pid_t c : clients) {
        ::kill(c, SIGKILL);
        ::waitpid(c, nullptr, 0);
    }
    if (!ended) {
        ::kill(dw, SIGKILL);
        ::waitpid(dw, nullptr, 0);
    }
    return up && ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    if (inner == nullptr || std::strcmp(inner, "1") != 0) {
        std::fprintf(stderr, "bench_shutdown: run it through bench/run-shutdown.sh\n");
        return 2;
    }
    const int runs = bench::CountArg(argc, argv, 3);
    const std::string sim = std::getenv("RS485SIM_BIN") ? std::getenv("RS485SIM_BIN") : "";
    const std::string daemon = std::getenv("DWMID_BIN") ? std::getenv("DWMID_BIN") : "";
    bench::WriteText(kMachines,
                     R"({"machines": [{"match": {"prefix_text": "0"}, "fault": "no_reply"}]})");
    std::vector<pid_t> sims;
    for (int i = 0; i < kLines; ++i) {
        sims.push_back(bench::Spawn({sim, "--link", Link(i), "--config", kMachines, "--baud", "5"},
                                    Link(i) + ".out"));
    }
    std::vector<std::string> devices;
    for (int i = 0; i < kLines; ++i) {
        devices.push_back(Link(i));
    }
    bench::WriteDaemonConfig(devices, 10000000);
    if (!bench::WaitFor([] { return ::access(Link(kLines - 1).c_str(), F_OK) == 0; }, 20, kPoll)) {
        std::fprintf(stderr, "bench_shutdown: simulator did not come up\n");
        return 1;
    }

    std::printf("SIGTERM to exit of dwmid, %d lines open, %d runs\n", kLines, runs);
    std::printf("%-34s %10s %10s %10s\n", "", "median ms", "max ms", "failed");
    for (const bool busy : {false, true}) {
        std::vector<double> ms;
        int failed = 0;
        for (int r = 0; r < runs; ++r) {
            const double t = OneRun(daemon, busy);
            if (t < 0) {
                ++failed;
            } else {
                ms.push_back(t);
            }
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-34s %10.1f %10.1f %10d\n", busy ? "cycles of 150 s in flight" : "idle lines",
                    ms.empty() ? 0.0 : ms[ms.size() / 2], ms.empty() ? 0.0 : ms.back(), failed);
    }
    for (pid_t p : sims) {
        ::kill(p, SIGKILL);
        ::waitpid(p, nullptr, 0);
    }
    return 0;
}
