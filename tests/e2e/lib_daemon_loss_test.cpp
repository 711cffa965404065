// The library when the daemon is missing or goes away: open fails and succeeds later, a
// client waiting for a reply or a cycle sees the loss and recovers by close and open, sends to
// a vanished daemon never kill the application with SIGPIPE, and a left-over semaphore post is
// never taken for an answer.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "GroupClient.h"
#include "LibE2e.h"
#include "SysvIpc.h"
#include "TestSupport.h"

using testsupport::CClientRun;
using testsupport::FileExists;
using testsupport::WaitUntil;

namespace {

const char kSim0[] = "/var/local/sandbox/ttySIM0";
const char kKeyDir[] = "/var/local/velkey";
const char kWaitTrace[] = "WAIT UNLOCK SEMAPHORE (startCom)";
// Machine 2 has no simulated machine behind it: selected alone, a cycle lasts its time-out.
const char kMuteMachine30s[] = "port:1:2:3:30000:13:0:0";
const char kMachines[] = R"({"machines": [
 {"name": "cr", "match": {"address": 1, "position": 0}, "request_length": 2, "reply_text": "OK\r"}
]})";

class LibDaemonLoss : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        testsupport::ConfigPlan plan;
        plan.lines = {{kSim0}};
        // Long enough that a reply wait outlasts everything the test does meanwhile.
        plan.res_wait_timeout = 120000;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        sim_ = new testsupport::BusSimulator;
        ASSERT_TRUE(sim_->Start(kMachines, kSim0));
        std::string log;
        client_ = testsupport::BuildCClient(&log);
        ASSERT_FALSE(client_.empty()) << log;
    }
    static void TearDownTestSuite() { delete sim_; }

    static testsupport::BusSimulator* sim_;
    static std::string client_;
};

testsupport::BusSimulator* LibDaemonLoss::sim_ = nullptr;
std::string LibDaemonLoss::client_;

TEST_F(LibDaemonLoss, OpenWithoutDaemonFailsAndSucceedsOnceItRuns) {
    const std::string ready = "/var/local/sandbox/nodaemon.ready";
    const std::string go = "/var/local/sandbox/nodaemon.go";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"open:1", "facade", "compt:1:1", "touch:" + ready, "wait:" + go,
                                    "open:1", "compt:1:1", "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(ready); }, 60000));
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    ASSERT_TRUE(testsupport::WriteFile(go, ""));
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"open 1 -3", "facade set", "compt 1 0",
                                                     "touch " + ready, "wait " + go + " ok",
                                                     "open 1 0", "compt 1 1", "close 1", "end"}));
    ASSERT_TRUE(daemon.Process().Signal(SIGTERM));
    ASSERT_TRUE(daemon.Process().Wait(30000));
}

TEST_F(LibDaemonLoss, SendsToAVanishedDaemonFailWithoutSigpipe) {
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    const std::string opened = "/var/local/sandbox/loss.opened";
    const std::string killed = "/var/local/sandbox/loss.killed";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"open:1", "touch:" + opened, "wait:" + killed,
                                    "port:1:1:3:100:13:0:0", "port:1:1:3:100:13:0:0",
                                    "port:1:1:3:100:13:0:0", "compt:1:1", "compt:1:1", "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(opened); }, 60000));
    ASSERT_TRUE(daemon.Process().Signal(SIGKILL));
    ASSERT_TRUE(daemon.Process().Wait(30000));
    ASSERT_TRUE(testsupport::WriteFile(killed, ""));
    ASSERT_TRUE(run.Process().Wait(120000));
    EXPECT_EQ(run.Process().TermSignal(), 0);
    EXPECT_EQ(run.Process().ExitStatus(), 0);
    EXPECT_EQ(run.Line("open 1"), "open 1 0");
    EXPECT_EQ(run.Line("compt 1"), "compt 1 0");
    EXPECT_EQ(run.Line("end"), "end");
}

TEST_F(LibDaemonLoss, DaemonKilledWhileTheClientWaitsForTheOpenReply) {
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    // A stopped daemon still has its connections accepted by the kernel, but answers nothing.
    ASSERT_TRUE(daemon.Process().Signal(SIGSTOP));
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"open:1", "compt:1:1", "put:1:1:0101", "start:1", "close:1"}));
    ASSERT_TRUE(WaitUntil(
        [&] { return run.Process().Stdout().find("send data length = 11") != std::string::npos; },
        60000));
    ASSERT_TRUE(daemon.Process().Signal(SIGKILL));
    ASSERT_TRUE(daemon.Process().Wait(30000));
    ASSERT_TRUE(run.Finish()) << run.Process().Stdout();
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"open 1 -3", "compt 1 0", "put 1 1 0",
                                                     "start 1 0 calls 0", "close 1", "end"}));
    // The order client saw the connection end while it waited.
    EXPECT_NE(run.Process().Stdout().find(":: in Open : ret=-2"), std::string::npos);
}

TEST_F(LibDaemonLoss, DaemonKilledDuringACycleEndsTheWaitAndCloseOpenRecovers) {
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    const std::string returned = "/var/local/sandbox/kill.returned";
    const std::string restarted = "/var/local/sandbox/kill.restarted";
    CClientRun run;
    ASSERT_TRUE(run.Start(
        client_, {"open:1", "listen:1", kMuteMachine30s, "compt:1:2", "start:1", "start:1",
                  "touch:" + returned, "wait:" + restarted, "close:1", "open:1",
                  "port:1:1:3:500:13:0:0", "compt:1:1", "put:1:1:0101", "start:1", "close:1"}));
    ASSERT_TRUE(WaitUntil(
        [&] { return run.Process().Stdout().find(kWaitTrace) != std::string::npos; }, 60000));
    ASSERT_TRUE(daemon.Process().Signal(SIGKILL));
    ASSERT_TRUE(daemon.Process().Wait(30000));
    // Well before the 30 s cycle could have ended.
    ASSERT_TRUE(WaitUntil([&] { return FileExists(returned); }, 20000)) << run.Process().Stdout();
    // The client let go of the killed daemon's segments, so a new daemon creates its own.
    for (const testsupport::IpcObject& seg : testsupport::ListShmSegments()) {
        EXPECT_EQ(seg.nattch, 0) << seg.id;
    }
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    ASSERT_TRUE(testsupport::WriteFile(restarted, ""));
    ASSERT_TRUE(run.Finish(60000)) << run.Process().Stdout();
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{
                               "open 1 0", "listen 1", "port 1 2", "compt 1 1", "start 1 0 calls 0",
                               "start 1 0 calls 0", "touch " + returned,
                               "wait " + restarted + " ok", "close 1", "open 1 0", "port 1 1",
                               "compt 1 1", "put 1 1 1", "start 1 1 calls 1", "close 1", "end"}));
    ASSERT_TRUE(daemon.Process().Signal(SIGKILL));
    ASSERT_TRUE(daemon.Process().Wait(30000));
}

TEST_F(LibDaemonLoss, ShutWhileAClientWaitsForItsCycleGivesNoAnswer) {
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    const std::string opened = "/var/local/sandbox/shut.opened";
    const std::string held = "/var/local/sandbox/shut.held";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"open:1", "listen:1", "port:1:1:3:500:13:0:0", "compt:1:1",
                                    "touch:" + opened, "wait:" + held, "start:1", "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(opened); }, 60000));
    // Holding the receive lock stops the worker after the cycle, before it publishes the
    // records and posts the answer: the client waits on the semaphore.
    testsupport::GroupClient holder;
    ASSERT_TRUE(holder.Attach(kKeyDir, 0));
    holder.LockReceive();
    ASSERT_TRUE(testsupport::WriteFile(held, ""));
    ASSERT_TRUE(WaitUntil(
        [&] { return run.Process().Stdout().find(kWaitTrace) != std::string::npos; }, 60000));
    testsupport::TcpClient other;
    ASSERT_TRUE(other.Connect(10001));
    ASSERT_TRUE(other.Send("shut|"));
    // The daemon removes its objects without posting: no answer, no listener call.
    const bool finished = run.Finish(60000);
    holder.UnlockReceive();
    holder.Detach();
    ASSERT_TRUE(finished) << run.Process().Stdout();
    EXPECT_EQ(run.Line("start 1"), "start 1 0 calls 0");
    ASSERT_TRUE(daemon.Process().Wait(60000));
}

TEST_F(LibDaemonLoss, StalePostIsNotTakenForTheNextAnswer) {
    testsupport::Daemon daemon;
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.WaitServing());
    const std::string opened = "/var/local/sandbox/stale.opened";
    const std::string posted = "/var/local/sandbox/stale.posted";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"open:1", "listen:1", "port:1:2:3:300:13:0:0", "compt:1:2",
                                    "touch:" + opened, "wait:" + posted, "start:1", "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(opened); }, 60000));
    testsupport::GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));
    ASSERT_TRUE(g.PostSemaphore());
    g.Detach();
    ASSERT_TRUE(testsupport::WriteFile(posted, ""));
    ASSERT_TRUE(run.Finish(60000)) << run.Process().Stdout();
    // The mute machine fails the cycle that really ran; the stale post would have been success.
    EXPECT_EQ(run.Line("start 1"), "start 1 0 calls 1");
    ASSERT_TRUE(daemon.Process().Signal(SIGKILL));
    ASSERT_TRUE(daemon.Process().Wait(30000));
}

}  // namespace
