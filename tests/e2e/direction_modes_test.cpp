// The direction modes of "direction" with the real daemon on a simulated line: the kernel's
// RS-485 mode through a preload that answers as a serial-core driver (and a real
// pseudo-terminal, which has no such mode), a self-switching adapter that echoes the master's
// bytes, a libgpiod line through a recorder of its calls, and a transmitter that never sends.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "Emulation.h"
#include "GroupClient.h"
#include "SimProcess.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

constexpr char kLink[] = "/var/local/sandbox/tty0";
constexpr char kKeyDir[] = "/var/local/velkey";
constexpr char kShimLog[] = "/var/local/sandbox/shim.log";

// Machine "A" answers "OK" and 0x03 at once; machine "S" only after 400 ms.
constexpr char kMachines[] = R"({"machines": [
    {"match": {"prefix_text": "A"}, "reply_text": "OK\u0003"},
    {"match": {"prefix_text": "S"}, "reply_text": "LATE\u0003", "delay_ms": 400}
]})";

struct Record {
    int status;
    std::string data;
};

class DirectionModes : public testing::Test {
  protected:
    void SetUp() override {
        if (Env("RS485SIM_BIN").empty()) {
            GTEST_SKIP() << "the bus simulator was not built";
        }
        ::unlink(kShimLog);
    }

    // Preloads are built for the target; the emulator's own loader is not set up to take them.
    bool SkipPreload() {
        if (!Emulated()) {
            const std::string asan = Env("ASAN_OPTIONS");
            if (!asan.empty()) {
                ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
            }
            return false;
        }
        return true;
    }

    static std::string Preload(const std::string& name) {
        return "LD_PRELOAD=" + Env("RS485_PRELOAD_DIR") + "/" + name + ".so";
    }

    // The simulator, one line with the given keys and the daemon, which is then serving.
    void StartLine(const std::string& keys, const std::vector<std::string>& sim_args = {},
                   const std::vector<std::string>& daemon_env = {}) {
        std::vector<std::string> args = {"--baud", "5", "--no-pacing"};
        args.insert(args.end(), sim_args.begin(), sim_args.end());
        ASSERT_TRUE(sim_.Start(kLink, kMachines, args));
        ConfigPlan plan;
        plan.lines.push_back({kLink, "none", 5, 15, keys});
        ASSERT_TRUE(InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start(daemon_env));
        ASSERT_TRUE(daemon_.WaitServing());
        ASSERT_TRUE(orders_.Connect(10001));
    }

    std::string Order(const std::string& text) {
        return orders_.Send(text) ? orders_.Recv(10000) : "<send failed>";
    }

    // Sends each machine's "port" order and request and runs one cycle over them.
    std::vector<Record> Cycle(const std::vector<std::string>& ports,
                              const std::vector<std::string>& requests) {
        for (const std::string& port : ports) {
            EXPECT_TRUE(orders_.Send(port));
        }
        EXPECT_EQ(Order("compt,0," + std::to_string((1 << requests.size()) - 1) + "|"), "cpsuc");
        GroupClient g;
        EXPECT_TRUE(g.Attach(kKeyDir, 0));
        for (std::size_t m = 0; m < requests.size(); ++m) {
            EXPECT_EQ(g.Transmit(static_cast<int>(m), {requests[m].begin(), requests[m].end()}), 0);
        }
        EXPECT_NE(g.Communicate(20000), -1) << "no answer to the cycle";
        std::vector<Record> out;
        g.LockReceive();
        for (std::size_t m = 0; m < requests.size(); ++m) {
            const shm::ReceiveRecord& rec = g.Receive()->records[m];
            out.push_back(
                {rec.statu, std::string(reinterpret_cast<const char*>(rec.da), rec.dalen)});
        }
        g.UnlockReceive();
        return out;
    }

    // Closes the channel and waits until the worker has closed the tty.
    void CloseChannel() {
        ASSERT_EQ(Order("close,0|"), "clsuc");
        ASSERT_TRUE(WaitUntil(
            [&] { return daemon_.NewLog().find("close : ret =") != std::string::npos; }, 10000))
            << daemon_.NewLog();
    }

    void StopDaemon() {
        ASSERT_TRUE(daemon_.Process().Signal(SIGTERM));
        ASSERT_TRUE(daemon_.Process().Wait(15000));
        EXPECT_EQ(daemon_.Process().ExitStatus(), 0);
    }

    SimProcess sim_;
    Daemon daemon_;
    TcpClient orders_;
};

// ctrl_bit 8N1, time-out 300 ms, delimiter 0x03 without trailing bytes.
const std::string kPortA = "port,0,0,3,300,3,0,0|";

TEST_F(DirectionModes, KernelModeAsksTheDriverReadsBackAndRestoresAtClose) {
    if (SkipPreload()) {
        GTEST_SKIP() << "preloads are not taken under the emulator";
    }
    StartLine(R"("direction": "kernel", "rts_on_send": "low", "delay_before_send_ms": 5,
                 "delay_after_send_ms": 2)",
              {}, {Preload("serialcore_shim"), std::string("RS485_SERIALCORE_LOG=") + kShimLog});
    ASSERT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    const std::vector<Record> r = Cycle({kPortA}, {"A1"});
    EXPECT_EQ(r[0].status, shm::kStatusComplete);
    EXPECT_EQ(r[0].data, "OK");
    CloseChannel();
    // The port as an earlier user left it (RS-485 off, 0/3 ms), the settings asked for and
    // read back, and the earlier settings again at close.
    EXPECT_EQ(Lines(ReadFile(kShimLog)),
              (std::vector<std::string>{
                  "TIOCGRS485 flags=0x00 delays 0/3",
                  "TIOCSRS485 asked flags=0x05 delays 5/2 got flags=0x05 delays 5/2",
                  "TIOCGRS485 flags=0x05 delays 5/2",
                  "TIOCSRS485 asked flags=0x00 delays 0/3 got flags=0x00 delays 0/3",
              }));
    EXPECT_NE(daemon_.NewLog().find("direction control : kernel RS-485 mode, RTS low on send, "
                                    "delays 5/2 ms, echo none"),
              std::string::npos)
        << daemon_.NewLog();
    // "direction" overrides "de_line" "none": no transceiver block is programmed.
    EXPECT_EQ(ReadFile(kSpiLog), "");
    StopDaemon();
}

TEST_F(DirectionModes, KernelModeIsRefusedWhereTheDriverHasNoneOrChangesTheSettings) {
    // A real pseudo-terminal answers the RS-485 ioctls with ENOTTY.
    StartLine(R"("direction": "kernel")");
    EXPECT_EQ(Order("open,0,0,5|"), "operr");
    const std::string refused = std::string("direction control of ") + kLink + " : ";
    EXPECT_NE(daemon_.NewLog().find(refused + "the driver has no RS-485 mode (TIOCGRS485: "),
              std::string::npos)
        << daemon_.NewLog();
    StopDaemon();
    ASSERT_TRUE(sim_.Stop());
    if (SkipPreload()) {
        GTEST_SKIP() << "preloads are not taken under the emulator";
    }
    // A port that cannot hold RTS low on send: the driver keeps RTS on send instead.
    StartLine(R"("direction": "kernel", "rts_on_send": "low")", {},
              {Preload("serialcore_shim"), "RS485_SERIALCORE_SUPPORTED=0x13",
               std::string("RS485_SERIALCORE_LOG=") + kShimLog});
    EXPECT_EQ(Order("open,0,0,5|"), "operr");
    EXPECT_NE(
        daemon_.NewLog().find(refused + "the driver changed the RS-485 settings: asked flags=0x05 "
                                        "delays 0/0 ms, got flags=0x03 delays 0/0 ms"),
        std::string::npos)
        << daemon_.NewLog();
    const std::vector<std::string> calls = Lines(ReadFile(kShimLog));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "TIOCSRS485 asked flags=0x00 delays 0/3 got flags=0x00 delays 0/3");
    StopDaemon();
}

TEST_F(DirectionModes, AutoModeDropsOrVerifiesTheEchoAndTellsACollision) {
    StartLine(R"("direction": "auto", "echo": "discard")", {"--echo"});
    ASSERT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    std::vector<Record> r = Cycle({kPortA}, {"A1"});
    EXPECT_EQ(r[0].status, shm::kStatusComplete);
    EXPECT_EQ(r[0].data, "OK");
    StopDaemon();
    ASSERT_TRUE(sim_.Stop());

    StartLine(R"("direction": "auto", "echo": "verify")", {"--echo"});
    ASSERT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    r = Cycle({kPortA}, {"A1"});
    EXPECT_EQ(r[0].status, shm::kStatusComplete);
    EXPECT_EQ(r[0].data, "OK");
    // Machine 0 ("S") times out after 50 ms but answers after 400 ms, while machine 1's
    // request is on the bus: the adapter hears it garbled.
    r = Cycle({"port,0,0,3,50,3,0,0|", "port,0,1,3,1000,3,0,0|"}, {"S0", "A1"});
    EXPECT_EQ(r[0].status, shm::kStatusTimeout);
    EXPECT_EQ(r[1].status, shm::kStatusReadError);
    EXPECT_EQ(r[1].data, "");
    ASSERT_TRUE(sim_.Stop());
    EXPECT_EQ(CountLines(sim_.Log(), "echo collided len=2"), 1) << sim_.Log();
    StopDaemon();
}

TEST_F(DirectionModes, GpiodLineIsActiveExactlyWhileTheRequestIsOnTheWire) {
    if (SkipPreload()) {
        GTEST_SKIP() << "preloads are not taken under the emulator";
    }
    StartLine(R"("direction": "gpiod", "gpio_chip": "gpiochip0", "gpio_line": 5,
                 "gpio_active": "low")",
              {}, {Preload("gpiod_recorder"), std::string("RS485_GPIODREC_LOG=") + kShimLog});
    ASSERT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    const std::vector<Record> r = Cycle({kPortA}, {"A1"});
    EXPECT_EQ(r[0].status, shm::kStatusComplete);
    EXPECT_EQ(r[0].data, "OK");
    CloseChannel();
    // The reply is read in as many pieces as it came: one "tty-read" stands for them all.
    std::vector<std::string> calls;
    for (const std::string& line : Lines(ReadFile(kShimLog))) {
        const std::string call = line.rfind("tty-read", 0) == 0 ? "tty-read" : line;
        if (!line.empty() && (calls.empty() || calls.back() != call)) {
            calls.push_back(call);
        }
    }
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "open gpiochip0",
                         "line offset=5",
                         "request consumer=dwmid flags=4 value=0",
                         "set 1",
                         "tty-write 2",
                         "set 0",
                         "tty-read",
                         "release",
                         "close",
                     }));
    EXPECT_EQ(ReadFile(kGpioValue), "");
    EXPECT_EQ(ReadFile(kSpiLog), "");
    StopDaemon();
}

// Two machines of different formats behind a transmitter that never sends: each request
// fails at the drain bound and its bytes are discarded, so neither the next machine's format
// change, nor the close, nor a new open, nor the shutdown waits for the queue.
TEST_F(DirectionModes, StuckTransmitterHoldsNeitherTheCycleNorCloseNorShutdown) {
    if (SkipPreload()) {
        GTEST_SKIP() << "preloads are not taken under the emulator";
    }
    StartLine("", {}, {Preload("stuckq_shim"), std::string("RS485_STUCKQ_LOG=") + kShimLog});
    ASSERT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    const std::vector<Record> r = Cycle({kPortA, "port,0,1,19,300,3,0,0|"}, {"A0", "A1"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].status, shm::kStatusReadError);
    EXPECT_EQ(r[1].status, shm::kStatusReadError);
    CloseChannel();
    EXPECT_EQ(Order("open,0,0,5|"), "opsuc") << daemon_.NewLog();
    StopDaemon();
    const std::string log = ReadFile(kShimLog);
    EXPECT_EQ(CountLines(log, "flush 2"), 2) << log;
    EXPECT_EQ(CountLines(log, "waited"), 0) << log;
}

}  // namespace
