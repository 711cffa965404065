// The real daemon polling machines that listen at a given format and bit rate, with the
// lineshim preload telling the simulator what the daemon set: a machine that the client
// describes wrongly stays silent (status 4), the rightly described ones answer (status 2).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "Emulation.h"
#include "GroupClient.h"
#include "SimProcess.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

constexpr char kLink[] = "/var/local/sandbox/tty0";
constexpr char kSettingsDir[] = "/var/local/sandbox/lineshim";
constexpr char kKeyDir[] = "/var/local/velkey";

TEST(LineSettings, WronglyDescribedMachinesTimeOut) {
    if (Env("RS485SIM_BIN").empty() || Env("RS485_LINESHIM").empty()) {
        GTEST_SKIP() << "the bus simulator or the lineshim preload was not built";
    }
    if (Emulated()) {
        GTEST_SKIP() << "the lineshim preload is built for the target; under the emulator it "
                        "would have to reach the emulated program's loader, which is not set up";
    }
    // A preloaded object in front of the sanitizer runtime is refused unless the order check
    // is off; the shim itself is instrumented like everything else in that build.
    const std::string asan = Env("ASAN_OPTIONS");
    if (!asan.empty()) {
        ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    }
    ASSERT_EQ(::mkdir(kSettingsDir, 0755), 0);
    SimProcess sim;
    ASSERT_TRUE(sim.Start(kLink, R"({"machines": [
        {"match": {"prefix_text": "00"}, "format": "8E1", "reply_hex": "4d30031c"},
        {"match": {"prefix_text": "01"}, "format": "8E1", "reply_hex": "4d31031c"},
        {"match": {"prefix_text": "02"}, "format": "8N1", "baud": 9600, "reply_hex": "4d32031c"},
        {"match": {"prefix_text": "03"}, "format": "7O2", "baud": 38400, "reply_hex": "4d33031c"}
    ]})",
                          {"--baud", "5", "--no-pacing", "--settings-dir", kSettingsDir}));
    ConfigPlan plan;
    plan.lines.push_back({kLink, "none", 5, 15});
    ASSERT_TRUE(InstallConfig(plan));
    Daemon daemon;
    ASSERT_TRUE(daemon.Start({"LD_PRELOAD=" + Env("RS485_LINESHIM"),
                              std::string("RS485_LINESHIM_DIR=") + kSettingsDir}));
    ASSERT_TRUE(daemon.WaitServing());

    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_TRUE(c.Send("open,0,0,5|"));
    ASSERT_EQ(c.Recv(10000), "opsuc");
    // ctrl_bit: 8E1 = 0x13, 8N1 = 0x03 (machines 1 and 2 are described wrongly), 7O2 = 0x3a.
    for (const char* order : {"port,0,0,19,300,3,1,0|", "port,0,1,3,60,3,1,0|",
                              "port,0,2,3,60,3,1,0|", "port,0,3,58,300,3,1,0|"}) {
        ASSERT_TRUE(c.Send(order));
    }
    ASSERT_TRUE(c.Send("compt,0,15|"));
    ASSERT_EQ(c.Recv(10000), "cpsuc");
    GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));
    for (int m = 0; m < 4; ++m) {
        const std::string req = "0" + std::to_string(m) + "RQ";
        ASSERT_EQ(g.Transmit(m, std::vector<uint8_t>(req.begin(), req.end())), 0) << m;
    }
    EXPECT_EQ(g.Communicate(60000), 1);
    g.LockReceive();
    const shm::ReceiveSegment* rcv = g.Receive();
    const uint8_t status[] = {rcv->records[0].statu, rcv->records[1].statu, rcv->records[2].statu,
                              rcv->records[3].statu};
    g.UnlockReceive();
    EXPECT_EQ(status[0], shm::kStatusComplete);
    EXPECT_EQ(status[1], shm::kStatusTimeout);
    EXPECT_EQ(status[2], shm::kStatusTimeout);
    EXPECT_EQ(status[3], shm::kStatusComplete);
    ASSERT_TRUE(sim.Stop());
    const std::string log = sim.Log();
    EXPECT_EQ(CountLines(log, "mismatch machine=1 line=8N1/38400 expected=8E1/- reply=none"), 1)
        << log;
    EXPECT_EQ(CountLines(log, "mismatch machine=2 line=8N1/38400 expected=8N1/9600 reply=none"), 1)
        << log;
    EXPECT_EQ(CountLines(log, "mismatch"), 2) << log;
    EXPECT_EQ(CountLines(log, "line=7O2/38400"), 1) << log;
}

}  // namespace
