// The library in a multi-threaded application: a C client built against the public header
// alone cycles two channels on two threads while a third changes their listeners, and closes
// a channel while another thread waits in a cycle on it or for another process's lock.
#include <gtest/gtest.h>
#include <linux/futex.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "GroupClient.h"
#include "LibE2e.h"
#include "TestSupport.h"

using testsupport::CClientRun;
using testsupport::FileExists;
using testsupport::GroupClient;
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

// A reader of a channel whose receive lock another process holds (one stopped in a debugger,
// say) leaves when another thread closes the channel, also after the wall clock has stepped
// an hour ahead (the preload shows the client such a clock).
TEST_F(LibThreads, CloseEndsAReadWaitingForAPeersReceiveLock) {
    GroupClient peer;
    ASSERT_TRUE(peer.Attach(testsupport::ConfigPlan().key_dir, 1));
    peer.LockReceive();
    std::vector<std::string> env;
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer builds wait on the wall clock (see SharedMemCli): no step for them.
    if (!testsupport::Env("RS485_CLOCKSHIM").empty()) {
        env.push_back("LD_PRELOAD=" + testsupport::Env("RS485_CLOCKSHIM"));
        // The preload comes before the sanitizer runtime, which refuses that unless told.
        const std::string asan = testsupport::Env("ASAN_OPTIONS");
        if (!asan.empty()) {
            ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        }
    }
#endif
    const std::string path = "/var/local/sandbox/readclose.close";
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, {"readclose:2:" + path}, env));
    // The reader waits once it has marked the held lock as contended: the FUTEX_WAITERS bit of
    // a robust mutex's lock word, which the kernel's robust futex protocol defines.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return (__atomic_load_n(&peer.Receive()->mutex.__data.__lock, __ATOMIC_ACQUIRE) &
                    FUTEX_WAITERS) != 0;
        },
        60000))
        << run.Process().Stdout() << run.Process().Stderr();
    ASSERT_TRUE(testsupport::WriteFile(path, ""));
    const bool finished = run.Finish(20000);
    peer.UnlockReceive();
    ASSERT_TRUE(finished) << run.Process().Stdout() << run.Process().Stderr();
    EXPECT_EQ(run.Lines(),
              (std::vector<std::string>{"readclose 2 open 0", "readclose 2 table set", "end"}));
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
