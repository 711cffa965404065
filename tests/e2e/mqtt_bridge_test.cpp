// rs485mqtt as a process between the real daemon with the bus simulator and a real mosquitto
// broker, watched by a real subscriber.
#include <gtest/gtest.h>
#include <picojson.h>

#include <chrono>
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
constexpr char kLineStatus[] = "plant/ctl1/1/status";

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

// Channel 1 as above with machines 1 and 3 every 100 ms; channel 2 a slow line whose one
// machine never answers within its time-out of 8 s, longer than 1.5 keep-alives of 5 s (the
// broker drops a client that sends nothing for that long).
std::string TwoLinesConfigText() {
    std::string text = BridgeConfigText(false, "");
    const std::string end = "]}]}";
    text.replace(text.rfind(end), end.size(),
                 R"(]}, {"channel": 2, "baud_index": 5, "cycle_period_ms": 100, "machines": [
    {"machine": 1, "delimiter": "etx", "time_out": 8000, "request_text": "B?"}]}]})");
    return text;
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
        // A second line for a slow channel, with the same machines.
        const std::string link2 = std::string(kSandbox) + "/tty1";
        sim2_ = new ChildProcess;
        ASSERT_TRUE(sim2_->Start({Env("RS485SIM_BIN"), "--link", link2, "--config",
                                  std::string(kSandbox) + "/machines.json", "--baud", "5",
                                  "--no-pacing", "--log", link2 + ".log"},
                                 link2 + ".out", link2 + ".err"));
        ASSERT_TRUE(WaitUntil([&] { return FileExists(link) && FileExists(link2); }, 10000));
        ConfigPlan plan;
        plan.lines.push_back({link, "none", 5, 15});
        plan.lines.push_back({link2, "none", 5, 15});
        ASSERT_TRUE(InstallConfig(plan));
        daemon_ = new Daemon;
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing(20000));
    }
    static void TearDownTestSuite() {
        delete daemon_;
        delete sim2_;
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
        const std::size_t statuses = sub_.On(kLineStatus).size();
        ASSERT_TRUE(daemon_->Process().Signal(signal));
        ASSERT_TRUE(daemon_->Process().Wait(20000));
        // A killed daemon's segments can be replaced only once no client is attached.
        ASSERT_TRUE(WaitUntil(
            [&] { return bridge_.Stderr().find("opening it again") != std::string::npos; }, 20000))
            << bridge_.Stderr();
        ASSERT_TRUE(WaitStatus(kLineStatus, "down", statuses));
        const std::size_t downs = sub_.On(kLineStatus).size();
        ASSERT_TRUE(daemon_->Start());
        ASSERT_TRUE(daemon_->WaitServing(20000)) << daemon_->NewLog();
        ASSERT_TRUE(WaitUntil(
            [&] { return CountLines(bridge_.Stderr(), "channel 1: open") > opened; }, 20000))
            << bridge_.Stderr();
        EXPECT_TRUE(WaitStatus(kLineStatus, "up", downs)) << bridge_.Stderr();
        EXPECT_TRUE(WaitStatusAfter(1, 2, sub_.On(std::string(kBase) + "/1/1").size()));
        EXPECT_TRUE(WaitStatusAfter(3, 2, sub_.On(std::string(kBase) + "/1/3").size()));
    }

    // Waits until topic has payload among the messages after the first `after`.
    bool WaitStatus(const std::string& topic, const std::string& payload, std::size_t after,
                    int timeout_ms = 20000) {
        return WaitUntil(
            [&] {
                const std::vector<MqttLine> lines = sub_.On(topic);
                for (std::size_t i = after; i < lines.size(); ++i) {
                    if (lines[i].payload == payload) {
                        return true;
                    }
                }
                return false;
            },
            timeout_ms);
    }

    // SIGTERM: "offline" goes out and the bridge ends with status 0.
    void StopBridge() {
        ASSERT_TRUE(bridge_.Signal(SIGTERM));
        ASSERT_TRUE(bridge_.Wait(10000));
        EXPECT_EQ(bridge_.ExitStatus(), 0) << bridge_.Stderr();
    }

    static ChildProcess* sim_;
    static ChildProcess* sim2_;
    static Daemon* daemon_;
    MqttBroker broker_;
    MqttSubscriber sub_;
    ChildProcess bridge_;
    int runs_{0};
};

ChildProcess* MqttBridgeTest::sim_ = nullptr;
ChildProcess* MqttBridgeTest::sim2_ = nullptr;
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

// Cycles 3 s apart: the daemon's end is seen between two cycles.
TEST_F(MqttBridgeTest, LineGoesDownWithinTwoSecondsWhenTheDaemonIsKilledAndUpWhenItIsBack) {
    std::string config = BridgeConfigText(false);
    config.replace(config.find("\"cycle_period_ms\": 100"), 22, "\"cycle_period_ms\": 3000");
    StartBridge(config);
    ASSERT_TRUE(WaitStatus(kLineStatus, "up", 0)) << bridge_.Stderr();
    ASSERT_TRUE(WaitMachine(3, kAny, sub_));
    const std::size_t statuses = sub_.On(kLineStatus).size();
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon_->Process().Signal(SIGKILL));
    ASSERT_TRUE(WaitStatus(kLineStatus, "down", statuses, 10000)) << bridge_.Stderr();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - killed)
                        .count();
    EXPECT_LT(ms, 2000) << bridge_.Stderr();
    EXPECT_TRUE(sub_.WaitFor(std::string(kBase) + "/error", [](const MqttLine& m) {
        const picojson::object e = Json(m.payload);
        return Str(e, "topic") == kLineStatus && Str(e, "error").find("dwmid") != std::string::npos;
    }));
    // A retained "down" for whoever looks later; the bridge itself stays "online".
    MqttSubscriber late;
    ASSERT_TRUE(late.Start(std::string(kBase) + "/+/status", MqttBroker::kPort));
    EXPECT_TRUE(late.WaitFor(kLineStatus,
                             [](const MqttLine& m) { return m.retained && m.payload == "down"; }));
    EXPECT_EQ(sub_.On(std::string(kBase) + "/status").back().payload, "online");
    // The cycles that came due meanwhile are counted.
    EXPECT_TRUE(sub_.WaitFor(std::string(kBase) + "/1/stats", [](const MqttLine& m) {
        return Num(Json(m.payload), "missed_cycles") > 0;
    })) << bridge_.Stderr();
    ASSERT_TRUE(daemon_->Process().Wait(20000));
    const std::size_t downs = sub_.On(kLineStatus).size();
    ASSERT_TRUE(daemon_->Start());
    ASSERT_TRUE(daemon_->WaitServing(20000)) << daemon_->NewLog();
    EXPECT_TRUE(WaitStatus(kLineStatus, "up", downs)) << bridge_.Stderr();
    StopBridge();
}

TEST_F(MqttBridgeTest, ASlowLineDelaysNeitherAnotherLineNorTheBrokerConnection) {
    StartBridge(TwoLinesConfigText());
    const std::size_t fast = sub_.On(std::string(kBase) + "/1/1").size();
    // The first cycle of channel 2 lasts 8 s.
    ASSERT_TRUE(sub_.WaitFor(
        std::string(kBase) + "/2/1", [](const MqttLine& m) { return !m.payload.empty(); }, 30000))
        << bridge_.Stderr();
    // Channel 1 went on at its period of 100 ms: about 80 cycles, at least half of them here
    // on a loaded machine.
    EXPECT_GT(sub_.On(std::string(kBase) + "/1/1").size() - fast, 40u);
    EXPECT_EQ(Num(Json(sub_.On(std::string(kBase) + "/2/1").back().payload), "status"), 4);
    // One connection all along: the keep-alive went out during the slow cycle.
    EXPECT_EQ(CountLines(broker_.Process().Stderr(), "as rs485mqtt-ctl1 ("), 1)
        << broker_.Process().Stderr();
    EXPECT_EQ(CountLines(bridge_.Stderr(), ": connected"), 1) << bridge_.Stderr();
    // The bridge ends at once, also in the middle of the next slow cycle.
    StopBridge();
}

TEST_F(MqttBridgeTest, TriesTheNextBrokerAddressAndSpeaksMqtt5) {
    std::string config = BridgeConfigText(false);
    const std::string host = "\"host\": \"127.0.0.1\", \"port\": 18830";
    config.replace(config.find(host), host.size(),
                   R"("host": ["127.0.0.1:18839", "127.0.0.1"], "port": 18830,)"
                   R"( "protocol": "mqtt5", "reconnect_delay": 1)");
    const std::string old_key = ", \"reconnect_min_ms\": 100";
    config.erase(config.find(old_key), old_key.size());
    StartBridge(config);
    EXPECT_NE(bridge_.Stderr().find("<4>broker 127.0.0.1:18839: no connection for 4 s; trying "
                                    "127.0.0.1:18830"),
              std::string::npos)
        << bridge_.Stderr();
    // "p5": the broker's word for an MQTT 5 client.
    EXPECT_NE(broker_.Process().Stderr().find("as rs485mqtt-ctl1 (p5"), std::string::npos)
        << broker_.Process().Stderr();
    ASSERT_TRUE(WaitMachine(1, kAny, sub_));
    MqttSubscriber late;
    ASSERT_TRUE(late.Start(std::string(kBase) + "/+/status", MqttBroker::kPort));
    EXPECT_TRUE(late.WaitFor(kLineStatus,
                             [](const MqttLine& m) { return m.retained && m.payload == "up"; }));
    StopBridge();
    EXPECT_TRUE(sub_.WaitFor(std::string(kBase) + "/status",
                             [](const MqttLine& m) { return m.payload == "offline"; }));
}

// rs485ctl --json and the bridge write machine 1's reply with the same members and values.
TEST_F(MqttBridgeTest, BridgeAndRs485ctlWriteAReplyInOneSchema) {
    ChildProcess ctl;
    ASSERT_TRUE(ctl.Start(
        {Env("RS485CTL_BIN", Env("RS485_BINARY_DIR") + "/tools/rs485ctl/rs485ctl"), "-c", "1", "-b",
         "5", "-f", "8N1", "-d", "etx", "--trailing", "1", "--hex", "1=41 3F", "-n", "1", "--json"},
        std::string(kSandbox) + "/ctl.out", std::string(kSandbox) + "/ctl.err"));
    ASSERT_TRUE(ctl.Wait(30000));
    ASSERT_EQ(ctl.ExitStatus(), 0) << ctl.Stdout() << ctl.Stderr();
    const picojson::object cycle = Json(ctl.Stdout().substr(0, ctl.Stdout().find('\n')));
    ASSERT_EQ(cycle.count("machines"), 1u) << ctl.Stdout();
    const picojson::object from_ctl =
        cycle.at("machines").get<picojson::array>().at(0).get<picojson::object>();

    StartBridge(BridgeConfigText(false, ""));
    ASSERT_TRUE(WaitMachine(1, kAny, sub_)) << bridge_.Stderr();
    picojson::object from_bridge = Json(sub_.On(std::string(kBase) + "/1/1").back().payload);
    StopBridge();
    // What only the bridge writes: where and when.
    for (const char* key : {"channel", "time", "cycle_us", "cycle_ok"}) {
        EXPECT_EQ(from_bridge.erase(key), 1u) << key;
    }
    EXPECT_EQ(picojson::value(from_bridge).serialize(), picojson::value(from_ctl).serialize());
    EXPECT_EQ(Str(from_ctl, "hex"), "41 2D 4F 4B");
    EXPECT_EQ(Str(from_ctl, "status_name"), "complete");
}

// rs485ctl on the bridge's channel with other framing, other machines and another speed: the
// bridge publishes exactly what it published before, and rs485ctl gets its own replies.
TEST_F(MqttBridgeTest, Rs485ctlBesideTheBridgeChangesNothingTheBridgePublishes) {
    StartBridge(BridgeConfigText(false));
    ASSERT_TRUE(WaitMachine(3, kAny, sub_)) << bridge_.Stderr();
    const std::string topic = std::string(kBase) + "/1/";
    const std::size_t from[] = {sub_.On(topic + "1").size(), sub_.On(topic + "2").size(),
                                sub_.On(topic + "3").size()};
    ChildProcess ctl;
    ASSERT_TRUE(ctl.Start(
        {Env("RS485CTL_BIN", Env("RS485_BINARY_DIR") + "/tools/rs485ctl/rs485ctl"), "-c", "1", "-b",
         "4", "-d", "none", "-t", "100", "--hex", "1=41 3F", "-n", "5", "-i", "150"},
        std::string(kSandbox) + "/beside.out", std::string(kSandbox) + "/beside.err"));
    ASSERT_TRUE(ctl.Wait(60000));
    EXPECT_EQ(ctl.ExitStatus(), 0) << ctl.Stdout() << ctl.Stderr();
    // Ended by silence, rs485ctl's reply keeps the ETX and the byte after it.
    EXPECT_EQ(CountLines(ctl.Stdout(), "machine  1  complete    len 6    hex 41 2D 4F 4B 03 1C"), 5)
        << ctl.Stdout();
    // The bridge's cycles after rs485ctl's last one, too.
    const std::size_t after = sub_.On(topic + "1").size();
    ASSERT_TRUE(WaitUntil([&] { return sub_.On(topic + "1").size() > after + 2; }, 20000));
    StopBridge();
    const std::string expected[] = {"2 complete 4 41 2D 4F 4B", "4 time-out 0 ",
                                    "2 complete 7 43 0D 0A 6C 69 6E 65"};
    for (int m = 0; m < 3; ++m) {
        const std::vector<MqttLine> lines = sub_.On(topic + std::to_string(m + 1));
        ASSERT_GT(lines.size(), from[m] + 2) << m + 1;
        for (std::size_t i = from[m]; i < lines.size(); ++i) {
            const picojson::object o = Json(lines[i].payload);
            const std::string seen =
                std::to_string(static_cast<int>(Num(o, "status"))) + " " + Str(o, "status_name") +
                " " + std::to_string(static_cast<int>(Num(o, "len"))) + " " + Str(o, "hex");
            EXPECT_EQ(seen, expected[m]) << "machine " << m + 1 << ": " << lines[i].payload;
        }
    }
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
