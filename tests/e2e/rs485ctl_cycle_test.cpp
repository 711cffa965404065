// rs485ctl as a process against the real daemon and the bus simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "ShmLayout.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

// Machine 1 answers with text, an ETX delimiter and one trailing byte; machine 2 never
// answers; machine 3 answers without a delimiter, so that silence ends its reply.
constexpr char kMachines[] = R"({
  "machines": [
    {"name": "a", "match": {"prefix_text": "A"}, "reply_text": "A-OK\u0003\u001c"},
    {"name": "b", "match": {"prefix_text": "B"}, "fault": "no_reply"},
    {"name": "c", "match": {"prefix_text": "C"}, "reply_text": "C\r\nline"}
  ]
})";

constexpr char kSandbox[] = "/var/local/sandbox";

// RS485CTL_BIN when set (the sandbox points it at an emulator wrapper for cross builds).
std::string CtlBin() {
    return Env("RS485CTL_BIN", Env("RS485_BINARY_DIR") + "/tools/rs485ctl/rs485ctl");
}

// The arguments that address the three simulated machines.
std::vector<std::string> CycleArgs() {
    return {CtlBin(), "-c",      "1",      "-b",    "5",
            "-f",     "8N1",     "-d",     "etx",   "--trailing",
            "1",      "-t",      "100",    "--set", "3:delimiter=none",
            "--hex",  "1=41 3F", "--text", "2=B?",  "--text",
            "3=C?\\r"};
}

class Rs485ctlTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (daemon_.Process().Running()) {
            daemon_.Process().Signal(SIGKILL);
            daemon_.Process().Wait(5000);
        }
    }

    // One configured line served by the simulator; the daemon only when asked for.
    void Setup(bool start_daemon, int control_size = ConfigPlan().control_size) {
        ConfigPlan plan;
        plan.control_size = control_size;
        if (start_daemon) {
            if (Env("RS485SIM_BIN").empty()) {
                GTEST_SKIP() << "RS485SIM_BIN is not set: the bus simulator was not built";
            }
            ASSERT_TRUE(WriteFile(std::string(kSandbox) + "/machines.json", kMachines));
            const std::string link = std::string(kSandbox) + "/tty0";
            ASSERT_TRUE(sim_.Start({Env("RS485SIM_BIN"), "--link", link, "--config",
                                    std::string(kSandbox) + "/machines.json", "--baud", "5",
                                    "--no-pacing", "--log", link + ".log"},
                                   link + ".out", link + ".err"));
            ASSERT_TRUE(WaitUntil([&] { return FileExists(link); }, 10000));
            plan.lines.push_back({link, "none", 5, 15});
        } else {
            plan.lines.push_back({"/var/local/sandbox/tty0", "none", 5, 15});
        }
        ASSERT_TRUE(InstallConfig(plan));
        if (start_daemon) {
            ASSERT_TRUE(daemon_.Start());
            ASSERT_TRUE(daemon_.WaitServing(20000));
        }
    }

    // Runs the tool to its end; returns its exit status.
    int Run(const std::vector<std::string>& argv, int timeout_ms = 60000) {
        ++runs_;
        const std::string base = std::string(kSandbox) + "/ctl" + std::to_string(runs_);
        ChildProcess p;
        if (!p.Start(argv, base + ".out", base + ".err")) {
            return -1;
        }
        if (!p.Wait(timeout_ms)) {
            return -2;
        }
        out_ = p.Stdout();
        err_ = p.Stderr();
        return p.ExitStatus();
    }

    Daemon daemon_;
    ChildProcess sim_;
    std::string out_;
    std::string err_;
    int runs_{0};
};

TEST_F(Rs485ctlTest, OneCyclePrintsEveryMachinesReplyAndStatus) {
    Setup(true);
    // The daemon reports a cycle with a machine that timed out as failed: exit status 1.
    ASSERT_EQ(Run(CycleArgs()), 1) << out_ << err_;
    EXPECT_NE(out_.find("cycle 1: failed"), std::string::npos) << out_;
    EXPECT_NE(out_.find("machine  1  complete    len 4    hex 41 2D 4F 4B  text \"A-OK\""),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("machine  2  time-out    len 0"), std::string::npos) << out_;
    EXPECT_NE(out_.find("machine  3  complete    len 7    hex 43 0D 0A 6C 69 6E 65  text "
                        "\"C..line\""),
              std::string::npos)
        << out_;
    // The library's trace lines do not mix into the report.
    for (const std::string& line : Lines(out_)) {
        EXPECT_NE(line.rfind("<", 0), 0u) << line;
    }
    // The requests went out as given, and the channel was closed at the end.
    const std::string sim_log = ReadFile(std::string(kSandbox) + "/tty0.log");
    EXPECT_NE(sim_log.find("hex=41 3F"), std::string::npos) << sim_log;
    EXPECT_NE(sim_log.find("hex=43 3F 0D"), std::string::npos) << sim_log;
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("close : ret = 0") != std::string::npos; }, 10000))
        << daemon_.NewLog();
}

// A machine given a reply length: its reply ends at that byte.
TEST_F(Rs485ctlTest, ReplyLengthGivenPerMachine) {
    Setup(true);
    std::vector<std::string> args = CycleArgs();
    std::replace(args.begin(), args.end(), std::string("3:delimiter=none"),
                 std::string("3:framing=3"));
    ASSERT_EQ(Run(args), 1) << out_ << err_;
    EXPECT_NE(out_.find("machine  3  complete    len 3    hex 43 0D 0A"), std::string::npos)
        << out_;
}

TEST_F(Rs485ctlTest, JsonCyclesAndSummaryCountRepliesAndTimeouts) {
    Setup(true);
    std::vector<std::string> args = CycleArgs();
    args.insert(args.end(), {"--json", "-n", "3", "--trace"});
    ASSERT_EQ(Run(args), 1) << out_ << err_;
    const std::vector<std::string> lines = Lines(out_);
    ASSERT_EQ(lines.size(), 4u) << out_;
    EXPECT_EQ(CountLines(out_, "\"type\":\"cycle\""), 3);
    EXPECT_NE(lines[2].find("\"cycle\":3"), std::string::npos) << lines[2];
    EXPECT_NE(lines[0].find("\"hex\":\"41 2D 4F 4B\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"status\":4,\"status_name\":\"time-out\""), std::string::npos)
        << lines[0];
    const std::string& summary = lines[3];
    EXPECT_NE(summary.find("\"type\":\"summary\""), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"failed_cycles\":3"), std::string::npos) << summary;
    EXPECT_NE(
        summary.find("\"machine\":1,\"not_polled\":0,\"polls\":3,\"replies\":3,\"timeouts\":0"),
        std::string::npos)
        << summary;
    EXPECT_NE(
        summary.find("\"machine\":2,\"not_polled\":0,\"polls\":3,\"replies\":0,\"timeouts\":3"),
        std::string::npos)
        << summary;
    // --trace sends the library's trace lines to stderr.
    EXPECT_NE(err_.find("pxa open"), std::string::npos) << err_;
}

TEST_F(Rs485ctlTest, RepeatsUntilInterruptedAndPrintsStatistics) {
    Setup(true);
    std::vector<std::string> args = CycleArgs();
    args.insert(args.end(), {"-i", "20"});
    ChildProcess p;
    const std::string base = std::string(kSandbox) + "/repeat";
    ASSERT_TRUE(p.Start(args, base + ".out", base + ".err"));
    ASSERT_TRUE(WaitUntil([&] { return p.Stdout().find("cycle 3:") != std::string::npos; }, 60000))
        << p.Stdout() << p.Stderr();
    ASSERT_TRUE(p.Signal(SIGINT));
    ASSERT_TRUE(p.Wait(30000));
    EXPECT_EQ(p.ExitStatus(), 1) << p.Stderr();
    const std::string out = p.Stdout();
    EXPECT_NE(out.find("[replies 3, time-outs 0, errors 0]"), std::string::npos) << out;
    EXPECT_NE(out.find("[replies 0, time-outs 3, errors 0]"), std::string::npos) << out;
    EXPECT_NE(out.find("statistics after "), std::string::npos) << out;
    EXPECT_NE(out.find("machine  2  replies 0  time-outs "), std::string::npos) << out;
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("close : ret = 0") != std::string::npos; }, 10000));
}

// The processes on a channel are listed with their own settings, and the daemon's log names
// each at its open and its close.
TEST_F(Rs485ctlTest, UsersListsTheProcessesOnAChannel) {
    Setup(true);
    std::vector<std::string> args = CycleArgs();
    args.insert(args.end(), {"-i", "20"});
    ChildProcess p;
    const std::string base = std::string(kSandbox) + "/users";
    ASSERT_TRUE(p.Start(args, base + ".out", base + ".err"));
    ASSERT_TRUE(WaitUntil([&] { return p.Stdout().find("cycle 2:") != std::string::npos; }, 60000))
        << p.Stdout() << p.Stderr();
    ASSERT_EQ(Run({CtlBin(), "-c", "1", "--users"}), 0) << out_ << err_;
    const std::string pid = std::to_string(p.Pid());
    bool listed = false;
    for (const std::string& line : Lines(out_)) {
        if (line.find(" " + pid + " ") != std::string::npos) {
            listed = true;
            EXPECT_NE(line.find("38400   1,2,3            1:2 2:2 3:3"), std::string::npos) << line;
            EXPECT_EQ(line.find("never"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(listed) << out_;
    EXPECT_NE(out_.find("shared   -"), std::string::npos) << out_;
    ASSERT_EQ(Run({CtlBin(), "-c", "1", "--users", "--json"}), 0) << out_ << err_;
    EXPECT_NE(out_.find("\"pid\":" + pid +
                        ",\"bit_rate\":38400,\"machines\":\"1,2,3\","
                        "\"request_bytes\":{\"1\":2,\"2\":2,\"3\":3}"),
              std::string::npos)
        << out_;
    ASSERT_TRUE(p.Signal(SIGINT));
    ASSERT_TRUE(p.Wait(30000));
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("(process " + pid + ") leaves") != std::string::npos; },
        10000))
        << daemon_.NewLog();
    EXPECT_NE(daemon_.NewLog().find("process=" + pid + " baudrate=5 : user "), std::string::npos);
}

// A control segment configured at the size the request slot needs has no room for
// identities: the daemon says so once at the open, and its users share the channel's settings.
TEST_F(Rs485ctlTest, ControlSegmentWithoutRoomForIdentitiesServesSharedSettings) {
    Setup(true, static_cast<int>(vel::shm::kControlSegmentMin));
    ASSERT_EQ(Run(CycleArgs()), 1) << out_ << err_;
    EXPECT_NE(out_.find("machine  1  complete    len 4    hex 41 2D 4F 4B"), std::string::npos)
        << out_;
    EXPECT_TRUE(WaitUntil(
        [&] { return daemon_.NewLog().find("close : ret = 0") != std::string::npos; }, 10000));
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(CountLines(log, "has no room for client identities"), 1) << log;
    EXPECT_EQ(CountLines(log, "***** order user"), 0) << log;
}

TEST_F(Rs485ctlTest, RefusedChannelAndMissingDaemonHaveTheirOwnExitCodes) {
    Setup(true);
    // Channel 2 is not configured: the daemon answers, but refuses it.
    EXPECT_EQ(Run({CtlBin(), "-c", "2", "-m", "1"}), 4) << out_ << err_;
    EXPECT_NE(err_.find("channel 2 refused by the daemon"), std::string::npos) << err_;
    EXPECT_NE(err_.find("see the daemon's log /var/local/vellog/dwmid.log"), std::string::npos)
        << err_;
    daemon_.Process().Signal(SIGTERM);
    ASSERT_TRUE(daemon_.Process().Wait(20000));
    EXPECT_EQ(Run({CtlBin(), "-m", "1", "--json"}), 3) << out_ << err_;
    EXPECT_NE(err_.find("daemon not running: nothing accepts connections on localhost:10001"),
              std::string::npos)
        << err_;
    EXPECT_NE(out_.find("\"exit_code\":3"), std::string::npos) << out_;
}

// Without a usable dwlib.conf the library does not ask the daemon, and the tool says that
// the configuration is what is missing.
TEST_F(Rs485ctlTest, MissingOrBrokenLibraryConfigurationIsReportedAsSuch) {
    Setup(true);
    const std::string conf = kLibConf;
    ASSERT_EQ(::unlink(kLibConf), 0);
    EXPECT_EQ(Run({CtlBin(), "-m", "1", "--trace"}), 6) << out_ << err_;
    EXPECT_NE(
        err_.find("no configuration: " + conf + " cannot be used (No such file or directory)"),
        std::string::npos)
        << err_;
    EXPECT_NE(err_.find(":: open : no configuration : cannot read " + conf +
                        " : No such file or directory"),
              std::string::npos)
        << err_;
    ASSERT_TRUE(WriteFile(kLibConf, "{\"order_conn\": \n"));
    EXPECT_EQ(Run({CtlBin(), "-m", "1"}), 6) << out_ << err_;
    EXPECT_NE(err_.find("failed to read setting file : " + conf + " (not valid JSON)"),
              std::string::npos)
        << err_;
    EXPECT_NE(err_.find("no configuration: " + conf + " cannot be used (syntax error at line"),
              std::string::npos)
        << err_;
    EXPECT_EQ(daemon_.NewLog().find("***** order open"), std::string::npos);
}

TEST_F(Rs485ctlTest, DaemonNotRunningWithoutAnyDaemon) {
    Setup(false);
    EXPECT_EQ(Run({CtlBin(), "-m", "1-3", "--text", "2=x"}), 3) << out_ << err_;
    EXPECT_NE(err_.find("daemon not running"), std::string::npos) << err_;
    EXPECT_NE(err_.find("may still be in its start delay"), std::string::npos) << err_;
    EXPECT_NE(err_.find("warning: machine 1, 3 selected without a request"), std::string::npos)
        << err_;
}

TEST_F(Rs485ctlTest, BadArgumentsAndHelp) {
    EXPECT_EQ(Run({CtlBin(), "-m", "1", "-b", "9"}), 2);
    EXPECT_NE(err_.find("--baud"), std::string::npos) << err_;
    EXPECT_NE(err_.find("Run with --help"), std::string::npos) << err_;
    EXPECT_EQ(Run({CtlBin(), "-m", "1", "-f", "9Z1"}), 2);
    EXPECT_NE(err_.find("invalid format \"9Z1\""), std::string::npos) << err_;
    EXPECT_EQ(Run({CtlBin(), "-m", "1", "--set", "1:delimiter=crlf"}), 2);
    EXPECT_NE(err_.find("invalid delimiter \"crlf\" (a byte 0..255 (decimal or 0x..), cr, lf, "
                        "etx, eot or none)"),
              std::string::npos)
        << err_;
    EXPECT_EQ(Run({CtlBin(), "--help"}), 0);
    EXPECT_NE(out_.find("Usage:"), std::string::npos) << out_;
}

}  // namespace
