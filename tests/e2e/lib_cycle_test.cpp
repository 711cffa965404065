// The library against the real daemon and the bus simulator: a C application built against
// the public header alone runs the typical cycle; the exported functions' edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "GroupClient.h"
#include "LibE2e.h"
#include "TestSupport.h"
#include "rs485.h"

using testsupport::CClientRun;
using testsupport::WaitUntil;

namespace {

const char kSim0[] = "/var/local/sandbox/ttySIM0";
const char kSim1[] = "/var/local/sandbox/ttySIM1";

// Machine 1 ends its reply with CR, machine 2 with ETX and one check byte (and listens at 9600
// bit/s only), machine 3 by silence; machine 4 never answers. Machines 5 to 7 answer Modbus RTU
// requests: a valid read reply, an exception reply, a reply with a wrong CRC; machine 8 sends 13
// bytes and is given a reply length of 7. Machine 9 listens at 19200 bit/s only, machine 10
// answers after 600 ms.
const char kMachines[] = R"({"machines": [
 {"name": "cr", "match": {"address": 1, "position": 0}, "request_length": 2, "reply_text": "OK1\r"},
 {"name": "etx", "match": {"address": 2, "position": 0}, "request_length": 2, "baud": 9600,
  "reply_hex": "02 41 42 03 1C"},
 {"name": "quiet-end", "match": {"address": 3, "position": 0}, "request_length": 2,
  "reply_text": "SILENT-3"},
 {"name": "mute", "match": {"address": 4, "position": 0}, "request_length": 2, "fault": "no_reply"},
 {"name": "rtu", "match": {"address": 5, "position": 0}, "request_length": 8,
  "modbus_reply_length": 7},
 {"name": "rtu-exception", "match": {"address": 6, "position": 0}, "request_length": 8,
  "modbus_exception": 2},
 {"name": "rtu-bad-crc", "match": {"address": 7, "position": 0}, "request_length": 8,
  "modbus_reply_length": 7, "fault": "bad_crc"},
 {"name": "fixed", "match": {"address": 8, "position": 0}, "request_length": 2,
  "reply_text": "FIXED-8-EXTRA"},
 {"name": "fast", "match": {"address": 9, "position": 0}, "request_length": 2, "baud": 19200,
  "reply_text": "FAST\r"},
 {"name": "slow", "match": {"address": 10, "position": 0}, "request_length": 2, "delay_ms": 600,
  "reply_text": "SLOW\r"}
]})";

const std::vector<std::string> kSetup{
    "port:1:1:3:100:13:0:0", "port:1:2:3:100:3:1:0", "port:1:3:3:100:1:0:0",
    "port:1:4:3:100:13:0:0", "compt:1:15",           "put:1:1:0101",
    "put:1:2:0202",          "put:1:3:0303",         "put:1:4:0404"};

testsupport::ConfigPlan Plan() {
    testsupport::ConfigPlan plan;
    plan.lines = {{kSim0}, {kSim1}};
    plan.res_wait_timeout = 5000;
    return plan;
}

// Runs the example application for two cycles; false when it did not end in time.
bool RunExample(testsupport::ChildProcess* p) {
    const std::string example = testsupport::Env("RS485_BINARY_DIR") + "/examples/rs485_example";
    return p->Start({example, "-n", "2", "1:3:100:13:0:0:0101", "2:3:100:3:1:0:0202",
                     "3:3:100:1:0:0:0303", "4:3:100:13:0:0:0404"},
                    "/var/local/sandbox/example.out", "/var/local/sandbox/example.err") &&
           p->Wait(120000);
}

bool HasTraceLine(const std::string& text) {
    return text.rfind('<', 0) == 0 || text.find("\n<") != std::string::npos;
}

class LibCycle : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(testsupport::InstallConfig(Plan()));
        sim0_ = new testsupport::BusSimulator;
        sim1_ = new testsupport::BusSimulator;
        ASSERT_TRUE(sim0_->Start(kMachines, kSim0));
        ASSERT_TRUE(sim1_->Start(kMachines, kSim1));
        daemon_ = new testsupport::Daemon;
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing());
        std::string log;
        client_ = testsupport::BuildCClient(&log);
        ASSERT_FALSE(client_.empty()) << log;
    }
    static void TearDownTestSuite() {
        delete daemon_;
        delete sim1_;
        delete sim0_;
    }

    static std::vector<std::string> RunClient(const std::vector<std::string>& steps) {
        CClientRun run;
        EXPECT_TRUE(run.Start(client_, steps));
        EXPECT_TRUE(run.Finish()) << run.Process().Stdout() << run.Process().Stderr();
        return run.Lines();
    }
    static std::vector<std::string> With(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static std::string TableAddr(const std::vector<std::string>& lines, std::size_t nth) {
        std::size_t seen = 0;
        for (const std::string& l : lines) {
            if (l.rfind("table ", 0) == 0 && seen++ == nth) {
                return l;
            }
        }
        return std::string();
    }
    static int LastUseCount() {
        const std::string log = daemon_->Log();
        const std::string key = "use count = ";
        const auto at = log.rfind(key);
        return at == std::string::npos ? -1 : std::stoi(log.substr(at + key.size()));
    }

    static testsupport::BusSimulator* sim0_;
    static testsupport::BusSimulator* sim1_;
    static testsupport::Daemon* daemon_;
    static std::string client_;
};

testsupport::BusSimulator* LibCycle::sim0_ = nullptr;
testsupport::BusSimulator* LibCycle::sim1_ = nullptr;
testsupport::Daemon* LibCycle::daemon_ = nullptr;
std::string LibCycle::client_;

TEST_F(LibCycle, TypicalCycleGivesEveryMachinesReplyAndStatus) {
    const auto lines = RunClient(With(With({"open:1", "listen:1"}, kSetup),
                                      {"start:1", "table:1", "start:1", "table:1", "close:1"}));
    const std::vector<std::string> machines{
        "m 1 status 2 len 3 hex 4F4B31 term 1",            // delimiter CR, not stored
        "m 2 status 2 len 3 hex 024142 term 1",            // ETX and one byte after it
        "m 3 status 2 len 8 hex 53494C454E542D33 term 1",  // ended by silence
        "m 4 status 4 len 0 hex  term 1",                  // time-out
        "m 5 status 0 len 0 hex  term 1"};                 // not polled
    std::vector<std::string> expected{"open 1 0", "listen 1"};
    for (int m = 1; m <= 4; ++m) {
        expected.push_back("port 1 " + std::to_string(m));
    }
    expected.push_back("compt 1 1");
    for (int m = 1; m <= 4; ++m) {
        expected.push_back("put 1 " + std::to_string(m) + " 1");
    }
    for (int cycle = 1; cycle <= 2; ++cycle) {
        // Machine 4's time-out fails the cycle; the listener runs anyway.
        expected.push_back("start 1 0 calls " + std::to_string(cycle));
        expected.push_back(TableAddr(lines, static_cast<std::size_t>(cycle - 1)));
        expected.insert(expected.end(), machines.begin(), machines.end());
        for (int m = 6; m <= 15; ++m) {
            expected.push_back("m " + std::to_string(m) + " status 0 len 0 hex  term 1");
        }
    }
    expected.push_back("close 1");
    expected.push_back("end");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(TableAddr(lines, 0), TableAddr(lines, 1));
    // The requests went out on the line as deposited.
    const std::string sim = sim0_->Log();
    for (const char* req : {"hex=01 01", "hex=02 02", "hex=03 03", "hex=04 04"}) {
        EXPECT_NE(sim.find(req), std::string::npos) << req;
    }
}

TEST_F(LibCycle, SingleMachineFormAndAllAnsweringCycleSucceeds) {
    const auto lines = RunClient(With(With({"open:1"}, kSetup),
                                      {"compt:1:7", "start:1", "recv:1:2", "recv:1:2", "close:1"}));
    EXPECT_EQ(lines.at(10), "compt 1 1");
    EXPECT_EQ(lines.at(11), "start 1 1 calls 0");  // machines 1 to 3 all answer
    const std::string first = lines.at(12);
    EXPECT_NE(first.find(" status 2 len 3 hex 024142 term 1"), std::string::npos) << first;
    EXPECT_EQ(first, lines.at(13));
}

// An application that polls its machines in turn: a machine left out of a cycle keeps the
// reply of the cycle before, with status 0.
TEST_F(LibCycle, MachinesACycleDoesNotPollKeepTheirEarlierReplies) {
    const auto lines =
        RunClient(With(With({"open:1"}, kSetup), {"compt:1:3", "start:1", "compt:1:1", "start:1",
                                                  "recv:1:1", "recv:1:2", "close:1"}));
    ASSERT_EQ(lines.size(), 18U);
    EXPECT_EQ(lines[13], "start 1 1 calls 0");
    EXPECT_NE(lines[14].find(" status 2 len 3 hex 4F4B31 term 1"), std::string::npos) << lines[14];
    EXPECT_NE(lines[15].find(" status 0 len 3 hex 024142 term 1"), std::string::npos) << lines[15];
}

// A reply ends at its length or at the end of its Modbus RTU frame; a wrong CRC is a read
// error. Machines, kinds and lengths out of range are refused.
TEST_F(LibCycle, ReplyLengthAndModbusRtuFraming) {
    const auto lines =
        RunClient({"open:1", "frame:1:16:2:0", "frame:1:8:1:0", "frame:1:8:1:437", "frame:1:8:3:0",
                   "frame:1:5:2:0", "frame:1:6:2:0", "frame:1:7:2:0", "frame:1:8:1:7",
                   // A "port" order afterwards keeps the framing.
                   "port:1:5:3:300:1:0:0", "port:1:6:3:300:1:0:0", "port:1:7:3:300:1:0:0",
                   "port:1:8:3:300:1:0:0", "compt:1:240", "put:1:5:050300000001858E",
                   "put:1:6:06030000000185BD", "put:1:7:070300000001846C", "put:1:8:0808",
                   "start:1", "recv:1:5", "recv:1:6", "recv:1:7", "recv:1:8", "close:1"});
    ASSERT_EQ(lines.size(), 25U) << testing::PrintToString(lines);
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + 1, lines.begin() + 9),
        (std::vector<std::string>{"frame 1 16 0", "frame 1 8 0", "frame 1 8 0", "frame 1 8 0",
                                  "frame 1 5 1", "frame 1 6 1", "frame 1 7 1", "frame 1 8 1"}));
    EXPECT_EQ(lines[18], "start 1 0 calls 0");  // the wrong CRC fails the cycle
    const std::vector<std::string> want{
        " status 2 len 7 hex 05030230319C50 term 1", " status 2 len 5 hex 0683027130 term 1",
        " status 24 len 0 hex  term 1", " status 2 len 7 hex 46495845442D38 term 1"};
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_NE(lines[19 + i].find(want[i]), std::string::npos) << lines[19 + i];
    }
}

// The library wakes the worker when it posts a request; the worker takes every post it was
// woken by, so none are left over. A client that writes the segment without waking the
// worker is still served at the next poll.
TEST_F(LibCycle, LibraryWakesTheWorkerAndAClientThatDoesNotIsServedToo) {
    std::vector<std::string> steps = With({"open:1"}, kSetup);
    for (int i = 0; i < 20; ++i) {
        steps.push_back("start:1");
    }
    steps.push_back("touch:/var/local/sandbox/cycled");
    steps.push_back("wait:/var/local/sandbox/checked");
    steps.push_back("close:1");
    CClientRun run;
    ASSERT_TRUE(run.Start(client_, steps));
    ASSERT_TRUE(
        WaitUntil([] { return testsupport::FileExists("/var/local/sandbox/cycled"); }, 60000));
    testsupport::GroupClient raw;
    ASSERT_TRUE(raw.Attach("/var/local/velkey", 0));
    EXPECT_EQ(raw.WakeSemValue(), 0);
    // Without an identity the client is served with the channel's shared settings, which
    // select no machine here: the library process's machines are its own.
    EXPECT_EQ(raw.Communicate(20000), vel::shm::kRequestSuccess);
    EXPECT_EQ(raw.Transmit(0, {0x01, 0x01}, 20000), 0);
    EXPECT_EQ(raw.WakeSemValue(), 0);
    ASSERT_TRUE(testsupport::WriteFile("/var/local/sandbox/checked", ""));
    EXPECT_TRUE(run.Finish()) << run.Process().Stdout();
    EXPECT_EQ(run.Line("start 1"), "start 1 0 calls 0");
}

TEST_F(LibCycle, TableTwiceWithoutACycleAndAChannelNeverCycled) {
    const auto lines = RunClient({"open:2", "table:2", "table:2", "close:2"});
    ASSERT_EQ(lines.size(), 35U);
    EXPECT_EQ(lines[0], "open 2 0");
    EXPECT_EQ(TableAddr(lines, 0), TableAddr(lines, 1));
    for (int m = 0; m < 15; ++m) {
        EXPECT_EQ(lines[2 + m], "m " + std::to_string(m + 1) + " status 0 len 0 hex  term 1");
        EXPECT_EQ(lines[18 + m], lines[2 + m]);
    }
}

TEST_F(LibCycle, FunctionsBeforeAnyOpenAndOutOfRangeNumbers) {
    const std::string too_long(130, 'A');  // 65 bytes
    const auto lines = RunClient({"facade",
                                  "compt:1:1",
                                  "put:1:1:01",
                                  "start:1",
                                  "table:1",
                                  "recv:1:1",
                                  "ver",
                                  "close:1",
                                  "listen:1",
                                  "port:1:1:3:100:13:0:0",
                                  "open:0",
                                  "facade",
                                  "open:1",
                                  "table:3",
                                  "table:0",
                                  "recv:1:16",
                                  "recv:1:-1",
                                  "recv:0:1",
                                  "put:1:16:01",
                                  "put:1:0:01",
                                  "put:1:1:" + too_long,
                                  "putnull:1:1",
                                  "put:3:1:01",
                                  "start:3",
                                  "start:0",
                                  "ver",
                                  "close:1"});
    const std::vector<std::string> expected{
        "facade null",       "compt 1 0",      "put 1 1 0",      "start 1 0 calls 0",
        "table 1 null",      "recv 1 1 null",  "ver 0 status 0", "close 1",
        "listen 1",          "port 1 1",       "open 0 -3",      "facade set",
        "open 1 0",          "table 3 null",   "table 0 null",   "recv 1 16 null",
        "recv 1 -1 null",    "recv 0 1 null",  "put 1 16 0",     "put 1 0 0",
        "put 1 1 0",         "putnull 1 1 0",  "put 3 1 0",      "start 3 0 calls 0",
        "start 0 0 calls 0", "ver 0 status 0", "close 1",        "end"};
    EXPECT_EQ(lines, expected);
}

TEST_F(LibCycle, SecondOpenInTheSameProcessAndFromASecondProcess) {
    const std::string a_ready = "/var/local/sandbox/a.ready";
    const std::string b_done = "/var/local/sandbox/b.done";
    CClientRun a;
    ASSERT_TRUE(a.Start(client_, {"open:1", "touch:" + a_ready, "wait:" + b_done, "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return testsupport::FileExists(a_ready); }, 60000));
    const int count_a = LastUseCount();
    ASSERT_GE(count_a, 1);
    const auto b = RunClient(With(With({"open:1"}, kSetup),
                                  {"start:1", "recv:1:1", "open:1", "close:1", "touch:" + b_done}));
    ASSERT_TRUE(a.Finish());
    EXPECT_EQ(a.Line("open 1"), "open 1 0");
    EXPECT_EQ(b.at(0), "open 1 0");
    EXPECT_NE(b.at(11).find("status 2 len 3 hex 4F4B31"), std::string::npos) << b.at(11);
    EXPECT_EQ(b.at(12), "open 1 -2");
    // b's first open made the count one more than a's, its repeated open one more again.
    const std::string log = daemon_->Log();
    EXPECT_NE(log.find("use count = " + std::to_string(count_a + 1)), std::string::npos);
    EXPECT_NE(log.find("use count = " + std::to_string(count_a + 2)), std::string::npos);
}

// Two processes share channel 1 with their own machines, parameters, requests and speeds,
// cycling in turn; a third only reads. Each cycle polls its process's own selection with that
// process's settings, and each process reads its own results.
TEST_F(LibCycle, ProcessesSharingAChannelEachHaveTheirOwnView) {
    const std::string dir = "/var/local/sandbox/";
    const std::string a_set = dir + "view-a.set", b_set = dir + "view-b.set";
    const std::string a_cycled = dir + "view-a.cycled", b_cycled = dir + "view-b.cycled";
    const std::string m_read = dir + "view-m.read";
    const std::size_t sim_from = sim0_->Log().size();
    CClientRun a;
    CClientRun b;
    CClientRun monitor;
    // a: machines 1 (CR) and 2 (ETX + 1) at 9600 bit/s.
    ASSERT_TRUE(a.Start(
        client_,
        {"open:1", "listen:1", "port:1:1:3:100:13:0:0", "port:1:2:3:100:3:1:0", "compt:1:3",
         "put:1:1:0101", "put:1:2:0202", "touch:" + a_set, "wait:" + b_set, "start:1", "table:1",
         "touch:" + a_cycled, "wait:" + m_read, "start:1", "table:1", "close:1"}));
    // b, set up after a: machine 1 ended by silence (its CR kept) and machine 9, at 19200.
    ASSERT_TRUE(b.Start(client_, {"wait:" + a_set, "open:1:0:4", "listen:1", "port:1:1:3:100:1:0:0",
                                  "port:1:9:3:100:13:0:0", "compt:1:257", "put:1:1:0199",
                                  "put:1:9:0909", "touch:" + b_set, "wait:" + a_cycled, "start:1",
                                  "table:1", "touch:" + b_cycled, "close:1"}));
    ASSERT_TRUE(monitor.Start(
        client_, {"open:1", "wait:" + b_cycled, "table:1", "touch:" + m_read, "close:1"}));
    for (CClientRun* run : {&a, &b, &monitor}) {
        ASSERT_TRUE(run->Finish()) << run->Process().Stdout() << run->Process().Stderr();
    }
    auto record = [](const std::vector<std::string>& lines, const std::string& table_line, int m) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == table_line && i + static_cast<std::size_t>(m) < lines.size()) {
                return lines[i + static_cast<std::size_t>(m)];
            }
        }
        return std::string("missing");
    };
    const auto al = a.Lines();
    const auto bl = b.Lines();
    const auto ml = monitor.Lines();
    // Both of a's cycles: a's framing, a's machines; b's cycle in between shows nowhere.
    EXPECT_EQ(std::count(al.begin(), al.end(), "start 1 1 calls 1") +
                  std::count(al.begin(), al.end(), "start 1 1 calls 2"),
              2);
    for (std::size_t n = 0; n < 2; ++n) {
        const std::string t = TableAddr(al, n);
        EXPECT_EQ(record(al, t, 1), "m 1 status 2 len 3 hex 4F4B31 term 1") << n;
        EXPECT_EQ(record(al, t, 2), "m 2 status 2 len 3 hex 024142 term 1") << n;
        EXPECT_EQ(record(al, t, 9), "m 9 status 0 len 0 hex  term 1") << n;
    }
    EXPECT_NE(std::find(bl.begin(), bl.end(), "start 1 1 calls 1"), bl.end());
    const std::string bt = TableAddr(bl, 0);
    EXPECT_EQ(record(bl, bt, 1), "m 1 status 2 len 4 hex 4F4B310D term 1");
    EXPECT_EQ(record(bl, bt, 2), "m 2 status 0 len 0 hex  term 1");
    EXPECT_EQ(record(bl, bt, 9), "m 9 status 2 len 4 hex 46415354 term 1");
    // The monitor reads the channel's newest cycle, b's, with a's earlier reply of machine 2.
    const std::string mt = TableAddr(ml, 0);
    EXPECT_EQ(record(ml, mt, 1), "m 1 status 2 len 4 hex 4F4B310D term 1");
    EXPECT_EQ(record(ml, mt, 2), "m 2 status 0 len 3 hex 024142 term 1");
    EXPECT_EQ(record(ml, mt, 9), "m 9 status 2 len 4 hex 46415354 term 1");
    // Each cycle sent its own process's requests.
    const std::string sim = sim0_->Log().substr(sim_from);
    EXPECT_EQ(testsupport::CountLines(sim, "hex=01 01"), 2) << sim;
    EXPECT_EQ(testsupport::CountLines(sim, "hex=02 02"), 2) << sim;
    EXPECT_EQ(testsupport::CountLines(sim, "hex=01 99"), 1) << sim;
    EXPECT_EQ(testsupport::CountLines(sim, "hex=09 09"), 1) << sim;
    EXPECT_EQ(testsupport::CountLines(sim, "mismatch"), 0) << sim;
}

// A requester held up after its answer was posted: the worker clears the answer left
// uncollected, the next requester's cycle runs, and each gets only what is its own.
TEST_F(LibCycle, HeldUpRequesterDoesNotTakeTheNextRequestersAnswer) {
    const std::string posting = "/var/local/sandbox/held.b";
    CClientRun a;
    ASSERT_TRUE(a.Start(client_, {"open:1", "listen:1", "port:1:4:3:1500:13:0:0", "compt:1:8",
                                  "put:1:4:0404", "start:1", "close:1"}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            return a.Process().Stdout().find("WAIT UNLOCK SEMAPHORE (startCom)") !=
                   std::string::npos;
        },
        60000));
    ASSERT_TRUE(a.Process().Signal(SIGSTOP));
    const int cleared = testsupport::CountLines(daemon_->Log(), "clear wait flag (startCom)");
    CClientRun b;
    ASSERT_TRUE(b.Start(client_, {"open:1", "listen:1", "port:1:10:3:3000:13:0:0", "compt:1:512",
                                  "put:1:10:0A0A", "start:1", "recv:1:10", "close:1"}));
    // a's cycle ends (machine 4 times out), its answer waits, and the worker clears it.
    const bool clean_up = WaitUntil(
        [&] {
            return testsupport::CountLines(daemon_->Log(), "clear wait flag (startCom)") > cleared;
        },
        60000);
    ASSERT_TRUE(a.Process().Signal(SIGCONT));
    ASSERT_TRUE(clean_up);
    ASSERT_TRUE(a.Finish()) << a.Process().Stdout() << a.Process().Stderr();
    ASSERT_TRUE(b.Finish()) << b.Process().Stdout() << b.Process().Stderr();
    EXPECT_EQ(a.Line("start 1"), "start 1 0 calls 0");
    EXPECT_EQ(b.Line("start 1"), "start 1 1 calls 1");
    EXPECT_NE(b.Line("recv 1 10").find("status 2 len 4 hex 534C4F57"), std::string::npos)
        << b.Line("recv 1 10");
}

// A client that writes the control segment as before, without an identity, is served with
// the settings of the connections that have none, beside a library process with its own.
TEST_F(LibCycle, ClientWithoutIdentityIsServedWithTheChannelsSettings) {
    const std::string a_set = "/var/local/sandbox/wide-a.set";
    const std::string raw_done = "/var/local/sandbox/wide-raw.done";
    CClientRun a;
    ASSERT_TRUE(a.Start(
        client_, {"open:1", "port:1:1:3:100:13:0:0", "compt:1:1", "put:1:1:0101", "touch:" + a_set,
                  "wait:" + raw_done, "start:1", "recv:1:1", "recv:1:3", "close:1"}));
    ASSERT_TRUE(WaitUntil([&] { return testsupport::FileExists(a_set); }, 60000));
    testsupport::TcpClient c;
    ASSERT_TRUE(c.Connect(10001));
    ASSERT_TRUE(c.Send("open,0,0,3|"));
    ASSERT_EQ(c.Recv(10000), "opsuc");
    ASSERT_TRUE(c.Send("port,0,2,3,100,1,0,0|compt,0,4|"));
    ASSERT_EQ(c.Recv(10000), "cpsuc");
    testsupport::GroupClient g;
    ASSERT_TRUE(g.Attach(Plan().key_dir, 0));
    ASSERT_EQ(g.Transmit(2, {3, 3}), 0);
    EXPECT_EQ(g.Communicate(20000), vel::shm::kRequestSuccess);
    g.LockReceive();
    const vel::shm::ReceiveRecord rec = g.Receive()->records[2];
    const uint8_t first = g.Receive()->records[0].statu;
    g.UnlockReceive();
    EXPECT_EQ(rec.statu, vel::shm::kStatusComplete);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.da), rec.dalen), "SILENT-3");
    EXPECT_EQ(first, vel::shm::kStatusNotPolled);
    g.Detach();
    ASSERT_TRUE(c.Send("close,0|"));
    EXPECT_EQ(c.Recv(10000), "cluse");
    ASSERT_TRUE(testsupport::WriteFile(raw_done, ""));
    ASSERT_TRUE(a.Finish()) << a.Process().Stdout() << a.Process().Stderr();
    EXPECT_EQ(a.Line("start 1"), "start 1 1 calls 0");
    EXPECT_NE(a.Line("recv 1 1").find("status 2 len 3 hex 4F4B31"), std::string::npos);
    EXPECT_NE(a.Line("recv 1 3").find("status 0 len 0"), std::string::npos);
}

TEST_F(LibCycle, ExampleApplicationRunsTheCycle) {
    testsupport::ChildProcess p;
    ASSERT_TRUE(RunExample(&p));
    EXPECT_EQ(p.ExitStatus(), 0);
    const std::string out = p.Stdout();
    for (const char* want :
         {"open channel 1: 0\n", "setComFlags 0x000F: 1\n",
          "putOutputStream machine 4 (2 bytes): 1\n", "cycle 2: startCom 0\n",
          "  machine 1: status 2 (reply complete) len 3 hex [4F 4B 31] text \"OK1\"\n",
          "  machine 2: status 2 (reply complete) len 3 hex [02 41 42] text \"\\x02AB\"\n",
          "  machine 3: status 2 (reply complete) len 8 hex [53 49 4C 45 4E 54 2D 33] text "
          "\"SILENT-3\"\n",
          "  machine 4: status 4 (reply time-out) len 0 hex [] text \"\"\n", "listener calls: 2\n",
          "closed channel 1\n"}) {
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    }
}

// The library's trace lines follow the key "trace" of dwlib.conf; the application's own
// output stays on its standard output.
TEST_F(LibCycle, TraceSettingKeepsTheApplicationsOutputToItself) {
    testsupport::ConfigPlan plan = Plan();
    plan.trace = "stderr";
    ASSERT_TRUE(testsupport::WriteFile(testsupport::kLibConf, testsupport::MakeConfig(plan)));
    testsupport::ChildProcess to_stderr;
    ASSERT_TRUE(RunExample(&to_stderr));
    EXPECT_EQ(to_stderr.ExitStatus(), 0);
    EXPECT_FALSE(HasTraceLine(to_stderr.Stdout())) << to_stderr.Stdout();
    EXPECT_TRUE(HasTraceLine(to_stderr.Stderr())) << to_stderr.Stderr();

    plan.trace = "off";
    ASSERT_TRUE(testsupport::WriteFile(testsupport::kLibConf, testsupport::MakeConfig(plan)));
    testsupport::ChildProcess off;
    ASSERT_TRUE(RunExample(&off));
    ASSERT_TRUE(testsupport::WriteFile(testsupport::kLibConf, testsupport::MakeConfig(Plan())));
    EXPECT_EQ(off.ExitStatus(), 0);
    const std::string out = off.Stdout();
    EXPECT_FALSE(HasTraceLine(out) || HasTraceLine(off.Stderr())) << out << off.Stderr();
    EXPECT_NE(out.find("open channel 1: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("closed channel 1\n"), std::string::npos) << out;
}

// Last: the daemon ends here.
TEST_F(LibCycle, ShutdownTravelsOnTheLowestChannelAndEndsTheDaemon) {
    EXPECT_EQ(pxa_rs485_open(2, false, 3), 0);
    EXPECT_EQ(pxa_rs485_open(1, false, 3), 0);
    pxa_rs485_shutdown();
    ASSERT_TRUE(daemon_->Process().Wait(30000));
    EXPECT_EQ(daemon_->Process().ExitStatus(), 0);
    // Channel 1's connection was used and closed; channel 2's remains but finds no daemon.
    EXPECT_EQ(pxa_rs485_setComFlags(1, 1), 0);
    EXPECT_EQ(pxa_rs485_setComFlags(2, 1), 0);
    EXPECT_NE(dw485if, nullptr);
}

}  // namespace
