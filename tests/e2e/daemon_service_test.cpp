// The complete daemon over real TCP and real shared memory, with the bus simulator on every
// configured line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "GroupClient.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

constexpr char kKeyDir[] = "/var/local/velkey";

// Machines 0..3 answer with text framed by an ETX delimiter and one trailing byte; machine 4
// answers without delimiter; machine 5 never answers.
constexpr char kMachines[] = R"({
  "machines": [
    {"match": {"prefix_text": "00"}, "reply_text": "M0\u0003\u001c"},
    {"match": {"prefix_text": "01"}, "reply_text": "M1\u0003\u001c"},
    {"match": {"prefix_text": "02"}, "reply_text": "M2\u0003\u001c"},
    {"match": {"prefix_text": "03"}, "reply_text": "M3\u0003\u001c"},
    {"match": {"prefix_text": "04"}, "reply_text": "SILENCE"},
    {"match": {"prefix_text": "05"}, "fault": "no_reply"}
  ]
})";

class DaemonServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(WriteFile("/var/local/sandbox/machines.json", kMachines)); }

    void TearDown() override {
        if (daemon_.Process().Running()) {
            daemon_.Process().Signal(SIGKILL);
            daemon_.Process().Wait(5000);
        }
    }

    // Starts one simulator per line and the daemon with `lines` lines.
    void StartAll(int lines, int groups = -1, const std::string& trace = "") {
        ConfigPlan plan;
        for (int i = 0; i < lines; ++i) {
            const std::string link = "/var/local/sandbox/tty" + std::to_string(i);
            sims_.push_back(std::make_unique<ChildProcess>());
            ASSERT_TRUE(sims_.back()->Start({Env("RS485SIM_BIN"), "--link", link, "--config",
                                             "/var/local/sandbox/machines.json", "--baud", "5",
                                             // Whole replies at once: silence framing must not
                                             // depend on how busy the machine is.
                                             "--no-pacing", "--log", link + ".log"},
                                            link + ".out", link + ".err"));
            ASSERT_TRUE(WaitUntil([&] { return FileExists(link); }, 10000)) << link;
            plan.lines.push_back({link, "none", 5, 15});
        }
        plan.groups = groups;
        plan.trace = trace;
        plan_ = plan;
        ASSERT_TRUE(InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
    }

    bool Serving() { return daemon_.WaitServing(20000); }

    std::string Order(TcpClient& c, const std::string& text, int timeout_ms = 5000) {
        if (!c.Send(text)) {
            return "<send failed>";
        }
        return c.Recv(timeout_ms);
    }

    // Sets machine parameters: ETX delimiter with one trailing byte, or silence framing.
    void ConfigureMachines(TcpClient& c, int channel) {
        const std::string ch = std::to_string(channel);
        for (int m = 0; m < 4; ++m) {
            ASSERT_TRUE(c.Send("port," + ch + "," + std::to_string(m) + ",3,100,3,1,0|"));
        }
        ASSERT_TRUE(c.Send("port," + ch + ",4,3,100,1,0,0|"));
        ASSERT_TRUE(c.Send("port," + ch + ",5,3,30,3,1,0|"));
    }

    Daemon daemon_;
    ConfigPlan plan_;
    std::vector<std::unique_ptr<ChildProcess>> sims_;
};

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST_F(DaemonServiceTest, OpenCountsUsersAndCloseReleasesThem) {
    StartAll(2);
    ASSERT_TRUE(Serving());
    TcpClient a;
    TcpClient b;
    ASSERT_TRUE(a.Connect(10001));
    ASSERT_TRUE(b.Connect(10001));
    EXPECT_EQ(Order(a, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(Order(b, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(CountLines(daemon_.NewLog(), "open RS-485 : use count = 2"), 1);
    EXPECT_EQ(CountLines(daemon_.NewLog(), "create thread"), 1);
    EXPECT_EQ(
        CountLines(daemon_.NewLog(), "direction control : RTS, transceiver block of channel 0"), 1);
    EXPECT_EQ(Order(a, "close,0|"), "cluse");
    EXPECT_EQ(Order(b, "close,0|"), "clsuc");
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("close : ret = 0") != std::string::npos; }, 10000));
    // The channel opens again at once after its last close.
    EXPECT_EQ(Order(a, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(Order(a, "close,0|"), "clsuc");
}

TEST_F(DaemonServiceTest, MalformedOrdersAreAnsweredErr1OrNothing) {
    StartAll(2);
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    EXPECT_EQ(Order(c, "open,0,1|"), "err1");
    EXPECT_EQ(Order(c, "open,2,0,5|"), "err1");  // channel equal to the line count
    EXPECT_EQ(Order(c, "open,x,0,5|"), "err1");
    EXPECT_EQ(Order(c, "hello|"), "err1");
    EXPECT_EQ(Order(c, "OPEN,0,0,3|"), "err1");
    EXPECT_EQ(Order(c, ",,,|"), "err1");
    EXPECT_EQ(Order(c, "port,0,0,0|"), "err1");
    EXPECT_EQ(Order(c, "compt,0|"), "err1");
    EXPECT_EQ(Order(c, "frame,0,0,2|"), "err1");
    EXPECT_EQ(Order(c, "frame,2,0,2,0|"), "err1");
    EXPECT_EQ(Order(c, "close,0,1|", 300), "");
    EXPECT_EQ(Order(c, "close,5|", 300), "");
    EXPECT_EQ(Order(c, "|||", 300), "");
    const std::string log = daemon_.NewLog();
    EXPECT_GE(CountLines(log, "channel error : recv channel = 2 : setting channel num = 2"), 1);
    EXPECT_GE(CountLines(log, "***** order close : parameter size error : parameter size = 3"), 1);
}

TEST_F(DaemonServiceTest, OpenOfMissingTtyFailsAndLeavesOneUser) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    // Remove the line's tty: the simulator's link disappears.
    ASSERT_EQ(::unlink("/var/local/sandbox/tty0"), 0);
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    EXPECT_EQ(Order(c, "open,0,0,5|"), "operr");
    // The worker logs its failure right after publishing it, so the line may follow the reply.
    // The failure names the device and the reason.
    const std::string why =
        "cannot open device /var/local/sandbox/tty0 : " + std::string(std::strerror(ENOENT));
    EXPECT_TRUE(WaitUntil([&] { return CountLines(daemon_.NewLog(), why) == 1; }, 10000));
    EXPECT_EQ(CountLines(daemon_.NewLog(), "open failed : result = -3"), 1);
    EXPECT_EQ(CountLines(daemon_.NewLog(), "use count = 1"), 1);
    // The next open resets the failed worker and starts again with one user.
    EXPECT_EQ(Order(c, "open,0,0,5|"), "operr");
    EXPECT_EQ(CountLines(daemon_.NewLog(), "use count = 1"), 2);
    EXPECT_EQ(CountLines(daemon_.NewLog(), "create thread"), 2);
}

TEST_F(DaemonServiceTest, PortAndComptOrders) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    // Before any open there is no driver: compt and frame fail, port is silent.
    EXPECT_EQ(Order(c, "compt,0,5|"), "cperr");
    EXPECT_EQ(Order(c, "frame,0,0,2,0|"), "frerr");
    EXPECT_EQ(Order(c, "port,0,0,0,3000,0,0,0|", 300), "");
    EXPECT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    EXPECT_EQ(Order(c, "compt,0,5|"), "cpsuc");
    EXPECT_EQ(Order(c, "compt,0,-2147483648|"), "cpsuc");
    EXPECT_EQ(Order(c, "port,0,1,7,100,3,1,0|", 300), "");
    EXPECT_EQ(Order(c, "frame,0,1,1,436|"), "frsuc");
    EXPECT_EQ(Order(c, "frame,0,1,1,437|"), "frerr");
    EXPECT_EQ(Order(c, "frame,0,15,2,0|"), "frerr");
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(CountLines(log, "***** order com_port : channel=0 mc_bit_mask=101 ret = success"), 1);
    EXPECT_EQ(CountLines(log, "mc_bit_mask=1" + std::string(31, '0') + " ret = success"), 1);
    EXPECT_EQ(
        CountLines(log, "***** order port_param : channel=0 mc_num=1 ctrl_bit=7 time_out=100"), 1);
    EXPECT_EQ(CountLines(log, "      order port_param : channel=0 mc_num=1 ctrl_bit=7"), 1);
    EXPECT_EQ(CountLines(log,
                         "mc_num=1 ret = 1 ( success (Stop bit 1.5 is not suppot -->  set "
                         "stopbit value is 2) )"),
              1);
    // Two orders in one receive: both run, both replies come back to back.
    std::string both = Order(c, "compt,0,1|compt,0,2|");
    if (both.size() < 10) {
        both += c.Recv(2000);
    }
    EXPECT_EQ(both, "cpsuccpsuc");
    EXPECT_EQ(Order(c, "close,0|"), "clsuc");
}

TEST_F(DaemonServiceTest, TransmitAndCommunicationThroughSharedMemory) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    ConfigureMachines(c, 0);
    ASSERT_EQ(Order(c, "compt,0,63|"), "cpsuc");  // machines 0..5

    GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));
    for (int m = 0; m < 6; ++m) {
        EXPECT_EQ(g.Transmit(m, Bytes("0" + std::to_string(m) + "REQ")), 0) << m;
    }
    EXPECT_GE(CountLines(daemon_.NewLog(), "data = 30315245"), 1);  // "01RE" in hex
    // A request outside the tables is refused without reaching the driver.
    EXPECT_EQ(g.Transmit(15, Bytes("x")), 1);
    EXPECT_EQ(g.Transmit(0, std::vector<uint8_t>(65, 'a')), 1);

    EXPECT_EQ(g.Communicate(), 1);  // machine 5 times out, so the cycle reports failure
    g.LockReceive();
    shm::ReceiveSegment* rcv = g.Receive();
    EXPECT_EQ(rcv->data_flags & shm::kReceiveWritten, shm::kReceiveWritten);
    const int32_t stamp = rcv->time;
    for (int m = 0; m < shm::kMachineCount; ++m) {
        EXPECT_EQ(rcv->records[m].time, stamp) << m;
    }
    for (int m = 0; m < 4; ++m) {
        EXPECT_EQ(rcv->records[m].statu, shm::kStatusComplete) << m;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(rcv->records[m].da), rcv->records[m].dalen),
                  "M" + std::to_string(m));
        EXPECT_EQ(rcv->records[m].da[rcv->records[m].dalen], 0);
    }
    EXPECT_EQ(rcv->records[4].statu, shm::kStatusComplete);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rcv->records[4].da), rcv->records[4].dalen),
              "SILENCE");
    EXPECT_EQ(rcv->records[5].statu, shm::kStatusTimeout);
    EXPECT_EQ(rcv->records[5].dalen, 0);
    for (int m = 6; m < shm::kMachineCount; ++m) {
        EXPECT_EQ(rcv->records[m].statu, shm::kStatusNotPolled) << m;
    }
    g.UnlockReceive();

    // The next cycle writes a new stamp into every record.
    ASSERT_EQ(Order(c, "compt,0,3|"), "cpsuc");
    EXPECT_EQ(g.Communicate(), 0);
    g.LockReceive();
    EXPECT_NE(rcv->time, stamp);
    for (int m = 0; m < shm::kMachineCount; ++m) {
        EXPECT_EQ(rcv->records[m].time, rcv->time);
    }
    g.UnlockReceive();
    EXPECT_EQ(g.SemValue(), 0);
    EXPECT_EQ(Order(c, "close,0|"), "clsuc");
}

TEST_F(DaemonServiceTest, TransmitTakesPrecedenceAndStaleAnswerIsCleared) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    ConfigureMachines(c, 0);
    ASSERT_EQ(Order(c, "compt,0,1|"), "cpsuc");
    GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));

    // Both requests set before the same poll: the transmit request is served first and the
    // communication request waits while its answer is pending.
    g.LockControl();
    g.Control()->data_flags |= shm::kTransmitRequest | shm::kComRequest;
    g.Control()->mode = 0;
    g.Control()->data_len = 2;
    g.Control()->data[0] = '0';
    g.Control()->data[1] = '0';
    g.UnlockControl();
    ASSERT_TRUE(g.WaitAnswer(20000));
    g.LockControl();
    const uint32_t flags = g.Control()->data_flags;
    g.UnlockControl();
    EXPECT_EQ(flags & shm::kTransmitAnswer, shm::kTransmitAnswer);
    EXPECT_EQ(flags & shm::kComRequest, shm::kComRequest);
    EXPECT_EQ(flags & shm::kComAnswer, 0U);
    EXPECT_EQ(g.TakeTransmitAnswer(), 0);
    ASSERT_TRUE(g.WaitAnswer(20000));
    EXPECT_EQ(g.TakeComAnswer(), 0);

    // An answer nobody collects is cleared after about a second; the worker goes on serving.
    g.PostTransmit(0, Bytes("00"));
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("clear wait flag (putOutData)") != std::string::npos; },
        20000));
    g.LockControl();
    EXPECT_EQ(g.Control()->data_flags, 0U);
    g.UnlockControl();
    EXPECT_EQ(g.SemValue(), 0);
    EXPECT_EQ(g.Communicate(), 0);
    EXPECT_EQ(Order(c, "close,0|"), "clsuc");
}

TEST_F(DaemonServiceTest, CloseDuringCycleThenReopen) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    // Five silent machines with 300 ms time-outs make a cycle of about 1.5 s.
    for (int m = 5; m < 10; ++m) {
        ASSERT_TRUE(c.Send("port,0," + std::to_string(m) + ",3,300,3,1,0|"));
    }
    ASSERT_EQ(Order(c, "compt,0,992|"), "cpsuc");
    GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));
    g.PostCommunication();
    ASSERT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("receive startCom") != std::string::npos; }, 10000));
    EXPECT_EQ(Order(c, "close,0|"), "clsuc");
    // The worker has not acted on its stop bit yet: the open keeps it and its port.
    EXPECT_EQ(Order(c, "open,0,0,5|", 10000), "opsuc") << daemon_.NewLog();
    EXPECT_TRUE(g.WaitAnswer(20000));
    EXPECT_EQ(g.TakeComAnswer(), 1);
    EXPECT_EQ(Order(c, "close,0|"), "clsuc");
    EXPECT_TRUE(daemon_.Process().Running());
}

TEST_F(DaemonServiceTest, SigintWhileServingRemovesEverything) {
    StartAll(2);
    ASSERT_TRUE(Serving());
    EXPECT_EQ(CountShmSegments(), 4);
    EXPECT_EQ(CountSemaphoreSets(), 4);
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    GroupClient g;
    ASSERT_TRUE(g.Attach(kKeyDir, 0));
    g.Detach();
    ASSERT_TRUE(daemon_.Process().Signal(SIGINT));
    ASSERT_TRUE(daemon_.Process().Wait(30000));
    EXPECT_EQ(daemon_.Process().ExitStatus(), 0);
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(CountLines(log, "W : [dwmid.cpp:"), CountLines(log, "!!! Receive Signal !!! (2)"));
    EXPECT_EQ(CountLines(log, "!!! Receive Signal !!! (2)"), 1);
    EXPECT_EQ(CountLines(log, "stop order"), 1);
    EXPECT_EQ(CountLines(log, "] main end"), 1);
    EXPECT_EQ(CountLines(log, "Finish : delete objects"), 1);
    EXPECT_EQ(CountShmSegments(), 0);
    EXPECT_EQ(CountSemaphoreSets(), 0);
}

TEST_F(DaemonServiceTest, TraceOffKeepsStandardOutputEmptyUpToTheEnd) {
    StartAll(1, -1, "off");
    ASSERT_TRUE(Serving());
    TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    ASSERT_TRUE(daemon_.Process().Signal(SIGTERM));
    ASSERT_TRUE(daemon_.Process().Wait(30000));
    EXPECT_EQ(daemon_.Process().ExitStatus(), 0);
    EXPECT_EQ(CountLines(daemon_.NewLog(), "!!! Receive Signal !!! (15)"), 1);
    EXPECT_EQ(daemon_.Process().Stdout(), "");
}

TEST_F(DaemonServiceTest, ShutOrderEndsTheServiceWithoutMainEnd) {
    StartAll(1);
    ASSERT_TRUE(Serving());
    TcpClient c;
    TcpClient other;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_TRUE(other.Connect(10001));
    ASSERT_EQ(Order(c, "open,0,0,5|"), "opsuc");
    ASSERT_TRUE(c.Send("shut|"));
    EXPECT_TRUE(c.WaitClosed(10000));
    ASSERT_TRUE(daemon_.Process().Wait(30000));
    EXPECT_EQ(daemon_.Process().ExitStatus(), 0);
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(CountLines(log, "***** order shutdown"), 1);
    EXPECT_EQ(CountLines(log, "] main end"), 0);
    EXPECT_EQ(CountLines(log, "Finish : delete objects"), 1);
    EXPECT_EQ(CountShmSegments(), 0);
    EXPECT_EQ(CountSemaphoreSets(), 0);
}

TEST_F(DaemonServiceTest, GroupThatCannotBeCreatedRemovesTheOnesBefore) {
    ConfigPlan plan;
    for (int i = 0; i < 3; ++i) {
        plan.lines.push_back({"/var/local/sandbox/none" + std::to_string(i), "none", 5, 15});
    }
    std::string text = MakeConfig(plan);
    // Group 1 gets a control segment of size 0.
    const std::string needle = "\"shmem_size\": [8192, 256]";
    std::size_t at = text.find(needle);
    at = text.find(needle, at + 1);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, needle.size(), "\"shmem_size\": [8192, 0]");
    ASSERT_TRUE(WriteFile(kDaemonConf, text));
    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(daemon_.Process().Wait(30000));
    EXPECT_EQ(daemon_.Process().ExitStatus(), 3);
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(CountLines(log, "init : Create Shmem Error ret=-2"), 1);
    // Group 0 is detached and removed (two entries); the failed group 1 has nothing left.
    EXPECT_EQ(CountLines(log, "SHMEM : deactive["), 2);
    EXPECT_EQ(CountLines(log, "SHMEM : release["), 4);
    EXPECT_NE(daemon_.Process().Stderr().find("Failed to acquire shmem size"), std::string::npos);
    EXPECT_EQ(CountShmSegments(), 0);
    EXPECT_EQ(CountSemaphoreSets(), 0);
}

TEST_F(DaemonServiceTest, PortAlreadyInUse) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    // Earlier tests leave connections of the port in TIME_WAIT.
    const int on = 1;
    ASSERT_EQ(::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(10001);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    StartAll(1);
    ASSERT_TRUE(daemon_.Process().Wait(30000));
    EXPECT_EQ(daemon_.Process().ExitStatus(), 3);
    EXPECT_EQ(CountLines(daemon_.NewLog(), "bind error"), 1);
    EXPECT_EQ(CountShmSegments(), 0);
    ::close(holder);
}

}  // namespace
