// Side by side in one run: polling cycles of 15 machines by the line driver and by a master
// built on libmodbus, on the same simulated bus (rs485sim, Modbus RTU machines), next to the
// bare wire time. Both masters send the same 8-byte requests (read 88 coils, CRC included)
// and get the same 16-byte replies.
// Usage: bench_peer [CYCLES]   (inside scripts/sandbox; RS485SIM_BIN names the simulator)
#include <errno.h>
#include <fcntl.h>
#include <modbus.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ModbusRtu.h"
#include "Rs485Control.h"

extern char** environ;

namespace {

constexpr int kMachines = 15;
constexpr int kRequestLen = 8;
constexpr int kReplyLen = 16;
constexpr int kCoils = 88;  // 11 data bytes: 16-byte reply
constexpr int kBitsPerChar = 11;
constexpr char kLink[] = "/var/local/sandbox/bench-tty";
constexpr char kConfig[] = "/var/local/sandbox/bench-peer-machines.json";
constexpr char kSimLog[] = "/var/local/sandbox/bench-peer-sim.log";

const int kBitRate[] = {1200, 2400, 4800, 9600, 19200, 38400};

// Read coils 0..87 of slave mc + 1.
std::string Request(int mc) {
    std::string r = {static_cast<char>(mc + 1), 0x01, 0, 0, 0, static_cast<char>(kCoils)};
    const uint16_t crc = rs485sim::ModbusRtu::Crc(r);
    r += static_cast<char>(crc & 0xFF);
    r += static_cast<char>(crc >> 8);
    return r;
}

pid_t StartSimulator(const std::string& bin, int baud) {
    std::ofstream cfg(kConfig);
    cfg << "{\"machines\": [\n";
    for (int mc = 0; mc < kMachines; ++mc) {
        cfg << "  {\"match\": {\"address\": " << mc + 1 << "}, \"request_length\": " << kRequestLen
            << ", \"modbus_reply_length\": " << kReplyLen << "}" << (mc + 1 < kMachines ? "," : "")
            << "\n";
    }
    cfg << "]}\n";
    cfg.close();
    ::unlink(kLink);
    const std::string b = std::to_string(baud);
    std::vector<std::string> args = {bin,      "--link", kLink,   "--config", kConfig,
                                     "--baud", b,        "--log", kSimLog};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, bin.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    for (int i = 0; i < 1500; ++i) {
        struct stat st {};
        if (::lstat(kLink, &st) == 0) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// Median of cycles runs of cycle (after one warm-up); *fails counts runs that returned false.
double MedianMs(int cycles, const std::function<bool()>& cycle, int* fails) {
    cycle();
    std::vector<double> ms;
    for (int i = 0; i < cycles; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!cycle()) {
            ++*fails;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The line driver, framing the replies by silence as it must for Modbus RTU. Its traces go
// to /dev/null while it runs.
double DriverMs(int baud, int cycles, int null_fd, int* fails) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved = ::dup(STDOUT_FILENO);
    const int saved_err = ::dup(STDERR_FILENO);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    veldw485::line::Rs485Control drv(kLink, "none", baud, kMachines, 0);
    double median = -1;
    if (drv.Open(false, static_cast<unsigned char>(baud)) == 0) {
        for (int mc = 0; mc < kMachines; ++mc) {
            drv.SetPortParams(mc, 0x03, 200, 1, 0, 0);
            const std::string req = Request(mc);
            drv.SetSendData(mc, reinterpret_cast<const unsigned char*>(req.data()), kRequestLen);
        }
        drv.SetComFlags((1 << kMachines) - 1);
        static int lens[kMachines];
        static unsigned char areas[kMachines * 436];
        median = MedianMs(
            cycles,
            [&] {
                const bool ok = drv.StartCom(lens, areas) == 1;
                return ok && std::all_of(lens, lens + kMachines,
                                         [](int len) { return len == kReplyLen; });
            },
            fails);
        drv.Close();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved, STDOUT_FILENO);
    ::dup2(saved_err, STDERR_FILENO);
    ::close(saved);
    ::close(saved_err);
    return median;
}

double LibmodbusMs(int baud, int cycles, int* fails) {
    modbus_t* ctx = modbus_new_rtu(kLink, kBitRate[baud], 'N', 8, 1);
    if (ctx == nullptr) {
        return -1;
    }
    double median = -1;
    if (modbus_connect(ctx) == 0) {
        uint8_t bits[kCoils];
        median = MedianMs(
            cycles,
            [&] {
                bool ok = true;
                for (int mc = 0; mc < kMachines; ++mc) {
                    modbus_set_slave(ctx, mc + 1);
                    if (modbus_read_bits(ctx, 0, kCoils, bits) != kCoils) {
                        std::fprintf(stderr, "bench_peer: libmodbus, slave %d: %s\n", mc + 1,
                                     modbus_strerror(errno));
                        ok = false;
                    }
                }
                return ok;
            },
            fails);
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return median;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const char* env = std::getenv("RS485SIM_BIN");
#ifdef RS485SIM_DEFAULT
    const std::string sim_bin = env != nullptr ? env : RS485SIM_DEFAULT;
#else
    const std::string sim_bin = env != nullptr ? env : "rs485sim";
#endif
    const int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0) {
        std::perror("bench_peer");
        return 1;
    }
    std::printf("cycle of %d Modbus RTU machines, %d-byte requests, %d-byte replies, %d cycles\n\n",
                kMachines, kRequestLen, kReplyLen, cycles);
    std::printf("%5s %7s %12s %14s %9s %10s %14s %11s\n", "baud", "bit/s", "driver ms",
                "libmodbus ms", "wire ms", "drv/wire", "libmodbus/wire", "fails d/l");
    std::fflush(stdout);
    for (const int baud : {3, 4, 5}) {
        const pid_t sim = StartSimulator(sim_bin, baud);
        if (sim < 0) {
            std::fprintf(stderr, "bench_peer: cannot start %s\n", sim_bin.c_str());
            return 1;
        }
        int driver_fails = 0;
        int peer_fails = 0;
        const double driver = DriverMs(baud, cycles, null_fd, &driver_fails);
        const double peer = LibmodbusMs(baud, cycles, &peer_fails);
        ::kill(sim, SIGTERM);
        ::waitpid(sim, nullptr, 0);
        if (driver < 0 || peer < 0) {
            std::fprintf(stderr, "bench_peer: cannot open %s (driver %s, libmodbus %s)\n", kLink,
                         driver < 0 ? "failed" : "ok", peer < 0 ? "failed" : "ok");
            return 1;
        }
        const double wire = kMachines * (kRequestLen + kReplyLen) * kBitsPerChar * 1000.0 /
                            static_cast<double>(kBitRate[baud]);
        std::printf("%5d %7d %12.1f %14.1f %9.1f %10.2f %14.2f %5d/%d\n", baud, kBitRate[baud],
                    driver, peer, wire, driver / wire, peer / wire, driver_fails, peer_fails);
        std::fflush(stdout);
    }
    ::close(null_fd);
    return 0;
}
