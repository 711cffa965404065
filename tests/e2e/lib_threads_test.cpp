// The library in a multi-threaded application: a C client built against the public header
// alone cycles two channels on two threads while a third changes their listeners, and closes
// a channel while another thread waits in a cycle on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LibE2e.h"
#include "TestSupport.h"

using testsupport::CClientRun;
using testsupport::FileExists;
using testsupport::WaitUntil;

namespace {

const char kSim0[] = "/var/local/sandbox/ttySIM0";
const char kSim1[] = "/var/local/sandbox/ttySIM1";
const char kMachines[] = R"({"machines": [
 {"name": "cr", "match": {"address": 1, "position": 0}, "request_length": 2, "reply_text": "OK\r"}
]})";

class LibThreads : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        testsupport::ConfigPlan plan;
        plan.lines = {{kSim0}, {kSim1}};
        plan.res_wait_timeout = 20000;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        sim0_ = new testsupport::BusSimulator;
        sim1_ = new testsupport::BusSimulator;
        ASSERT_TRUE(sim0_->Start(kMachines, kSim0));
        ASSERT_TRUE(sim1_->Start(kMachines, kSim1));
        daemon_ = new testsupport::Daemon;
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing());
        std::string log;
        client_ = testsupport::BuildCClient(&log, "rs485_mt_client");
        ASSERT_FALSE(client_.empty()) << log;
    }
    // The daemon is killed: a cycle of 30 s may still run in it.
    static void TearDownTestSuite() {
        delete daemon_;
        delete sim1_;
        delete sim0_;
    }

    static testsupport::BusSimulator* sim0_;
    static testsupport::BusSimulator* sim1_;
    static testsupport::Daemon* daemon_;
    static std::string client_;
};

testsupport::BusSimulator* LibThreads::sim0_ = nullptr;
testsupport::BusSimulator* LibThreads::sim1_ = nullptr;
testsupport::Daemon* LibThreads::daemon_ = nullptr;
std::string LibThreads::client_;

TEST_F(LibThreads, TwoChannelsCycleOnTwoThreadsWhileListenersChange) {
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"cycles:20"}));
    ASSERT_TRUE(run.Finish(120000)) << run.Process().Stdout() << run.Process().Stderr();
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"cycles 1 ok 20", "cycles 2 ok 20", "end"}));
}

// Two processes on the same channels, with no lock of their own: each request waits for the
// slot, and every caller gets the answer to its own request.
TEST_F(LibThreads, TwoProcessesShareChannelsAndEachGetsItsOwnAnswers) {
    CClientRun first;
    CClientRun second;
    ASSERT_TRUE(first.Start(client_, {"cycles:20"}));
    ASSERT_TRUE(second.Start(client_, {"cycles:20"}));
    // Both end: a caller whose answer another took would wait for as long as the daemon
    // lives. Under a heavily loaded machine a cycle may miss its time-out, so the count of
    // successful cycles is only required to show that cycles were served.
    for (CClientRun* run : {&first, &second}) {
        ASSERT_TRUE(run->Finish(120000)) << run->Process().Stdout() << run->Process().Stderr();
        const std::vector<std::string> lines = run->Lines();
        ASSERT_EQ(lines.size(), 3U);
        for (int c = 1; c <= 2; ++c) {
            const std::string prefix = "cycles " + std::to_string(c) + " ok ";
            ASSERT_EQ(lines[c - 1].rfind(prefix, 0), 0U) << lines[c - 1];
            EXPECT_GE(std::stoi(lines[c - 1].substr(prefix.size())), 10) << lines[c - 1];
        }
        EXPECT_EQ(lines[2], "end");
    }
}

// Last: the abandoned cycle keeps channel 1's worker busy for 30 s.
TEST_F(LibThreads, CloseWhileAnotherThreadWaitsInACycleEndsThatWait) {
    const std::string waiting = "/var/local/sandbox/closewait.waiting";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"closewait:1:" + waiting}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            return run.Process().Stdout().find("WAIT UNLOCK SEMAPHORE (startCom)") !=
                   std::string::npos;
        },
        60000));
    ASSERT_TRUE(testsupport::WriteFile(waiting, ""));
    // Well before the 30 s cycle could have ended; no answer, so no listener call.
    ASSERT_TRUE(run.Finish(20000)) << run.Process().Stdout() << run.Process().Stderr();
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"closewait 1 start 0 calls 0", "end"}));
}

}  // namespace
