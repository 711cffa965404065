// Measures how long a client waiting in pxa_rs485_startCom takes to return after the daemon is
// killed (SIGKILL), and how long close + open take against the restarted daemon. The line is a
// pseudo-terminal nobody answers on, so every cycle would last the machine's 30 s time-out.
// Runs inside scripts/sandbox (bench/run-daemon-loss.sh): it writes the configuration files
// and starts dwmid itself.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "rs485.h"

namespace {

using bench::Clock;
using bench::Ms;

pid_t StartDaemon(const std::string& program) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd =
            ::open("/var/local/sandbox/bench-loss-dwmid.out", O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Opens channel 1 within 30 s (the daemon may still be starting); the time of the successful
// open, or a negative value.
double OpenWhenServing() {
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < until) {
        const auto t0 = Clock::now();
        if (pxa_rs485_open(1, false, 5) == 0) {
            return Ms(Clock::now() - t0);
        }
        pxa_rs485_close(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1.0;
}

void Print(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) {
        std::printf("%-40s %10s\n", name, "-");
        return;
    }
    std::printf("%-40s %10.1f %10.1f %10.1f\n", name, v[v.size() / 2], v.front(), v.back());
}

}  // namespace

int main(int argc, char** argv) {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    const char* daemon = std::getenv("DWMID_BIN");
    if (inner == nullptr || std::strcmp(inner, "1") != 0 || daemon == nullptr) {
        std::fprintf(stderr, "bench_daemon_loss: run it through bench/run-daemon-loss.sh\n");
        return 2;
    }
    const int rounds = bench::CountArg(argc, argv, 10);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "bench_daemon_loss: no pseudo-terminal\n");
        return 1;
    }
    bench::WriteDaemonConfig({::ptsname(master)}, 1000000);

    std::vector<double> to_return;
    std::vector<double> reopen;
    int wrong = 0;
    pid_t dw = StartDaemon(daemon);
    bool serving = OpenWhenServing() >= 0.0;
    for (int r = 0; r < rounds && serving; ++r) {
        pxa_rs485_setPortParams(1, 1, 3, 30000, 13, 0, 0);
        pxa_rs485_setComFlags(1, 1);
        std::atomic<bool> returned{false};
        Clock::time_point back;
        int result = -1;
        std::thread waiter([&] {
            result = pxa_rs485_startCom(1);
            back = Clock::now();
            returned.store(true);
        });
        // Long enough for the request to be taken into the cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto killed = Clock::now();
        ::kill(dw, SIGKILL);
        waiter.join();
        ::waitpid(dw, nullptr, 0);
        to_return.push_back(Ms(back - killed));
        wrong += result == 0 ? 0 : 1;

        dw = StartDaemon(daemon);
        pxa_rs485_close(1);
        const double t = OpenWhenServing();
        serving = t >= 0.0;
        reopen.push_back(t);
    }
    if (!serving) {
        std::fprintf(stderr, "bench_daemon_loss: the daemon did not serve\n");
    }
    std::printf("\nDaemon killed while a client waits in a cycle (%d rounds, %d not failed)\n",
                static_cast<int>(to_return.size()), wrong);
    std::printf("%-40s %10s %10s %10s\n", "", "median ms", "min ms", "max ms");
    Print("SIGKILL to the return of startCom", to_return);
    Print("open against the restarted daemon", reopen);
    pxa_rs485_shutdown();
    ::waitpid(dw, nullptr, 0);
    return serving ? 0 : 1;
}
