// Start-up of the real dwmid in the sandbox: settings display, start checks, start delay,
// signals in the start-up states, and the log file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "LibE2e.h"
#include "TestSupport.h"

using testsupport::ChildProcess;
using testsupport::ConfigPlan;
using testsupport::CountLines;
using testsupport::Daemon;
using testsupport::FileExists;
using testsupport::LinePlan;
using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::WaitUntil;
using testsupport::WriteFile;

namespace {

constexpr int kLongWaitMs = 30000;
constexpr char kKeyDir[] = "/var/local/velkey";

// "YYYY-MM-DD HH:MM:SS " stripped from a log line; empty when the line has no such stamp.
std::string WithoutStamp(const std::string& line) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, stamp)) {
        return std::string();
    }
    return m[1].str();
}

std::string Padded(const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

// Value line of the settings display: the label padded to 20 characters.
std::string Value(const std::string& label, const std::string& value) {
    return "I :     " + Padded(label, 20) + "= " + value;
}
// Line item: "[n]" and the field padded to 17 characters.
std::string LineItem(int n, const std::string& field, const std::string& value) {
    return "I :     [" + std::to_string(n) + "]" + Padded(field, 17) + "= " + value;
}
// Group item: "[g][j]" and the field padded to 14 characters.
std::string GroupItem(int g, int j, const std::string& field, const std::string& value) {
    return "I :     [" + std::to_string(g) + "][" + std::to_string(j) + "]" + Padded(field, 14) +
           "= " + value;
}

// The display lines from "Display Setting Data >>>" on, stamps stripped, at most count lines.
std::vector<std::string> DisplayBlock(const std::string& log, std::size_t count) {
    std::vector<std::string> block;
    for (const std::string& line : Lines(log)) {
        if (block.empty() && line.find("Display Setting Data >>>") == std::string::npos) {
            continue;
        }
        block.push_back(WithoutStamp(line));
        if (block.size() == count) {
            break;
        }
    }
    return block;
}

class StartupTest : public testing::Test {
  protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::remove(testsupport::kDaemonConf, ec);
        fs::remove(testsupport::kLibConf, ec);
        fs::remove_all(kKeyDir, ec);
        for (const auto& entry : fs::directory_iterator("/var/local/vellog", ec)) {
            fs::remove_all(entry.path(), ec);
        }
        ASSERT_EQ(testsupport::CountShmSegments(), 0);
        ASSERT_EQ(testsupport::CountSemaphoreSets(), 0);
    }

    bool LogHas(const std::string& needle) {
        return daemon_.NewLog().find(needle) != std::string::npos;
    }

    // Waits until the process has ended; returns false when it still runs after timeout_ms.
    bool WaitEnd(int timeout_ms = kLongWaitMs) { return daemon_.Process().Wait(timeout_ms); }

    // A daemon whose start-up succeeded ends its start-up alone (exit 0 without a service) or
    // serves orders until SIGTERM. Either way the end is a clean exit 0.
    void ExpectCleanStartAndStop() {
        ChildProcess& p = daemon_.Process();
        ASSERT_TRUE(WaitUntil([&] { return !p.Running() || LogHas("accept end"); }, kLongWaitMs))
            << daemon_.NewLog();
        const bool served = LogHas("accept end");
        if (served) {
            ASSERT_TRUE(p.Signal(SIGTERM));
        }
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(p.TermSignal(), 0);
        EXPECT_EQ(p.ExitStatus(), 0) << p.Stderr();
        EXPECT_EQ(p.Stderr().find("exit application"), std::string::npos) << p.Stderr();
        if (served) {
            EXPECT_TRUE(LogHas("main end")) << daemon_.NewLog();
            EXPECT_TRUE(LogHas("Finish : delete objects")) << daemon_.NewLog();
        }
    }

    // Signal during the start delay: exit 2 with the message and without any teardown.
    void ExpectExitDuringDelay(int signo) {
        ChildProcess& p = daemon_.Process();
        ASSERT_TRUE(p.Signal(signo));
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(p.TermSignal(), 0);
        EXPECT_EQ(p.ExitStatus(), 2);
        const std::string expected =
            "exit application. receive signal(" + std::to_string(signo) + ")";
        EXPECT_EQ(CountLines(p.Stderr(), expected), 1) << p.Stderr();
        EXPECT_FALSE(LogHas("Finish")) << daemon_.NewLog();
        EXPECT_FALSE(LogHas("accept end")) << daemon_.NewLog();
        EXPECT_EQ(testsupport::CountShmSegments(), 0);
        EXPECT_EQ(testsupport::CountSemaphoreSets(), 0);
    }

    // Starts the daemon on a configuration whose log cannot be opened at log_file.
    void ExpectUnwritableLog(const std::string& log_dir) {
        ConfigPlan plan;
        plan.log_dir = log_dir;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
        ChildProcess& p = daemon_.Process();
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(p.TermSignal(), 0);
        EXPECT_EQ(p.ExitStatus(), 1);
        const std::vector<std::string> err = Lines(p.Stderr());
        ASSERT_EQ(err.size(), 1U) << p.Stderr();
        EXPECT_NE(err[0].find(log_dir + "/dwmid.log"), std::string::npos) << err[0];
        EXPECT_FALSE(FileExists(testsupport::kLogFile));
        EXPECT_EQ(testsupport::CountShmSegments(), 0);
    }

    Daemon daemon_;
};

}  // namespace

TEST_F(StartupTest, NoConfigurationFileStartsWithDefaultsAndWaits) {
    ASSERT_TRUE(daemon_.Start());
    ChildProcess& p = daemon_.Process();
    // The display ends with the "no have settings" of the groups.
    ASSERT_TRUE(WaitUntil([&] { return CountLines(daemon_.NewLog(), "no have settings") == 2; },
                          kLongWaitMs))
        << daemon_.NewLog() << p.Stderr();
    EXPECT_EQ(
        CountLines(p.Stderr(), "failed to read setting file : /usr/local/etc/vellib/dwmid.conf"), 1)
        << p.Stderr();
    const std::string log = ReadFile("/var/local/vellog/dwmid.log");
    EXPECT_NE(log.find(Value("port", "10001").substr(4)), std::string::npos) << log;
    EXPECT_NE(log.find(Value("log_dir", "/var/local/vellog").substr(4)), std::string::npos);
    EXPECT_NE(log.find(Value("log_file", "dwmid.log").substr(4)), std::string::npos);
    EXPECT_NE(log.find(Value("number of shmem grp", "0").substr(4)), std::string::npos);
    EXPECT_EQ(log.find("setting error"), std::string::npos) << log;
    // Zero lines equal zero groups; the default delay of 10 s holds the service back.
    EXPECT_TRUE(p.Running());
    EXPECT_FALSE(LogHas("accept end"));
    ExpectExitDuringDelay(SIGTERM);
}

TEST_F(StartupTest, MoreGroupsThanLinesIsLoggedAndEndsWithStatusSix) {
    ConfigPlan plan;
    plan.lines = {LinePlan{"/var/local/sandbox/ttyA"}, LinePlan{"/var/local/sandbox/ttyB"}};
    plan.groups = 3;
    plan.start_wait_ms = 20000;  // never reached: the check comes first
    ASSERT_TRUE(testsupport::InstallConfig(plan));
    ASSERT_TRUE(daemon_.Start());
    ChildProcess& p = daemon_.Process();
    ASSERT_TRUE(WaitEnd(15000)) << "the check must end the process before the start delay";
    EXPECT_EQ(p.TermSignal(), 0);
    EXPECT_EQ(p.ExitStatus(), 6);  // not configured: no restart can help
    EXPECT_EQ(p.Stderr(), "");

    std::vector<std::string> errors;
    for (const std::string& line : Lines(daemon_.NewLog())) {
        if (line.find("setting error") != std::string::npos) {
            errors.push_back(WithoutStamp(line));
        }
    }
    ASSERT_EQ(errors.size(), 2U) << daemon_.NewLog();
    EXPECT_TRUE(std::regex_match(
        errors[0], std::regex(R"(E : \[dwmid\.cpp:\d+\]  setting error : Line\(RS-485\) and )"
                              R"(Shmem definitions do not match)")))
        << errors[0];
    EXPECT_TRUE(
        std::regex_match(errors[1], std::regex(R"(E : \[dwmid\.cpp:\d+\]  setting error :     )"
                                               R"(Line\(RS-485\) = 2 :  Shmem = 3)")))
        << errors[1];
    EXPECT_FALSE(LogHas("accept end"));
    EXPECT_FALSE(LogHas("Finish"));
    EXPECT_EQ(testsupport::CountShmSegments(), 0);
    EXPECT_EQ(testsupport::CountSemaphoreSets(), 0);
    EXPECT_FALSE(FileExists(kKeyDir));
}

TEST_F(StartupTest, FewerThanTwoItemsPerGroupAreRefusedByDaemonAndLibrary) {
    ConfigPlan plan;
    plan.lines = {LinePlan{"/var/local/sandbox/ttyA"}};
    for (const int items : {0, 1}) {
        plan.indata_num = items;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(daemon_.Process().ExitStatus(), 6);
        EXPECT_EQ(CountLines(daemon_.NewLog(), "]  setting error : shared_indata_num = " +
                                                   std::to_string(items) + " : must be 2 to 64"),
                  1)
            << daemon_.NewLog();
        EXPECT_FALSE(LogHas("accept end"));
        EXPECT_EQ(testsupport::CountShmSegments(), 0);
        EXPECT_EQ(testsupport::CountSemaphoreSets(), 0);
        EXPECT_FALSE(FileExists(kKeyDir));
    }

    // A client configured with one item per group next to a daemon that serves two: the
    // open is refused before the daemon is asked, and the data calls touch no segment.
    plan.indata_num = 2;
    ASSERT_TRUE(testsupport::InstallConfig(plan));
    plan.indata_num = 1;
    ASSERT_TRUE(WriteFile(testsupport::kLibConf, testsupport::MakeConfig(plan)));
    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(daemon_.WaitServing());
    std::string build_log;
    const std::string client = testsupport::BuildCClient(&build_log);
    ASSERT_FALSE(client.empty()) << build_log;
    testsupport::CClientRun run;
    ASSERT_TRUE(run.Start(client, {"open:1", "put:1:1:0101", "start:1", "close:1"}));
    ASSERT_TRUE(run.Finish()) << run.Process().Stderr();
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"open 1 -1", "put 1 1 0", "start 1 0 calls 0",
                                                     "close 1", "end"}));
    EXPECT_FALSE(LogHas("***** order open")) << daemon_.NewLog();
    ExpectCleanStartAndStop();
}

TEST_F(StartupTest, SignalsDuringTheStartDelayEndWithStatusTwo) {
    for (const int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        ConfigPlan plan;
        plan.start_wait_ms = 6000;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
        ASSERT_TRUE(WaitUntil([&] { return CountLines(daemon_.NewLog(), "no have settings") == 2; },
                              kLongWaitMs))
            << daemon_.NewLog();
        ExpectExitDuringDelay(signo);
        // The handler's own trace line comes first.
        EXPECT_NE(
            daemon_.Process().Stdout().find("receive signal : signal = " + std::to_string(signo)),
            std::string::npos)
            << daemon_.Process().Stdout();
    }
}

TEST_F(StartupTest, SettingsDisplayForTwoLinesAndTwoGroups) {
    // Group 1 lacks its second sh_id and sem_key: the display shows the missing values.
    ASSERT_TRUE(WriteFile(testsupport::kDaemonConf, R"({
        "order_conn": {"server": "localhost", "port": 10001, "conenct_timeout": 1000,
                       "res_wait_timeout": 1000},
        "log": {"log_dir": "/var/local/vellog", "log_file": "dwmid.log",
                "log_max_bytes": 100000, "log_counts": 5},
        "line": [
            {"device": "/dev/ttyS1", "de_line": "rts", "baudrate": 3, "max_machine": 15},
            {"device": "/dev/ttyS2", "de_line": "gpio86", "baudrate": 5, "max_machine": 4}
        ],
        "shared_indata_num": 2,
        "shared_key_dir": "/var/local/velkey",
        "shared": [
            {"ipc_key": ["shm0r", "shm0c"], "sh_id": [1, 2], "shmem_size": [8192, 256],
             "sem_key": ["sem0r", "sem0c"]},
            {"ipc_key": ["shm1r", "shm1c"], "sh_id": [3], "shmem_size": [8192, 256],
             "sem_key": ["sem1r"]}
        ],
        "start_wait_interval": 60000
    })"));
    const std::vector<std::string> expected = {
        "",  // the first line is matched separately: its line number may change
        "I :   order_conn",
        Value("server", "localhost"),
        Value("port", "10001"),
        Value("connect_timeout", "1000"),
        "I :   log",
        Value("log_dir", "/var/local/vellog"),
        Value("log_file", "dwmid.log"),
        Value("log_max_bytes", "100000"),
        Value("log_counts", "5"),
        "I :   line",
        LineItem(1, "device", "/dev/ttyS1"),
        LineItem(1, "de_line", "rts"),
        LineItem(1, "baudrate", "3"),
        LineItem(2, "device", "/dev/ttyS2"),
        LineItem(2, "de_line", "gpio86"),
        LineItem(2, "baudrate", "5"),
        "I :   shmem, semaphore",
        Value("number of shmem grp", "2"),
        Value("shared_indata_num", "2"),
        Value("shared_key_dir", "/var/local/velkey"),
        GroupItem(0, 0, "ipc_key", "shm0r"),
        GroupItem(0, 0, "sh_id", "1"),
        GroupItem(0, 0, "shmem_size", "8192"),
        GroupItem(0, 0, "sem_key", "sem0r"),
        GroupItem(0, 1, "ipc_key", "shm0c"),
        GroupItem(0, 1, "sh_id", "2"),
        GroupItem(0, 1, "shmem_size", "256"),
        GroupItem(0, 1, "sem_key", "sem0c"),
        GroupItem(1, 0, "ipc_key", "shm1r"),
        GroupItem(1, 0, "sh_id", "3"),
        GroupItem(1, 0, "shmem_size", "8192"),
        GroupItem(1, 0, "sem_key", "sem1r"),
        GroupItem(1, 1, "ipc_key", "shm1c"),
        GroupItem(1, 1, "sh_id", "-2147483648"),
        GroupItem(1, 1, "shmem_size", "256"),
        GroupItem(1, 1, "sem_key", ""),
    };
    EXPECT_EQ(GroupItem(1, 1, "sem_key", ""), "I :     [1][1]sem_key       = ");

    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(WaitUntil([&] { return LogHas(expected.back()); }, kLongWaitMs))
        << daemon_.NewLog();
    const std::vector<std::string> block = DisplayBlock(daemon_.NewLog(), expected.size());
    ASSERT_EQ(block.size(), expected.size()) << daemon_.NewLog();
    EXPECT_TRUE(std::regex_match(block[0],
                                 std::regex(R"(I : \[dwmid\.cpp:\d+\] Display Setting Data >>>)")))
        << block[0];
    for (std::size_t i = 1; i < expected.size(); ++i) {
        EXPECT_EQ(block[i], expected[i]) << "display line " << i;
    }
    const std::string log = daemon_.NewLog();
    EXPECT_EQ(log.find("res_wait_timeout"), std::string::npos);
    EXPECT_EQ(log.find("max_machine"), std::string::npos);
    EXPECT_EQ(log.find("start_wait_interval"), std::string::npos);
    ExpectExitDuringDelay(SIGTERM);
}

TEST_F(StartupTest, RestartAppendsToTheLog) {
    ConfigPlan plan;
    plan.lines = {LinePlan{"/var/local/sandbox/ttyA"}, LinePlan{"/var/local/sandbox/ttyB"}};
    plan.groups = 3;
    ASSERT_TRUE(testsupport::InstallConfig(plan));
    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(daemon_.Process().ExitStatus(), 6);
    const std::string first = daemon_.Log();
    ASSERT_EQ(CountLines(first, "Display Setting Data >>>"), 1) << first;

    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(daemon_.Process().ExitStatus(), 6);
    const std::string both = daemon_.Log();
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_EQ(CountLines(both, "Display Setting Data >>>"), 2);
    EXPECT_EQ(CountLines(both, "setting error :     Line(RS-485) = 2 :  Shmem = 3"), 2);
}

TEST_F(StartupTest, LogDirThatIsARegularFile) {
    ASSERT_TRUE(WriteFile("/var/local/sandbox/plain", "x"));
    ExpectUnwritableLog("/var/local/sandbox/plain");
    ExpectUnwritableLog("/var/local/sandbox/plain/below");
    EXPECT_EQ(ReadFile("/var/local/sandbox/plain"), "x");
}

TEST_F(StartupTest, ReadOnlyLogDir) {
    // Permission bits do not stop root, a read-only mount does.
    const std::string dir = "/var/local/sandbox/ro";
    ::mkdir(dir.c_str(), 0755);
    ASSERT_EQ(::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    ExpectUnwritableLog(dir);
    ExpectUnwritableLog(dir + "/missing");
    EXPECT_FALSE(FileExists(dir + "/dwmid.log"));
    EXPECT_EQ(::umount2(dir.c_str(), 0), 0);
}

TEST_F(StartupTest, NonPositiveLogLimitsFallBackToDefaults) {
    for (const char* limits :
         {R"("log_max_bytes": 0, "log_counts": -1)", R"("log_max_bytes": -5, "log_counts": 0)"}) {
        SCOPED_TRACE(limits);
        ConfigPlan plan;
        std::string text = testsupport::MakeConfig(plan);
        const std::string given = R"("log_max_bytes": 1000000, "log_counts": 3)";
        const std::size_t at = text.find(given);
        ASSERT_NE(at, std::string::npos) << text;
        text.replace(at, given.size(), limits);
        ASSERT_TRUE(WriteFile(testsupport::kDaemonConf, text));
        ASSERT_TRUE(daemon_.Start());
        ExpectCleanStartAndStop();
        EXPECT_TRUE(LogHas("Display Setting Data >>>")) << daemon_.Process().Stderr();
    }
}

TEST_F(StartupTest, StartDelayBelowOneSecondOrNegativeDoesNotWait) {
    // A negative delay taken as unsigned would wait for weeks; the generous bound of the
    // start check still tells that apart.
    for (const int wait_ms : {999, -1, -2000000, INT32_MIN + 1}) {
        SCOPED_TRACE(wait_ms);
        ConfigPlan plan;
        plan.start_wait_ms = wait_ms;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
        ExpectCleanStartAndStop();
    }
}

namespace {

TEST_F(StartupTest, DirectionSettingErrorsAreRefusedLikeOtherConfigurations) {
    // The status of a refused configuration, whatever it is: lines and groups differ.
    ConfigPlan mismatch;
    mismatch.lines = {LinePlan{"/var/local/sandbox/ttyA"}};
    mismatch.groups = 2;
    ASSERT_TRUE(testsupport::InstallConfig(mismatch));
    ASSERT_TRUE(daemon_.Start());
    ASSERT_TRUE(WaitEnd());
    const int refused = daemon_.Process().ExitStatus();
    EXPECT_NE(refused, 0);

    const struct {
        const char* keys;
        const char* line;
    } cases[] = {
        {R"("direction": "rts")",
         R"(setting error : line [2] : "direction" unknown value "rts" : must be rts-spi, )"
         R"(gpio-sysfs, kernel, auto, gpiod)"},
        {R"("direction": "gpiod", "gpio_line": 4)",
         R"(setting error : line [2] : "gpio_chip" missing)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        ConfigPlan plan;
        plan.lines = {LinePlan{"/var/local/sandbox/ttyA"},
                      LinePlan{"/var/local/sandbox/ttyB", "none", 3, 15, c.keys}};
        ASSERT_TRUE(testsupport::InstallConfig(plan));
        ASSERT_TRUE(daemon_.Start());
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(daemon_.Process().ExitStatus(), refused);
        EXPECT_TRUE(LogHas(c.line)) << daemon_.NewLog();
        EXPECT_FALSE(LogHas("accept end")) << daemon_.NewLog();
    }
}

}  // namespace
