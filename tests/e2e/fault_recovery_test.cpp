// Faults around the running daemon, with the real programs in the sandbox: clients that die
// at the worst moment, a daemon killed and started again, slave machines that misbehave, a
// tty that disappears, connections that end in the middle of an order and a log directory
// that cannot be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "BusRig.h"
#include "Emulation.h"
#include "GroupClient.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

// Machine m answers requests starting with "0m". 0 and 5 behave; 1 babbles 3000 bytes that
// end with the delimiter; 2 answers 500 bytes too many; 3 stops after half its reply (the
// delimiter, not the byte after it); 4 never answers; 6 sends 3000 bytes without delimiter.
constexpr char kMachines[] = R"({"machines": [
  {"name": "m0", "match": {"prefix_text": "00"}, "reply_hex": "4d30031c"},
  {"name": "babbler", "match": {"prefix_text": "01"}, "reply_hex": "031c", "fault": "over_long",
   "extra_length": 3000},
  {"name": "too-long", "match": {"prefix_text": "02"}, "reply_hex": "4d32031c",
   "fault": "over_long", "extra_length": 500},
  {"name": "half", "match": {"prefix_text": "03"}, "reply_hex": "4d33031c", "fault": "cut_short",
   "cut_length": 3},
  {"name": "mute", "match": {"prefix_text": "04"}, "fault": "no_reply"},
  {"name": "m5", "match": {"prefix_text": "05"}, "reply_hex": "4d35031c"},
  {"name": "endless", "match": {"prefix_text": "06"}, "reply_text": "ZZ", "fault": "over_long",
   "extra_length": 3000}
]})";

std::vector<uint8_t> Request(int m) {
    const std::string s = "0" + std::to_string(m) + "RQ";
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Reply(shm::ReceiveSegment* rcv, int m) {
    const shm::ReceiveRecord& r = rcv->records[m];
    return std::string(reinterpret_cast<const char*>(r.da), r.dalen);
}

// One cycle through g: machine 0's reply, or "<cycle answered R>" for a failed one.
std::string CycleReply0(GroupClient& g) {
    const int r = g.Communicate();
    if (r != 0) {
        return "<cycle answered " + std::to_string(r) + ">";
    }
    g.LockReceive();
    std::string reply = Reply(g.Receive(), 0);
    g.UnlockReceive();
    return reply;
}

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Env("RS485SIM_BIN").empty()) {
            GTEST_SKIP() << "the bus simulator was not built";
        }
    }

    void TearDown() override {
        rig_.StopDaemon();
        if (mounted_) {
            // The mounts live in the sandbox as long as this process: later tests need the
            // plain directory again.
            std::system("umount -l /var/local/vellog 2>/dev/null; true");
        }
        // Every test starts without the objects a killed daemon left behind.
        std::system("ipcrm -a 2>/dev/null; true");
    }

    void Start(int lines = 1, const std::vector<std::pair<std::string, std::string>>& patch = {}) {
        ASSERT_TRUE(rig_.Start(lines, kMachines, patch));
        ASSERT_TRUE(rig_.WaitServing());
    }

    // Opens channel 0 on c and gives every machine ETX framing with one trailing byte.
    void OpenAndConfigure(TcpClient& c, int mask) {
        ASSERT_TRUE(c.Connect(10001));
        ASSERT_EQ(BusRig::Order(c, "open,0,0,5|"), "opsuc");
        for (int m = 0; m < 7; ++m) {
            ASSERT_TRUE(c.Send("port,0," + std::to_string(m) + ",3,200,3,1,0|"));
        }
        ASSERT_EQ(BusRig::Order(c, "compt,0," + std::to_string(mask) + "|"), "cpsuc");
    }

    // Runs fn in a child process; fn ends it with SIGKILL while it still has the group
    // attached (a detached segment gives the kernel no mutex to mark as orphaned).
    static void DieAfter(const std::function<void()>& fn) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            fn();
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_EQ(WTERMSIG(status), SIGKILL);
    }

    std::string Log() { return rig_.GetDaemon().NewLog(); }

    // Ends the daemon with a "shut" order on c; it must end with status 0 and leave no System V
    // object behind.
    void ShutClean(TcpClient& c) {
        ASSERT_TRUE(c.Send("shut|"));
        ASSERT_TRUE(rig_.GetDaemon().Process().Wait(30000));
        EXPECT_EQ(rig_.GetDaemon().Process().ExitStatus(), 0);
        EXPECT_EQ(CountShmSegments(), 0);
        EXPECT_EQ(CountSemaphoreSets(), 0);
    }

    BusRig rig_;
    bool mounted_{false};
};

TEST_F(FaultTest, ClientKilledHoldingControlMutexDoesNotBlockOthers) {
    if (Emulated()) {
        GTEST_SKIP() << kNoRobustFutexUnderEmulation;
    }
    Start();
    TcpClient c;
    OpenAndConfigure(c, 1);
    DieAfter([] {
        GroupClient dying;
        if (dying.Attach(BusRig::kKeyDir, 0)) {
            dying.LockControl();
            ::raise(SIGKILL);
        }
    });
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    EXPECT_EQ(g.Communicate(), 0);
    g.LockReceive();
    EXPECT_EQ(Reply(g.Receive(), 0), "M0");
    g.UnlockReceive();
    // The same for the receive mutex.
    DieAfter([] {
        GroupClient dying;
        if (dying.Attach(BusRig::kKeyDir, 0)) {
            dying.LockReceive();
            ::raise(SIGKILL);
        }
    });
    EXPECT_EQ(g.Communicate(), 0);
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
}

TEST_F(FaultTest, ClientKilledWhileWaitingLeavesTheChannelServing) {
    Start();
    TcpClient c;
    OpenAndConfigure(c, 1);
    DieAfter([] {
        GroupClient dying;
        if (dying.Attach(BusRig::kKeyDir, 0)) {
            dying.PostCommunication();
            dying.WaitAnswer(100);
            ::raise(SIGKILL);
        }
    });
    // Nobody takes the answer: the worker clears it after about 100 polls and goes on.
    ASSERT_TRUE(WaitUntil(
        [&] { return Log().find("clear wait flag (startCom)") != std::string::npos; }, 30000));
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    // The clean-up logs before it resets the semaphore, and releases the control mutex after.
    g.LockControl();
    EXPECT_EQ(g.SemValue(), 0);
    EXPECT_EQ(g.Control()->data_flags, 0U);
    g.UnlockControl();
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    EXPECT_EQ(g.Communicate(), 0);
    g.LockReceive();
    EXPECT_EQ(Reply(g.Receive(), 0), "M0");
    g.UnlockReceive();
}

TEST_F(FaultTest, DaemonKilledAndStartedAgainServes) {
    Start(2);
    {
        TcpClient c;
        OpenAndConfigure(c, 1);
        GroupClient g;
        ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
        EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    }
    ASSERT_TRUE(rig_.GetDaemon().Process().Signal(SIGKILL));
    ASSERT_TRUE(rig_.GetDaemon().Process().Wait(10000));
    // The killed daemon leaves its segments and semaphore sets behind.
    EXPECT_EQ(CountShmSegments(), 4);
    EXPECT_EQ(CountSemaphoreSets(), 4);

    ASSERT_TRUE(rig_.GetDaemon().Start());
    ASSERT_TRUE(rig_.WaitServing());
    EXPECT_EQ(CountShmSegments(), 4);
    EXPECT_EQ(CountSemaphoreSets(), 4);
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.SemValue(), 0);
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    EXPECT_EQ(CycleReply0(g), "M0");
    g.Detach();
    ShutClean(c);
}

TEST_F(FaultTest, DaemonKilledWhileAClientStaysAttachedStartsOnceItLeaves) {
    Start();
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient stale;
    ASSERT_TRUE(stale.Attach(BusRig::kKeyDir, 0));
    ASSERT_TRUE(rig_.GetDaemon().Process().Signal(SIGKILL));
    ASSERT_TRUE(rig_.GetDaemon().Process().Wait(10000));
    // A segment that a process still uses is not taken away from it: the start gives up.
    ASSERT_TRUE(rig_.GetDaemon().Start());
    ASSERT_TRUE(rig_.GetDaemon().Process().Wait(30000));
    EXPECT_NE(rig_.GetDaemon().NewLog().find("Create Shmem Error"), std::string::npos);
    stale.Detach();
    ASSERT_TRUE(rig_.GetDaemon().Start());
    ASSERT_TRUE(rig_.WaitServing());
    TcpClient c2;
    OpenAndConfigure(c2, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    EXPECT_EQ(g.Communicate(), 0);
}

// Started by mistake next to a serving daemon, a second one takes nothing from it: neither
// its segments and semaphore sets (the same configuration) nor its order port (another key
// directory), and says which of the two it found taken.
TEST_F(FaultTest, SecondDaemonLeavesTheFirstServing) {
    Start();
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    const std::string conf = ReadFile(kDaemonConf);
    std::string other_keys = conf;
    const std::string key_dir = BusRig::kKeyDir;
    other_keys.replace(other_keys.find(key_dir), key_dir.size(), key_dir + "2");
    const std::pair<std::string, std::string> cases[] = {
        {conf, "its shared memory segment is in use by another process"},
        {other_keys, "order port 10001 is taken"}};
    for (const auto& [second_conf, words] : cases) {
        SCOPED_TRACE(words);
        ASSERT_TRUE(WriteFile(kDaemonConf, second_conf));
        Daemon second;
        ASSERT_TRUE(second.Start());
        ASSERT_TRUE(second.Process().Wait(30000));
        EXPECT_EQ(second.Process().ExitStatus(), 3);
        EXPECT_NE(second.Process().Stderr().find(words), std::string::npos)
            << second.Process().Stderr();
        EXPECT_EQ(CountShmSegments(), 2);
        EXPECT_EQ(CountSemaphoreSets(), 2);
        EXPECT_EQ(CycleReply0(g), "M0");
    }
    g.Detach();
    ShutClean(c);
    EXPECT_EQ(rig_.GetDaemon().Process().Stderr().find("Failed to close semaphore"),
              std::string::npos);
}

TEST_F(FaultTest, MisbehavingMachinesAreFramedAndDoNotMixWithOthers) {
    Start();
    TcpClient c;
    OpenAndConfigure(c, 0x7f);
    // Machines 1, 2 and 6 send more body bytes than the area holds (6 without a delimiter
    // in sight); each ends as soon as the area would overflow.
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    for (int m = 0; m < 7; ++m) {
        ASSERT_EQ(g.Transmit(m, Request(m)), 0) << m;
    }
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(g.Communicate(60000), 1) << round;  // 3, 4 and 6 fail
        g.LockReceive();
        shm::ReceiveSegment* rcv = g.Receive();
        EXPECT_EQ(rcv->records[0].statu, shm::kStatusComplete);
        EXPECT_EQ(Reply(rcv, 0), "M0");
        // Replies that do not fit the area are read errors without bytes.
        for (const int m : {1, 2, 6}) {
            EXPECT_EQ(rcv->records[m].statu, shm::kStatusReadError) << m;
            EXPECT_EQ(rcv->records[m].dalen, 0) << m;
        }
        EXPECT_EQ(rcv->records[3].statu, shm::kStatusTimeout);
        EXPECT_EQ(Reply(rcv, 3), "M3");
        EXPECT_EQ(rcv->records[4].statu, shm::kStatusTimeout);
        EXPECT_EQ(rcv->records[4].dalen, 0);
        EXPECT_EQ(rcv->records[5].statu, shm::kStatusComplete);
        EXPECT_EQ(Reply(rcv, 5), "M5");
        for (int m = 0; m < shm::kMachineCount; ++m) {
            EXPECT_EQ(rcv->records[m].da[rcv->records[m].dalen], 0) << m;
        }
        g.UnlockReceive();
    }
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
}

TEST_F(FaultTest, TtyVanishingUnderAnOpenChannel) {
    Start(2);
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    ASSERT_EQ(g.Transmit(0, Request(0)), 0);
    ASSERT_EQ(g.Communicate(), 0);
    rig_.StopSimulator(0);
    // The cycle on the orphaned tty fails, but it is answered.
    EXPECT_EQ(g.Communicate(), 1);
    g.LockReceive();
    EXPECT_NE(g.Receive()->records[0].statu, shm::kStatusComplete);
    g.UnlockReceive();
    // The daemon goes on serving the other line and the orders of this one.
    TcpClient other;
    ASSERT_TRUE(other.Connect(10001));
    EXPECT_EQ(BusRig::Order(other, "open,1,0,5|"), "opsuc");
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
    ASSERT_TRUE(WaitUntil([&] { return Log().find("close : ret") != std::string::npos; }, 20000));
    // With the tty back, the channel opens and serves again.
    ASSERT_TRUE(rig_.StartSimulator(0));
    EXPECT_EQ(BusRig::Order(c, "open,0,0,5|"), "opsuc");
    ASSERT_TRUE(c.Send("port,0,0,3,200,3,1,0|"));
    ASSERT_EQ(BusRig::Order(c, "compt,0,1|"), "cpsuc");
    EXPECT_EQ(g.Transmit(0, Request(0)), 0);
    EXPECT_EQ(g.Communicate(), 0);
    EXPECT_TRUE(rig_.GetDaemon().Process().Running());
}

TEST_F(FaultTest, ClientsThatDisconnectInTheMiddleOfAnOrder) {
    Start();
    for (const char* part : {"open,0,0,", "compt,0", "port,0,1,3,1", "close"}) {
        TcpClient gone;
        ASSERT_TRUE(gone.Connect(10001));
        ASSERT_TRUE(gone.Send(part));
        gone.Close();
    }
    // A client that sends a whole open and leaves before the reply still counts as a user.
    {
        TcpClient gone;
        ASSERT_TRUE(gone.Connect(10001));
        ASSERT_TRUE(gone.Send("open,0,0,5|"));
        gone.Close();
    }
    ASSERT_TRUE(WaitUntil([&] { return Log().find("use count = 1") != std::string::npos; }, 20000));
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    EXPECT_EQ(BusRig::Order(c, "compt,0,1|"), "cpsuc");
    EXPECT_EQ(BusRig::Order(c, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "cluse");
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
    EXPECT_TRUE(rig_.GetDaemon().Process().Running());
}

TEST_F(FaultTest, FullLogDiskAfterStartDoesNotStopTheService) {
    // A small file system of its own under the log directory, filled up after the start.
    ASSERT_EQ(std::system("mkdir -p /var/local/vellog && "
                          "mount -t tmpfs -o size=64k rs485-fault-log /var/local/vellog"),
              0);
    mounted_ = true;
    Start();
    ASSERT_EQ(std::system("dd if=/dev/zero of=/var/local/vellog/filler bs=4k count=100 "
                          "2>/dev/null; true"),
              0);
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(g.Transmit(0, Request(0)), 0) << i;
        ASSERT_EQ(g.Communicate(), 0) << i;
        ASSERT_EQ(BusRig::Order(c, "compt,0,1|"), "cpsuc") << i;
    }
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
    EXPECT_TRUE(rig_.GetDaemon().Process().Running());
}

TEST_F(FaultTest, ReadOnlyLogDirectoryAfterStartDoesNotStopTheService) {
    // Rotation after 4 kB: the rotated files cannot be made in the read-only directory. The
    // log starts empty so that rotation never leaves it shorter than where this run began.
    std::system("rm -f /var/local/vellog/dwmid*.log");
    // The log rotates so fast here that the start line may already sit in a rotated file: the
    // order port tells when the daemon serves.
    ASSERT_TRUE(
        rig_.Start(1, kMachines, {{"\"log_max_bytes\": 1000000", "\"log_max_bytes\": 4000"}}));
    ASSERT_TRUE(WaitUntil(
        [] {
            TcpClient probe;
            return probe.Connect(10001);
        },
        90000));
    ASSERT_EQ(std::system("mount --bind /var/local/vellog /var/local/vellog && "
                          "mount -o remount,bind,ro /var/local/vellog"),
              0);
    mounted_ = true;
    TcpClient c;
    OpenAndConfigure(c, 1);
    GroupClient g;
    ASSERT_TRUE(g.Attach(BusRig::kKeyDir, 0));
    ASSERT_EQ(g.Transmit(0, Request(0)), 0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(g.Communicate(), 0) << i;
        ASSERT_EQ(BusRig::Order(c, "compt,0,1|"), "cpsuc") << i;
    }
    EXPECT_EQ(BusRig::Order(c, "close,0|"), "clsuc");
    EXPECT_TRUE(rig_.GetDaemon().Process().Running());
}

}  // namespace
