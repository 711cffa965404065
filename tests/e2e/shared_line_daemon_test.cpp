// The daemon keeps a shared line usable for everyone when one user departs, stops or floods
// it, and ends in bounded time: the real dwmid with one rs485sim per line, in the sandbox.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BusRig.h"
#include "GroupClient.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

// Machine 0 answers "M0" with ETX framing and one trailing byte; machines 5..9 never answer.
constexpr char kMachines[] = R"({"machines": [
  {"match": {"prefix_text": "00"}, "reply_hex": "4d30031c"},
  {"match": {"prefix_text": "0"}, "fault": "no_reply"}
]})";
constexpr char kSpiDelay[] = "/var/local/sandbox/spitool.delay";

int CountDescriptors(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    int n = 0;
    while (dir != nullptr && ::readdir(dir) != nullptr) {
        ++n;
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return n - 2;  // "." and ".."
}

std::vector<uint8_t> Request0() {
    return {'0', '0', 'R', 'Q'};
}

class SharedLineDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Env("RS485SIM_BIN").empty()) {
            GTEST_SKIP() << "the bus simulator was not built";
        }
    }

    void TearDown() override {
        if (stopped_ > 0) {
            ::kill(stopped_, SIGKILL);
            ::waitpid(stopped_, nullptr, 0);
        }
        ::unlink(kSpiDelay);
        rig_.StopDaemon();
        std::system("ipcrm -a 2>/dev/null; true");
    }

    void Start(int lines) {
        ASSERT_TRUE(rig_.Start(lines, kMachines));
        ASSERT_TRUE(rig_.WaitServing());
    }

    // Opens the channel on c and selects machine 0 with ETX framing.
    static void Open(TcpClient& c, int channel) {
        const std::string ch = std::to_string(channel);
        if (c.Fd() < 0) {
            ASSERT_TRUE(c.Connect(10001));
        }
        ASSERT_EQ(BusRig::Order(c, "open," + ch + ",0,5|"), "opsuc");
        ASSERT_TRUE(c.Send("port," + ch + ",0,3,200,3,1,0|"));
        ASSERT_EQ(BusRig::Order(c, "compt," + ch + ",1|"), "cpsuc");
    }

    bool LogShows(const std::string& text, int timeout_ms = 30000) {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout_ms);
    }
    std::string Log() { return rig_.GetDaemon().NewLog(); }
    ChildProcess& Daemon() { return rig_.GetDaemon().Process(); }

    BusRig rig_;
    pid_t stopped_{-1};
};

TEST_F(SharedLineDaemonTest, StaleAnswerCleanUpKeepsServingTheUsersThatRemain) {
    Start(1);
    TcpClient a;
    TcpClient b;
    Open(a, 0);
    Open(b, 0);
    // A user posts a request and never collects the answer.
    GroupClient gone;
    ASSERT_TRUE(gone.Attach(BusRig::kKeyDir, 0));
    gone.PostTransmit(0, Request0());
    ASSERT_TRUE(LogShows("clear wait flag (putOutData)"));
    gone.Detach();

    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Communicate(5000), 0);
    EXPECT_EQ(g.SemValue(), 0);
    // The worker still runs for both users: a third open adds to their count.
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    EXPECT_EQ(BusRig::Order(c, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(CountLines(Log(), "use count = 3"), 1);
    EXPECT_EQ(BusRig::Order(a, "close,0|"), "cluse");
    EXPECT_EQ(BusRig::Order(b, "close,0|"), "cluse");
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
    // A close too many is refused; the count does not go below zero.
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clerr");
}

TEST_F(SharedLineDaemonTest, RequestPostedBehindAStaleAnswerGetsItsOwnAnswer) {
    Start(1);
    TcpClient c;
    Open(c, 0);
    GroupClient gone;
    ASSERT_TRUE(gone.Attach(BusRig::kKeyDir, 0));
    gone.PostCommunication();
    ASSERT_TRUE(WaitUntil([&] { return gone.SemValue() == 1; }, 20000));
    gone.Detach();

    // The next requester drains the stale post, as the library does, and posts its own
    // request while the stale answer still blocks the slot.
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    ASSERT_TRUE(g.WaitAnswer(1000));
    g.PostTransmit(0, Request0());
    ASSERT_TRUE(g.WaitAnswer(10000));
    g.LockControl();
    EXPECT_EQ(g.Control()->data_flags, shm::kTransmitAnswer);
    g.UnlockControl();
    EXPECT_EQ(g.TakeTransmitAnswer(), 0);
    EXPECT_EQ(g.SemValue(), 0);
    EXPECT_NE(Log().find("clear wait flag (startCom)"), std::string::npos);
    EXPECT_EQ(g.Communicate(5000), 0);
}

TEST_F(SharedLineDaemonTest, ClientStoppedHoldingTheControlMutexFreezesNoOrders) {
    Start(2);
    TcpClient c;
    Open(c, 0);
    Open(c, 1);
    stopped_ = ::fork();
    ASSERT_GE(stopped_, 0);
    if (stopped_ == 0) {
        GroupClient holder;
        if (holder.Attach(BusRig::kKeyDir, 0)) {
            holder.LockControl();
            ::raise(SIGSTOP);
            holder.UnlockControl();
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(stopped_, &status, WUNTRACED), stopped_);
    ASSERT_TRUE(WIFSTOPPED(status));

    // Channel 0's worker now waits for the mutex. Its last close and a new open must not
    // wait for it, nor must the orders of channel 1.
    EXPECT_EQ(BusRig::Order(c, "close,0|", 5000), "clsuc");
    const std::string reopen = BusRig::Order(c, "open,0,0,5|", 5000);
    EXPECT_TRUE(reopen == "opsuc" || reopen == "operr") << reopen;
    EXPECT_EQ(BusRig::Order(c, "compt,1,1|", 5000), "cpsuc");
    TcpClient other;
    ASSERT_TRUE(other.Connect(10001));
    EXPECT_EQ(BusRig::Order(other, "open,1,0,5|", 5000), "opsuc");

    ASSERT_EQ(::kill(stopped_, SIGCONT), 0);
    ASSERT_EQ(::waitpid(stopped_, &status, 0), stopped_);
    stopped_ = -1;
    if (reopen != "opsuc") {
        ASSERT_EQ(BusRig::Order(c, "open,0,0,5|"), "opsuc");
    }
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Transmit(0, Request0(), 10000), 0);
    EXPECT_EQ(g.Communicate(10000), 0);
}

TEST_F(SharedLineDaemonTest, OpenWhileTheWorkerStillOpensItsPortGetsTheTrueAnswer) {
    Start(1);
    // The worker's first transceiver command takes seconds, and then the tty is missing.
    ASSERT_TRUE(WriteFile(kSpiDelay, "4"));
    ASSERT_EQ(::unlink(BusRig::Link(0).c_str()), 0);
    TcpClient a;
    TcpClient b;
    ASSERT_TRUE(a.Connect(10001));
    ASSERT_TRUE(b.Connect(10001));
    EXPECT_EQ(BusRig::Order(a, "open,0,0,5|"), "operr");
    EXPECT_EQ(BusRig::Order(b, "open,0,0,5|"), "operr");
    EXPECT_TRUE(LogShows("open failed : result = -3"));
}

TEST_F(SharedLineDaemonTest, SigtermWithLongCyclesInFlightEndsPromptlyAndCleanly) {
    Start(3);
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int ch = 0; ch < 3; ++ch) {
        clients.push_back(std::make_unique<TcpClient>());
        TcpClient& c = *clients.back();
        Open(c, ch);
        // Five silent machines of 30 s each: a cycle of two and a half minutes.
        for (int m = 5; m < 10; ++m) {
            ASSERT_TRUE(
                c.Send("port," + std::to_string(ch) + "," + std::to_string(m) + ",3,30000,3,1,0|"));
        }
        ASSERT_EQ(BusRig::Order(c, "compt," + std::to_string(ch) + ",992|"), "cpsuc");
        GroupClient g;
        ASSERT_TRUE(g.Attach(BusRig::kKeyDir, ch));
        g.PostCommunication();
    }
    ASSERT_TRUE(WaitUntil([&] { return CountLines(Log(), "receive startCom") == 3; }, 20000));
    ASSERT_TRUE(Daemon().Signal(SIGTERM));
    ASSERT_TRUE(Daemon().Wait(20000));
    EXPECT_EQ(Daemon().TermSignal(), 0);
    EXPECT_EQ(Daemon().ExitStatus(), 0);
    EXPECT_EQ(CountLines(Log(), "Finish : delete objects"), 1);
    EXPECT_EQ(CountShmSegments(), 0);
    EXPECT_EQ(CountSemaphoreSets(), 0);
}

TEST_F(SharedLineDaemonTest, AcceptWithoutFreeDescriptorsKeepsTheOrderLoop) {
    Start(1);
    TcpClient first;
    ASSERT_TRUE(first.Connect(10001));
    ASSERT_EQ(BusRig::Order(first, "compt,0,1|"), "cperr");
    // Room for two more descriptors.
    const pid_t pid = Daemon().Pid();
    rlimit lim{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &lim), 0);
    lim.rlim_cur = static_cast<rlim_t>(CountDescriptors(pid) + 2);
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr), 0);

    std::vector<std::unique_ptr<TcpClient>> flood;
    while (Log().find("accept paused") == std::string::npos) {
        ASSERT_LT(flood.size(), 10U);
        const int connected = CountLines(Log(), "client connect");
        flood.push_back(std::make_unique<TcpClient>());
        ASSERT_TRUE(flood.back()->Connect(10001));
        WaitUntil(
            [&] {
                return CountLines(Log(), "client connect") > connected ||
                       Log().find("accept paused") != std::string::npos;
            },
            5000);
    }
    // The connections held are served; the one waiting is taken once a descriptor is free.
    EXPECT_EQ(BusRig::Order(first, "compt,0,1|", 5000), "cperr");
    first.Close();
    EXPECT_EQ(BusRig::Order(*flood.back(), "compt,0,1|", 5000), "cperr");
    EXPECT_EQ(CountLines(Log(), "accept error"), 1);
    EXPECT_EQ(CountLines(Log(), "accept resumed"), 1);
    EXPECT_TRUE(Daemon().Running());
}

}  // namespace
