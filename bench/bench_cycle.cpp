// Measures polling cycles of 15 machines (8-byte requests, 16-byte replies) against rs485sim
// and sets them beside the time the driver's timing rules predict and the bare wire time.
// Usage: bench_cycle [CYCLES]   (inside scripts/sandbox; RS485SIM_BIN names the simulator)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "QuietOutput.h"
#include "Rs485Control.h"

namespace {

constexpr int kMachines = 15;
constexpr int kRequestLen = 8;
constexpr unsigned char kDelimiter = 0x03;
constexpr int kAfterDelimiter = 1;
constexpr int kBitsPerChar = 11;
constexpr char kLink[] = "/var/local/sandbox/bench-tty";
constexpr char kConfig[] = "/var/local/sandbox/bench-machines.json";
constexpr char kSimLog[] = "/var/local/sandbox/bench-sim.log";

const long kBitRate[] = {1200, 2400, 4800, 9600, 19200, 38400};
const int kDriverCharUs[] = {9240, 4620, 2310, 1155, 583, 297};

// 14 body bytes, the delimiter and one trailing byte.
std::vector<unsigned char> Reply(int mc) {
    std::vector<unsigned char> r;
    for (int i = 0; i < 14; ++i) {
        r.push_back(static_cast<unsigned char>(0x40 + mc + i));
    }
    r.push_back(kDelimiter);
    r.push_back(0x1c);
    return r;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    return fmt::format("{:02X}", fmt::join(bytes, " "));
}

// Time of one transaction by the driver's rules, in microseconds, with every system call
// taken as free: the request and its drain wait, then the reception loop polling bytes that
// the simulator sends paced at w microseconds a character after the request's wire time.
double PredictTransaction(int c, double w, const std::vector<unsigned char>& reply) {
    double t = (kRequestLen + 1) * c + 5.0 * c;
    std::size_t next = 0;
    int term = 0;
    for (;;) {
        std::size_t waiting = 0;
        while (next + waiting < reply.size() && kRequestLen * w + (next + waiting + 1) * w <= t) {
            ++waiting;
        }
        if (waiting == 0) {
            t += c;
            continue;
        }
        const int k = static_cast<int>(std::min<std::size_t>(waiting, 4));
        t += k * c;
        if (term != 0) {
            if (k + term > kAfterDelimiter) {
                return t;
            }
            term += k;
            t += k * c;
            next += static_cast<std::size_t>(k);
            continue;
        }
        int n = k;
        for (int i = 0; i < k; ++i) {
            if (reply[next + static_cast<std::size_t>(i)] == kDelimiter) {
                n = i;
                break;
            }
        }
        next += static_cast<std::size_t>(k);
        if (n == k) {
            continue;
        }
        term = k - n;
        if (term > kAfterDelimiter) {
            return t;
        }
    }
}

// One machine a bus address, each with its own reply.
std::string Machines() {
    std::ostringstream cfg;
    cfg << "{\"machines\": [\n";
    for (int mc = 0; mc < kMachines; ++mc) {
        cfg << "  {\"match\": {\"address\": " << mc << "}, \"request_length\": " << kRequestLen
            << ", \"reply_hex\": \"" << Hex(Reply(mc)) << "\"}" << (mc + 1 < kMachines ? "," : "")
            << "\n";
    }
    cfg << "]}\n";
    return cfg.str();
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = bench::CountArg(argc, argv, 10);
    const std::string sim_bin = bench::SimulatorProgram();
    // The driver traces every step on standard output and error; both go to /dev/null while
    // cycles run, and the table to a copy of the original standard output.
    const int table_fd = ::dup(STDOUT_FILENO);
    std::FILE* table = ::fdopen(table_fd, "w");
    const int null_fd = ::open("/dev/null", O_WRONLY);
    if (table == nullptr || null_fd < 0) {
        std::perror("bench_cycle");
        return 1;
    }
    std::fprintf(table,
                 "cycle of %d machines, %d-byte requests, %zu-byte replies, %d cycles each\n\n",
                 kMachines, kRequestLen, Reply(0).size(), cycles);
    std::fprintf(table, "%5s %7s %11s %11s %13s %11s %10s %10s %6s\n", "baud", "bit/s", "median ms",
                 "min ms", "predicted ms", "wire ms", "med/pred", "med/wire", "fails");
    bench::WriteText(kConfig, Machines());
    for (const int baud : {3, 4, 5}) {
        const pid_t sim = bench::StartSimulator(sim_bin, kLink, kConfig, baud, kSimLog);
        if (sim < 0) {
            std::fprintf(stderr, "bench_cycle: cannot start %s\n", sim_bin.c_str());
            return 1;
        }
        std::vector<double> ms;
        int fails = 0;
        int opened = 0;
        {
            const bench::QuietOutput quiet(null_fd);
            veldw485::line::Rs485Control drv(kLink, "none", baud, kMachines, 0);
            opened = drv.Open(false, static_cast<unsigned char>(baud));
            for (int mc = 0; mc < kMachines; ++mc) {
                drv.SetPortParams(mc, 0x03, 200, kDelimiter, kAfterDelimiter, 0);
                unsigned char req[kRequestLen] = {
                    static_cast<unsigned char>(mc), 0x03, 0, 0, 0, 8, 0, 0};
                drv.SetSendData(mc, req, kRequestLen);
            }
            drv.SetComFlags((1 << kMachines) - 1);
            static int lens[kMachines];
            static unsigned char areas[kMachines * 436];
            drv.StartCom(lens, areas);  // warm-up
            for (int i = 0; i < cycles; ++i) {
                const auto t0 = bench::Clock::now();
                if (drv.StartCom(lens, areas) != 1) {
                    ++fails;
                }
                ms.push_back(bench::Ms(bench::Clock::now() - t0));
            }
            drv.Close();
        }
        ::kill(sim, SIGTERM);
        ::waitpid(sim, nullptr, 0);
        if (opened != 0) {
            std::fprintf(stderr, "bench_cycle: Open returned %d\n", opened);
            return 1;
        }

        std::sort(ms.begin(), ms.end());
        const double median = ms[ms.size() / 2];
        const double w_sim =
            static_cast<double>((kBitsPerChar * 1000000L + kBitRate[baud] - 1) / kBitRate[baud]);
        double predicted = 0;
        for (int mc = 0; mc < kMachines; ++mc) {
            predicted += PredictTransaction(kDriverCharUs[baud], w_sim, Reply(mc));
        }
        predicted /= 1000.0;
        const double wire = kMachines * (kRequestLen + Reply(0).size()) * kBitsPerChar * 1000.0 /
                            static_cast<double>(kBitRate[baud]);
        std::fprintf(table, "%5d %7ld %11.1f %11.1f %13.1f %11.1f %10.2f %10.2f %6d\n", baud,
                     kBitRate[baud], median, ms.front(), predicted, wire, median / predicted,
                     median / wire, fails);
        std::fflush(table);
    }
    std::fclose(table);
    ::close(null_fd);
    return 0;
}
