// dwmid under valgrind memcheck for a short run of orders and cycles ending with "shut":
// no invalid access and no definite leak. Skipped when valgrind is missing and in sanitizer
// builds, whose instrumented programs valgrind cannot run.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "BusRig.h"
#include "Emulation.h"
#include "GroupClient.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr char kMachines[] = R"({"machines": [
  {"name": "m0", "match": {"prefix_text": "00"}, "reply_hex": "4d30031c"},
  {"name": "mute", "match": {"prefix_text": "01"}, "fault": "no_reply"}
]})";

constexpr char kValgrindLog[] = "/var/local/sandbox/valgrind.log";

TEST(ValgrindTest, DaemonRunsCleanUnderMemcheck) {
    if (kSanitized || Env("RS485SIM_BIN").empty() ||
        std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs valgrind, the simulator and a build without sanitizers";
    }
    if (Emulated()) {
        GTEST_SKIP() << "valgrind instruments host code only: under emulation it would check the "
                        "emulator, not dwmid";
    }
    // The rig's own daemon is not used; dwmid runs under valgrind instead.
    BusRig rig;
    ASSERT_TRUE(rig.Start(1, kMachines));
    ASSERT_TRUE(rig.WaitServing());
    rig.StopDaemon();
    std::system("ipcrm -a 2>/dev/null; true");

    ChildProcess vg;
    ASSERT_TRUE(vg.Start({"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full",
                          "--errors-for-leak-kinds=definite", "--error-exitcode=99",
                          "--log-file=" + std::string(kValgrindLog), Env("DWMID_BIN")},
                         "/var/local/sandbox/vg.out", "/var/local/sandbox/vg.err"));
    const std::size_t offset = ReadFile(kLogFile).size();
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(kLogFile).find("accept end", offset) != std::string::npos; },
        120000));
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(BusRig::Order(c, "open,0,0,5|", 30000), "opsuc");
    ASSERT_TRUE(c.Send("port,0,0,3,200,3,1,0|"));
    ASSERT_TRUE(c.Send("port,0,1,3,50,3,1,0|"));
    ASSERT_EQ(BusRig::Order(c, "compt,0,3|", 30000), "cpsuc");
    EXPECT_EQ(BusRig::Order(c, "hello|", 30000), "err1");
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Transmit(0, {'0', '0', 'V'}), 0);
    EXPECT_EQ(g.Transmit(1, {'0', '1', 'V'}), 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(g.Communicate(60000), 1) << i;  // machine 1 never answers
    }
    g.Detach();
    EXPECT_EQ(BusRig::Order(c, "close,0|", 30000), "clsuc");
    ASSERT_TRUE(c.Send("shut|"));
    ASSERT_TRUE(vg.Wait(120000));
    const std::string report = ReadFile(kValgrindLog);
    EXPECT_EQ(vg.ExitStatus(), 0) << report;
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
}

}  // namespace
