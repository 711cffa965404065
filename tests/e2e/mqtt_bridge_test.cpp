// rs485mqtt as a process between the real daemon with the bus simulator and a real mosquitto
// broker, watched by a real subscriber.
#include <gtest/gtest.h>
#include <picojson.h>

#include <csignal>
#include <memory>
#include <string>

#include "MqttBroker.h"
#include "MqttSubscriber.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

constexpr char kSandbox[] = "/var/local/sandbox";
constexpr char kBase[] = "plant/ctl1";

// Machine 1 answers with text, an ETX delimiter and one trailing byte; machine 2 never
// answers; machine 3 answers without a delimiter, so that silence ends its reply.
constexpr char kMachines[] = R"({"machines": [
  {"name": "a", "match": {"prefix_text": "A"}, "reply_text": "A-OK\u0003\u001c"},
  {"name": "b", "match": {"prefix_text": "B"}, "fault": "no_reply"},
  {"name": "c", "match": {"prefix_text": "C"}, "reply_text": "C\r\nline"}
]})";

// Machine 2's entry in the bridge's configuration: polled, never answers.
constexpr char kSilentMachine[] =
    R"({"machine": 2, "delimiter": "etx", "time_out": 50, "request_text": "B?"},)";

// silent_machine: machine 2's entry, or "" so that every polled machine answers.
std::string BridgeConfigText(bool commands, const std::string& silent_machine = kSilentMachine) {
    return R"({"broker": {"host": "127.0.0.1", "port": )" + std::to_string(MqttBroker::kPort) +
           R"(, "keep_alive": 5, "reconnect_min_ms": 100, "reconnect_max_ms": 400},
  "node": "ctl1", "topic_prefix": "plant", "statistics_interval": 1,
  "commands_enabled": )" +
           (commands ? "true" : "false") + R"(,
  "channels": [{"channel": 1, "baud_index": 5, "cycle_period_ms": 100, "machines": [
    {"machine": 1, "format": "8N1", "delimiter": "etx", "trailing": 1, "request_hex": "41 3F"},
    )" + silent_machine +
           R"(
    {"machine": 3, "delimiter": "none", "request_text": "C?\\r"}]}]})";
}

picojson::object Json(const std::string& text) {
    picojson::value v;
    if (!picojson::parse(v, text).empty() || !v.is<picojson::object>()) {
        return {};
    }
    return v.get<picojson::object>();
}

std::string Str(const picojson::object& o, const std::string& key) {
    auto it = o.find(key);
    return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : "";
}

double Num(const picojson::object& o, const std::string& key) {
    auto it = o.find(key);
    return it != o.end() && it->second.is<double>() ? it->second.get<double>() : -1;
}

// Empty where the bridge was not built (no libmosquitto for the target).
std::string BridgeBin() {
    return Env("RS485MQTT_BIN");
}

class MqttBridgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string link = std::string(kSandbox) + "/tty0";
        ASSERT_TRUE(WriteFile(std::string(kSandbox) + "/machines.json", kMachines));
        sim_ = new ChildProcess;
        ASSERT_TRUE(sim_->Start({Env("RS485SIM_BIN"), "--link", link, "--config",
                                 std::string(kSandbox) + "/machines.json", "--baud", "5",
                                 "--no-pacing", "--log", link + ".log"},
                                link + ".out", link + ".err"));
        ASSERT_TRUE(WaitUntil([&] { return FileExists(link); }, 10000));
        ConfigPlan plan;
        plan.lines.push_back({link, "none", 5, 15});
        ASSERT_TRUE(InstallConfig(plan));
        daemon_ = new Daemon;
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing(20000));
    }
    static void TearDownTestSuite() {
        delete daemon_;
        delete sim_;
    }

    void SetUp() override {
        if (BridgeBin().empty()) {
            GTEST_SKIP() << "RS485MQTT_BIN is not set: the bridge was not built";
        }
        ASSERT_TRUE(daemon_->Process().Running());
        ASSERT_TRUE(broker_.Start());
        ASSERT_TRUE(sub_.Start(std::string(kBase) + "/#", MqttBroker::kPort));
    }

    // Starts the bridge on a configuration text and waits for its "online".
    void StartBridge(const std::string& config) {
        ++runs_;
        const std::string base = std::string(kSandbox) + "/bridge" + std::to_string(runs_);
        ASSERT_TRUE(WriteFile(base + ".conf", config));
        const std::size_t seen = sub_.On(std::string(kBase) + "/status").size();
        ASSERT_TRUE(
            bridge_.Start({BridgeBin(), "--config", base + ".conf"}, base + ".out", base + ".err"));
        ASSERT_TRUE(WaitUntil(
            [&] {
                const std::vector<MqttLine> status = sub_.On(std::string(kBase) + "/status");
                return status.size() > seen && status.back().payload == "online";
            },
            20000))
            << bridge_.Stderr();
    }

    // Waits for a message of machine m (1..3) whose payload satisfies pred.
    bool WaitMachine(int m, const std::function<bool(const picojson::object&)>& pred,
                     const MqttSubscriber& sub) {
        return sub.WaitFor(std::string(kBase) + "/1/" + std::to_string(m),
                           [&](const MqttLine& l) { return pred(Json(l.payload)); });
    }

    // Waits until machine m has a message with status among those after the first `after`.
    bool WaitStatusAfter(int m, int status, std::size_t after) {
        const std::string topic = std::string(kBase) + "/1/" + std::to_string(m);
        return WaitUntil(
            [&] {
                const std::vector<MqttLine> lines = sub_.On(topic);
                for (std::size_t i = after; i < lines.size(); ++i) {
                    if (Num(Json(lines[i].payload), "status") == status) {
                        return true;
                    }
                }
                return false;
            },
            20000);
    }

    // Stops dwmid with signal, waits until the bridge has closed its channel, starts dwmid
    // again and waits until the bridge has reopened the channel and machines 1 and 3 answer
    // through the new daemon.
    void RestartDaemonUnderTheBridge(int signal) {
        const int opened = CountLines(bridge_.Stderr(), "channel 1: open");
        ASSERT_TRUE(daemon_->Process().Signal(signal));
        ASSERT_TRUE(daemon_->Process().Wait(20000));
        // A killed daemon's segments can be replaced only once no client is attached.
        ASSERT_TRUE(WaitUntil(
            [&] { return bridge_.Stderr().find("opening it again") != std::string::npos; }, 20000))
            << bridge_.Stderr();
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing(20000)) << daemon_->NewLog();
        ASSERT_TRUE(WaitUntil(
            [&] { return CountLines(bridge_.Stderr(), "channel 1: open") > opened; }, 20000))
            << bridge_.Stderr();
        EXPECT_TRUE(WaitStatusAfter(1, 2, sub_.On(std::string(kBase) + "/1/1").size()));
        EXPECT_TRUE(WaitStatusAfter(3, 2, sub_.On(std::string(kBase) + "/1/3").size()));
    }

    // SIGTERM: "offline" goes out and the bridge ends with status 0.
    void StopBridge() {
        ASSERT_TRUE(bridge_.Signal(SIGTERM));
        ASSERT_TRUE(bridge_.Wait(10000));
        EXPECT_EQ(bridge_.ExitStatus(), 0) << bridge_.Stderr();
    }

    static ChildProcess* sim_;
    static Daemon* daemon_;
    MqttBroker broker_;
    MqttSubscriber sub_;
    ChildProcess bridge_;
    int runs_{0};
};

ChildProcess* MqttBridgeTest::sim_ = nullptr;
Daemon* MqttBridgeTest::daemon_ = nullptr;

const auto kAny = [](const picojson::object& o) { return !o.empty(); };

TEST_F(MqttBridgeTest, PublishesEveryPolledMachineStatisticsAndAvailability) {
    StartBridge(BridgeConfigText(false));
    ASSERT_TRUE(WaitMachine(1, kAny, sub_)) << bridge_.Stderr();
    ASSERT_TRUE(WaitMachine(2, kAny, sub_));
    ASSERT_TRUE(WaitMachine(3, kAny, sub_));
    const picojson::object m1 = Json(sub_.On(std::string(kBase) + "/1/1").back().payload);
    EXPECT_EQ(Num(m1, "status"), 2);
    EXPECT_EQ(Str(m1, "status_name"), "complete");
    EXPECT_EQ(Num(m1, "len"), 4);
    EXPECT_EQ(Str(m1, "hex"), "41 2D 4F 4B");
    EXPECT_EQ(Str(m1, "text"), "A-OK");
    EXPECT_EQ(Str(m1, "time").size(), std::string("2024-01-01T00:00:00.000000Z").size());
    EXPECT_GT(Num(m1, "cycle_us"), 0);
    const picojson::object m2 = Json(sub_.On(std::string(kBase) + "/1/2").back().payload);
    EXPECT_EQ(Num(m2, "status"), 4);
    EXPECT_EQ(Str(m2, "status_name"), "time-out");
    EXPECT_EQ(Num(m2, "len"), 0);
    const picojson::object m3 = Json(sub_.On(std::string(kBase) + "/1/3").back().payload);
    EXPECT_EQ(Str(m3, "hex"), "43 0D 0A 6C 69 6E 65");
    EXPECT_EQ(Str(m3, "text"), "C..line");
    // Statistics every second, with the machine that never answers counted as time-outs.
    ASSERT_TRUE(sub_.WaitFor(std::string(kBase) + "/1/stats", [](const MqttLine& l) {
        const picojson::object s = Json(l.payload);
        return Num(s, "cycles") > 0 && s.count("machines") != 0;
    }));
    const picojson::object stats = Json(sub_.On(std::string(kBase) + "/1/stats").back().payload);
    const picojson::object& machines = stats.at("machines").get<picojson::object>();
    EXPECT_GT(Num(machines.at("2").get<picojson::object>(), "timeouts"), 0);
    EXPECT_GT(Num(machines.at("1").get<picojson::object>(), "replies"), 0);
    EXPECT_GT(Num(stats.at("cycle_us").get<picojson::object>(), "max"), 0);

    // A subscriber that comes later sees the retained "online".
    MqttSubscriber late;
    ASSERT_TRUE(late.Start(std::string(kBase) + "/status", MqttBroker::kPort));
    ASSERT_TRUE(late.WaitFor(std::string(kBase) + "/status", [](const MqttLine& m) {
        return m.retained && m.payload == "online";
    }));
    // The silent machine fails every cycle; the channel stays open all the same.
    EXPECT_EQ(bridge_.Stderr().find("opening it again"), std::string::npos) << bridge_.Stderr();
    StopBridge();
    EXPECT_TRUE(sub_.WaitFor(std::string(kBase) + "/status",
                             [](const MqttLine& m) { return m.payload == "offline"; }));
    EXPECT_NE(bridge_.Stderr().find("<6>rs485mqtt: stopped"), std::string::npos)
        << bridge_.Stderr();
}

TEST_F(MqttBridgeTest, LastWillSaysOfflineWhenTheBridgeIsKilled) {
    // Machine 2's long time-out keeps the bridge inside a cycle almost all the time.
    std::string slow = kSilentMachine;
    slow.replace(slow.find("50"), 2, "1000");
    StartBridge(BridgeConfigText(false, slow));
    ASSERT_TRUE(WaitMachine(1, kAny, sub_)) << bridge_.Stderr();
    ASSERT_TRUE(bridge_.Signal(SIGKILL));
    ASSERT_TRUE(bridge_.Wait(10000));
    ASSERT_TRUE(sub_.WaitFor(std::string(kBase) + "/status",
                             [](const MqttLine& m) { return m.payload == "offline"; }));
    MqttSubscriber late;
    ASSERT_TRUE(late.Start(std::string(kBase) + "/status", MqttBroker::kPort));
    EXPECT_TRUE(late.WaitFor(std::string(kBase) + "/status", [](const MqttLine& m) {
        return m.retained && m.payload == "offline";
    }));
    // The killed bridge's answer is never collected; the daemon clears it and serves the
    // next client of the channel.
    const std::size_t before = sub_.On(std::string(kBase) + "/1/1").size();
    StartBridge(BridgeConfigText(false));
    EXPECT_TRUE(WaitStatusAfter(1, 2, before)) << bridge_.Stderr();
    StopBridge();
}

TEST_F(MqttBridgeTest, KeepsPollingWhileTheBrokerIsAwayAndRepublishesWhenItIsBack) {
    StartBridge(BridgeConfigText(false));
    ASSERT_TRUE(broker_.Stop());
    const std::string sim_log = std::string(kSandbox) + "/tty0.log";
    const int polled = CountLines(ReadFile(sim_log), "hex=41 3F");
    ASSERT_TRUE(
        WaitUntil([&] { return CountLines(ReadFile(sim_log), "hex=41 3F") > polled + 5; }, 20000))
        << bridge_.Stderr();
    ASSERT_TRUE(broker_.Start());
    // The broker forgot everything: "online" and the machines' state come from the bridge.
    MqttSubscriber after;
    ASSERT_TRUE(after.Start(std::string(kBase) + "/#", MqttBroker::kPort));
    EXPECT_TRUE(after.WaitFor(std::string(kBase) + "/status", [](const MqttLine& m) {
        return m.payload == "online";
    })) << bridge_.Stderr();
    EXPECT_TRUE(WaitMachine(
        1, [](const picojson::object& o) { return Str(o, "text") == "A-OK"; }, after));
    EXPECT_NE(bridge_.Stderr().find("<4>broker 127.0.0.1:18830: "), std::string::npos);
    StopBridge();
}

TEST_F(MqttBridgeTest, CommandsAreCheckedAndRefusalsGoToTheErrorTopic) {
    StartBridge(BridgeConfigText(true));
    const std::string error_topic = std::string(kBase) + "/error";
    ChildProcess pub;
    ASSERT_TRUE(pub.Start({"/usr/bin/mosquitto_pub", "-p", std::to_string(MqttBroker::kPort), "-t",
                           std::string(kBase) + "/1/set/request/1", "-m", "4G"},
                          std::string(kSandbox) + "/pub1.out",
                          std::string(kSandbox) + "/pub1.err"));
    ASSERT_TRUE(sub_.WaitFor(error_topic, [](const MqttLine& m) {
        return Str(Json(m.payload), "error").find("not a hex digit") != std::string::npos;
    })) << bridge_.Stderr();
    // A valid request reaches the line; the bridge went on polling.
    ChildProcess pub2;
    ASSERT_TRUE(pub2.Start({"/usr/bin/mosquitto_pub", "-p", std::to_string(MqttBroker::kPort), "-t",
                            std::string(kBase) + "/1/set/request/1", "-m", "41 21"},
                           std::string(kSandbox) + "/pub2.out",
                           std::string(kSandbox) + "/pub2.err"));
    EXPECT_TRUE(WaitUntil(
        [] {
            return ReadFile(std::string(kSandbox) + "/tty0.log").find("hex=41 21") !=
                   std::string::npos;
        },
        20000));
    StopBridge();

    // The same command where commands are disabled: refused, and the line never sees it.
    StartBridge(BridgeConfigText(false));
    ChildProcess pub3;
    ASSERT_TRUE(pub3.Start({"/usr/bin/mosquitto_pub", "-p", std::to_string(MqttBroker::kPort), "-t",
                            std::string(kBase) + "/1/set/request/1", "-m", "41 22"},
                           std::string(kSandbox) + "/pub3.out",
                           std::string(kSandbox) + "/pub3.err"));
    ASSERT_TRUE(sub_.WaitFor(error_topic, [](const MqttLine& m) {
        return Str(Json(m.payload), "error").find("commands are disabled") != std::string::npos;
    })) << bridge_.Stderr();
    EXPECT_EQ(ReadFile(std::string(kSandbox) + "/tty0.log").find("hex=41 22"), std::string::npos);
    EXPECT_TRUE(bridge_.Running());
    StopBridge();
}

// Every cycle succeeds until the daemon goes: only the library's failed call tells.
TEST_F(MqttBridgeTest, ReopensTheChannelWhenTheDaemonIsRestarted) {
    StartBridge(BridgeConfigText(false, ""));
    ASSERT_TRUE(WaitMachine(1, kAny, sub_));
    // As a service manager restarts it.
    RestartDaemonUnderTheBridge(SIGTERM);
    StopBridge();
}

// A silent machine fails every cycle, so the bridge must tell a dead daemon from it.
TEST_F(MqttBridgeTest, ReopensTheChannelWhenTheDaemonIsKilledAndStartedAgain) {
    StartBridge(BridgeConfigText(false));
    ASSERT_TRUE(WaitMachine(1, kAny, sub_));
    RestartDaemonUnderTheBridge(SIGKILL);
    StopBridge();
}

TEST(MqttBridgeCheck, RefusesAConfigurationWithErrorsNamingTheKey) {
    if (BridgeBin().empty()) {
        GTEST_SKIP() << "RS485MQTT_BIN is not set: the bridge was not built";
    }
    ConfigPlan plan;
    plan.lines.push_back({std::string(kSandbox) + "/tty0"});
    ASSERT_TRUE(InstallConfig(plan));
    const std::string conf = std::string(kSandbox) + "/check.conf";
    ASSERT_TRUE(WriteFile(conf, BridgeConfigText(false)));
    ChildProcess ok;
    ASSERT_TRUE(ok.Start({BridgeBin(), "--check", "--config", conf},
                         std::string(kSandbox) + "/check1.out",
                         std::string(kSandbox) + "/check1.err"));
    ASSERT_TRUE(ok.Wait(30000));
    EXPECT_EQ(ok.ExitStatus(), 0) << ok.Stderr();
    EXPECT_NE(ok.Stdout().find("machine  1: 8N1, delimiter etx, trailing 1, time-out 100 ms, "
                               "wait 0, request hex 41 3F -> plant/ctl1/1/1"),
              std::string::npos)
        << ok.Stdout();

    std::string bad = BridgeConfigText(false);
    bad.replace(bad.find("\"8N1\""), 5, "\"8X1\"");
    ASSERT_TRUE(WriteFile(conf, bad));
    ChildProcess refused;
    ASSERT_TRUE(refused.Start({BridgeBin(), "--check", "--config", conf},
                              std::string(kSandbox) + "/check2.out",
                              std::string(kSandbox) + "/check2.err"));
    ASSERT_TRUE(refused.Wait(30000));
    EXPECT_EQ(refused.ExitStatus(), 2);
    EXPECT_NE(refused.Stderr().find("channels[0].machines[0].format: invalid format \"8X1\""),
              std::string::npos)
        << refused.Stderr();
    EXPECT_EQ(refused.Stdout(), "");
}

// A channel that dwlib.conf does not describe could be opened but never attached, and a file
// that cannot be read is refused with the system's reason.
TEST(MqttBridgeCheck, RefusesAChannelOutsideDwlibConfAndNamesWhyAFileIsUnreadable) {
    if (BridgeBin().empty()) {
        GTEST_SKIP() << "RS485MQTT_BIN is not set: the bridge was not built";
    }
    ConfigPlan plan;
    plan.lines.push_back({std::string(kSandbox) + "/tty0"});
    ASSERT_TRUE(InstallConfig(plan));
    const std::string conf = std::string(kSandbox) + "/check3.conf";
    std::string second = BridgeConfigText(false);
    second.replace(second.find("\"channel\": 1"), 12, "\"channel\": 2");
    ASSERT_TRUE(WriteFile(conf, second));
    const auto check = [](const std::string& file, const std::string& name) {
        auto run = std::make_unique<ChildProcess>();
        EXPECT_TRUE(run->Start({BridgeBin(), "--check", "--config", file},
                               std::string(kSandbox) + "/" + name + ".out",
                               std::string(kSandbox) + "/" + name + ".err"));
        EXPECT_TRUE(run->Wait(30000));
        return run;
    };
    const auto outside = check(conf, "check3");
    EXPECT_EQ(outside->ExitStatus(), 2);
    EXPECT_NE(outside->Stderr().find("channel 2: not described by " + std::string(kLibConf)),
              std::string::npos)
        << outside->Stderr();
    EXPECT_EQ(outside->Stdout(), "");

    const auto missing = check(std::string(kSandbox) + "/no-such.conf", "check4");
    EXPECT_EQ(missing->ExitStatus(), 2);
    EXPECT_NE(missing->Stderr().find("cannot read the configuration file: No such file or "
                                     "directory"),
              std::string::npos)
        << missing->Stderr();
}

}  // namespace
