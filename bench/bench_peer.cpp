// Side by side in one run: polling cycles of 15 machines by the line driver as the Parts
// configure it (RTS with the SPI tool, replies ended by silence), by the line driver in "auto"
// mode with Modbus RTU framing, and by a master built on libmodbus, on the same simulated bus
// (rs485sim, Modbus RTU machines), next to the bare wire time. Both masters send the same 8-byte
// requests (read 88 coils, CRC included) and get the same 16-byte replies. Usage: bench_peer
// [CYCLES]   (inside scripts/sandbox; RS485SIM_BIN names the simulator)
#include <errno.h>
#include <fcntl.h>
#include <modbus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "DirectionControl.h"
#include "ModbusRtu.h"
#include "QuietOutput.h"
#include "Rs485Control.h"

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

// Slaves 1 to 15, each answering a read of kCoils coils with a Modbus RTU reply.
std::string Machines() {
    std::ostringstream cfg;
    cfg << "{\"machines\": [\n";
    for (int mc = 0; mc < kMachines; ++mc) {
        cfg << "  {\"match\": {\"address\": " << mc + 1 << "}, \"request_length\": " << kRequestLen
            << ", \"modbus_reply_length\": " << kReplyLen << "}" << (mc + 1 < kMachines ? "," : "")
            << "\n";
    }
    cfg << "]}\n";
    return cfg.str();
}

// Median of cycles runs of cycle (after one warm-up); *fails counts runs that returned false.
double MedianMs(int cycles, const std::function<bool()>& cycle, int* fails) {
    cycle();
    std::vector<double> ms;
    for (int i = 0; i < cycles; ++i) {
        const auto t0 = bench::Clock::now();
        if (!cycle()) {
            ++*fails;
        }
        ms.push_back(bench::Ms(bench::Clock::now() - t0));
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The line driver. Today's mode: RTS with the SPI tool, the replies framed by silence.
// auto_rtu: a self-switching adapter ("auto", no echo) and Modbus RTU framing. Its traces go
// to /dev/null while it runs.
double DriverMs(int baud, int cycles, int null_fd, bool auto_rtu, int* fails) {
    using veldw485::line::DirectionControl;
    const bench::QuietOutput quiet(null_fd);
    veldw485::line::DirectionSettings direction;
    direction.mode =
        auto_rtu ? veldw485::line::DirectionMode::kAuto : veldw485::line::DirectionMode::kRtsSpi;
    direction.de_line = "none";
    veldw485::line::Rs485Control drv(kLink, DirectionControl::Create(direction, 0), baud, kMachines,
                                     0);
    double median = -1;
    if (drv.Open(false, static_cast<unsigned char>(baud)) == 0) {
        for (int mc = 0; mc < kMachines; ++mc) {
            drv.SetPortParams(mc, 0x03, 200, 1, 0, 0);
            if (auto_rtu) {
                drv.SetReplyFraming(mc, 2, 0);
            }
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
    const int cycles = bench::CountArg(argc, argv, 10);
    const std::string sim_bin = bench::SimulatorProgram();
    const int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0) {
        std::perror("bench_peer");
        return 1;
    }
    std::printf("cycle of %d Modbus RTU machines, %d-byte requests, %d-byte replies, %d cycles\n\n",
                kMachines, kRequestLen, kReplyLen, cycles);
    std::printf("%5s %7s %10s %10s %13s %8s %9s %9s %15s %13s\n", "baud", "bit/s", "driver ms",
                "auto+rtu ms", "libmodbus ms", "wire ms", "drv/wire", "auto/wire", "libmodbus/wire",
                "fails d/a/l");
    std::fflush(stdout);
    bench::WriteText(kConfig, Machines());
    for (const int baud : {3, 4, 5}) {
        const pid_t sim = bench::StartSimulator(sim_bin, kLink, kConfig, baud, kSimLog);
        if (sim < 0) {
            std::fprintf(stderr, "bench_peer: cannot start %s\n", sim_bin.c_str());
            return 1;
        }
        int driver_fails = 0;
        int auto_fails = 0;
        int peer_fails = 0;
        const double driver = DriverMs(baud, cycles, null_fd, false, &driver_fails);
        const double auto_rtu = DriverMs(baud, cycles, null_fd, true, &auto_fails);
        const double peer = LibmodbusMs(baud, cycles, &peer_fails);
        ::kill(sim, SIGTERM);
        ::waitpid(sim, nullptr, 0);
        if (driver < 0 || auto_rtu < 0 || peer < 0) {
            std::fprintf(stderr, "bench_peer: cannot open %s (driver %s, auto %s, libmodbus %s)\n",
                         kLink, driver < 0 ? "failed" : "ok", auto_rtu < 0 ? "failed" : "ok",
                         peer < 0 ? "failed" : "ok");
            return 1;
        }
        const double wire = kMachines * (kRequestLen + kReplyLen) * kBitsPerChar * 1000.0 /
                            static_cast<double>(kBitRate[baud]);
        std::printf("%5d %7d %10.1f %11.1f %13.1f %8.1f %9.2f %9.2f %15.2f %7d/%d/%d\n", baud,
                    kBitRate[baud], driver, auto_rtu, peer, wire, driver / wire, auto_rtu / wire,
                    peer / wire, driver_fails, auto_fails, peer_fails);
        std::fflush(stdout);
    }
    ::close(null_fd);
    return 0;
}
