// Measures the whole service against rs485sim, side by side in one run: the end-to-end cost
// of pxa_rs485_startCom next to the same cycle run by the line driver alone, the order round
// trips (open + close, "compt"), the daemon's CPU use idle with three open channels and while
// cycling, and the resident memory of dwmid and of this client. Runs inside scripts/sandbox
// (bench/run-service.sh): it writes the configuration files and starts dwmid itself.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "LinePacer.h"
#include "Rs485Control.h"
#include "rs485.h"

namespace {

using bench::Clock;
using bench::Ms;

constexpr int kLines = 4;  // channels 1..3 through the daemon; line 4 for the driver alone
constexpr char kMachines[] = "/var/local/sandbox/bench-service-machines.json";
constexpr std::chrono::milliseconds kPoll{10};

// The value below which the share q (0..1) of the samples lies.
double Percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
}

double Median(const std::vector<double>& v) {
    return Percentile(v, 0.5);
}

std::string Link(int line) {
    return "/var/local/sandbox/bench-tty" + std::to_string(line);
}

// CPU time of all threads of a process, in nanoseconds (the scheduler's own account, finer
// than the clock ticks of /proc/PID/stat).
long long CpuNs(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            std::istringstream in(bench::ReadText(dir + "/" + e->d_name + "/schedstat"));
            long long ns = 0;
            in >> ns;
            total += ns;
        }
    }
    ::closedir(d);
    return total;
}

long RssKb(pid_t pid) {
    std::istringstream in(bench::ReadText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            const std::size_t at = line.find_first_not_of(" \t", 6);
            long kb = -1;
            if (at != std::string::npos) {
                std::from_chars(line.data() + at, line.data() + line.size(), kb);
            }
            return kb;
        }
    }
    return -1;
}

double CpuPercent(pid_t pid, const std::function<void()>& during) {
    const long long t0 = CpuNs(pid);
    const auto c0 = Clock::now();
    during();
    const double wall_ms = Ms(Clock::now() - c0);
    return 100.0 * static_cast<double>(CpuNs(pid) - t0) / 1e6 / wall_ms;
}

// The same one-machine cycle as the daemon runs, by the driver alone on the spare line.
std::vector<double> DriverCycles(int cycles) {
    veldw485::line::Rs485Control drv(Link(kLines - 1), "none", 5, 15, kLines - 1);
    std::vector<double> t;
    if (drv.Open(false, 5) != 0) {
        return t;
    }
    drv.SetPortParams(0, 3, 200, 3, 1, 0);
    drv.SetComFlags(1);
    const unsigned char req[] = {'0', '0', 'B'};
    drv.SetSendData(0, req, 3);
    static int lens[15];
    static unsigned char areas[15][436];
    drv.StartCom(lens, &areas[0][0]);
    for (int i = 0; i < cycles; ++i) {
        const auto t0 = Clock::now();
        drv.StartCom(lens, &areas[0][0]);
        t.push_back(Ms(Clock::now() - t0));
    }
    drv.Close();
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    if (inner == nullptr || std::strcmp(inner, "1") != 0) {
        std::fprintf(stderr, "bench_service: run it through bench/run-service.sh\n");
        return 2;
    }
    const int cycles = bench::CountArg(argc, argv, 500);
    const std::string sim = std::getenv("RS485SIM_BIN") ? std::getenv("RS485SIM_BIN") : "";
    const std::string daemon = std::getenv("DWMID_BIN") ? std::getenv("DWMID_BIN") : "";
    bench::WriteText(kMachines, R"({"machines": [{"name": "m0", "match": {"prefix_text": "00"},
        "reply_hex": "4d30031c"}]})");
    std::vector<pid_t> sims;
    for (int i = 0; i < kLines; ++i) {
        sims.push_back(bench::Spawn({sim, "--link", Link(i), "--config", kMachines, "--baud", "5"},
                                    Link(i) + ".out"));
    }
    std::vector<std::string> devices;
    for (int i = 0; i < kLines - 1; ++i) {
        devices.push_back(Link(i));
    }
    bench::WriteDaemonConfig(devices, 1000000);
    bool ready = bench::WaitFor(
        [] {
            for (int i = 0; i < kLines; ++i) {
                if (::access(Link(i).c_str(), F_OK) != 0) {
                    return false;
                }
            }
            return true;
        },
        20, kPoll);
    const pid_t dw = bench::Spawn({daemon}, "/var/local/sandbox/bench-dwmid.out");
    ready =
        ready && bench::WaitFor(
                     [] {
                         return bench::ReadText("/var/local/vellog/dwmid.log").find("accept end") !=
                                std::string::npos;
                     },
                     30, kPoll);
    if (!ready) {
        std::fprintf(stderr, "bench_service: simulator or daemon did not come up\n");
        return 1;
    }

    // Order round trips.
    std::vector<double> open_close;
    std::vector<double> compt;
    for (int i = 0; i < 50; ++i) {
        const auto t0 = Clock::now();
        pxa_rs485_open(1, false, 5);
        pxa_rs485_close(1);
        open_close.push_back(Ms(Clock::now() - t0));
    }
    for (int ch = 1; ch <= 3; ++ch) {
        pxa_rs485_open(ch, false, 5);
        pxa_rs485_setPortParams(ch, 1, 3, 200, 3, 1, 0);
    }
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        pxa_rs485_setComFlags(1, 1);
        compt.push_back(Ms(Clock::now() - t0));
    }
    for (int ch = 1; ch <= 3; ++ch) {
        pxa_rs485_setComFlags(ch, 1);
        unsigned char bytes[] = {'0', '0', 'L'};
        xfer_data req{3, 0, bytes};
        pxa_rs485_putOutputStream(ch, 1, &req);
    }

    // Beside the idle daemon, three bare threads of this process that only sleep 10 ms at a
    // time (absolute deadlines, no timer slack): the floor that three pollers cannot go
    // below on this machine.
    std::atomic<bool> idle_done{false};
    std::atomic<long long> floor_ns{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < 3; ++i) {
        sleepers.emplace_back([&] {
            veldw485::line::LinePacer::PreciseWakeups();
            veldw485::line::LinePacer pacer(1000);
            pacer.Restart();
            timespec t0{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
            while (!idle_done) {
                pacer.Wait(10000);
            }
            timespec t1{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
            floor_ns += (t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
        });
    }
    const auto idle_start = Clock::now();
    const double idle_cpu =
        CpuPercent(dw, [] { std::this_thread::sleep_for(std::chrono::seconds(10)); });
    idle_done = true;
    for (std::thread& t : sleepers) {
        t.join();
    }
    const double floor_cpu =
        100.0 * static_cast<double>(floor_ns.load()) / 1e6 / Ms(Clock::now() - idle_start);

    std::vector<double> lib;
    int fails = 0;
    const double busy_cpu = CpuPercent(dw, [&] {
        for (int i = 0; i < cycles; ++i) {
            const auto t0 = Clock::now();
            fails += pxa_rs485_startCom(1) == 1 ? 0 : 1;
            lib.push_back(Ms(Clock::now() - t0));
        }
    });
    const std::vector<double> drv = DriverCycles(cycles);
    const long dw_rss = RssKb(dw);
    const long client_rss = RssKb(::getpid());
    for (int ch = 1; ch <= 3; ++ch) {
        pxa_rs485_close(ch);
    }

    std::printf("\nEnd-to-end cycle, 1 machine, 3-byte request, 4-byte reply, baud index 5\n");
    std::printf("%-34s %10s %10s %10s %8s\n", "", "median ms", "min ms", "p99 ms", "fails");
    std::printf("%-34s %10.2f %10.2f %10.2f %8d\n", "pxa_rs485_startCom", Median(lib),
                lib.empty() ? 0.0 : *std::min_element(lib.begin(), lib.end()),
                Percentile(lib, 0.99), fails);
    std::printf("%-34s %10.2f %10.2f %10.2f %8s\n", "driver StartCom alone", Median(drv),
                drv.empty() ? 0.0 : *std::min_element(drv.begin(), drv.end()),
                Percentile(drv, 0.99), "-");
    // Both figures of the service's overhead count from the driver's own median cycle.
    std::printf("%-34s %10.2f %10s %10.2f %8s\n", "overhead of the service",
                Median(lib) - Median(drv), "", Percentile(lib, 0.99) - Median(drv), "");
    std::printf("\nOrder round trips\n");
    std::printf("%-34s %10.2f %10.2f\n", "open + close (ms)", Median(open_close),
                *std::min_element(open_close.begin(), open_close.end()));
    std::printf("%-34s %10.2f %10.2f\n", "compt (ms)", Median(compt),
                *std::min_element(compt.begin(), compt.end()));
    std::printf("\nResources\n");
    std::printf("%-34s %10.2f\n", "dwmid CPU %, idle, 3 channels open", idle_cpu);
    std::printf("%-34s %10.2f\n", "3 bare 10 ms sleepers CPU % (floor)", floor_cpu);
    std::printf("%-34s %10.2f\n", "dwmid CPU %, cycling channel 1", busy_cpu);
    std::printf("%-34s %10ld\n", "dwmid VmRSS kB", dw_rss);
    std::printf("%-34s %10ld\n", "this client VmRSS kB", client_rss);

    pxa_rs485_shutdown();
    int status = 0;
    bench::WaitFor([&] { return ::waitpid(dw, &status, WNOHANG) == dw; }, 30, kPoll);
    for (pid_t p : sims) {
        ::kill(p, SIGKILL);
        ::waitpid(p, nullptr, 0);
    }
    return 0;
}
