// The configuration, command, back-off and payload parts of rs485mqtt, without a broker.
#include <gtest/gtest.h>
#include <picojson.h>

#include <string>

#include "Backoff.h"
#include "CommandHandler.h"
#include "ConfigLoader.h"
#include "PayloadWriter.h"

using namespace rs485mqtt;

namespace {

constexpr char kValid[] = R"({
  "broker": {"host": "127.0.0.1", "port": 1884, "qos": 1},
  "node": "ctl1", "topic_prefix": "plant/hall1", "commands_enabled": true,
  "channels": [{"channel": 2, "baud_index": 5, "cycle_period_ms": 200, "machines": [
    {"machine": 3, "format": "8E1", "delimiter": "etx", "trailing": 1, "request_hex": "41 3F"},
    {"machine": 1, "format": 3, "delimiter": 13, "time_out": 50, "framing": "modbus-rtu",
     "request_text": "B?\\r"}]}]
})";

// The error for kValid with one text replaced.
std::string ErrorFor(const std::string& from, const std::string& to) {
    std::string text = kValid;
    text.replace(text.find(from), from.size(), to);
    BridgeConfig c;
    std::string error;
    EXPECT_FALSE(ConfigLoader::Parse(text, &c, &error)) << text;
    return error;
}

}  // namespace

TEST(ConfigLoaderTest, ReadsEveryKeyWithDefaultsForTheRest) {
    BridgeConfig c;
    std::string error;
    ASSERT_TRUE(ConfigLoader::Parse(kValid, &c, &error)) << error;
    EXPECT_EQ(c.ClientId(), "rs485mqtt-ctl1");
    EXPECT_EQ(c.Base(), "plant/hall1/ctl1");
    EXPECT_EQ(c.broker.keep_alive_s, 30);
    ASSERT_EQ(c.broker.addresses.size(), 1u);
    EXPECT_EQ(c.broker.addresses[0].Text(), "127.0.0.1:1884");
    EXPECT_EQ(c.broker.protocol, MqttProtocol::kV311);
    EXPECT_EQ(c.broker.reconnect_delay_s, 1);
    EXPECT_EQ(c.broker.reconnect_delay_max_s, 30);
    EXPECT_EQ(c.statistics_interval_s, 60);
    ASSERT_EQ(c.channels.size(), 1u);
    const ChannelSettings& ch = c.channels[0];
    EXPECT_EQ(ch.MachineMask(), 0b101);
    // Machines in machine order, formats and delimiters by name or number.
    EXPECT_EQ(ch.machines[0].machine, 1);
    EXPECT_EQ(ch.machines[0].params.delm_type, 13);
    EXPECT_EQ(ch.machines[0].params.time_out, 50);
    EXPECT_EQ(ch.machines[0].request, (std::vector<uint8_t>{'B', '?', '\r'}));
    EXPECT_EQ(ch.machines[0].params.reply_framing, RS485_REPLY_MODBUS_RTU);
    EXPECT_EQ(ch.machines[1].params.reply_framing, RS485_REPLY_DELIMITED);
    EXPECT_EQ(ch.machines[1].params.ctrl_bit, 3 | 16);
    EXPECT_EQ(ch.machines[1].params.delm_type, 3);
    EXPECT_EQ(ch.machines[1].request, (std::vector<uint8_t>{0x41, 0x3F}));
}

TEST(ConfigLoaderTest, BrokerAddressesProtocolAndReconnectionDelays) {
    const auto broker = [](const std::string& keys, BrokerSettings* b) {
        std::string text = kValid;
        const std::string from = R"("host": "127.0.0.1", "port": 1884, "qos": 1)";
        text.replace(text.find(from), from.size(), keys);
        BridgeConfig c;
        std::string error;
        const bool ok = ConfigLoader::Parse(text, &c, &error);
        *b = c.broker;
        return ok ? std::string() : error;
    };
    BrokerSettings b;
    ASSERT_EQ(broker(R"("host": ["a.example:1885", "b.example", "[::1]:1886"], "port": 1884,)"
                     R"( "protocol": "mqtt5", "reconnect_delay": 2, "reconnect_delay_max": 60)",
                     &b),
              "");
    ASSERT_EQ(b.addresses.size(), 3u);
    EXPECT_EQ(b.addresses[0].Text(), "a.example:1885");
    EXPECT_EQ(b.addresses[1].Text(), "b.example:1884");
    EXPECT_EQ(b.addresses[2].Text(), "[::1]:1886");
    EXPECT_EQ(b.protocol, MqttProtocol::kV5);
    EXPECT_EQ(b.reconnect_delay_s, 2);
    EXPECT_EQ(b.reconnect_delay_max_s, 60);
    // The millisecond keys of earlier releases, rounded up to seconds.
    ASSERT_EQ(broker(R"("reconnect_min_ms": 100, "reconnect_max_ms": 2500)", &b), "");
    EXPECT_EQ(b.reconnect_delay_s, 1);
    EXPECT_EQ(b.reconnect_delay_max_s, 3);
    EXPECT_EQ(broker(R"("reconnect_min_ms": 100, "reconnect_delay": 1)", &b)
                  .rfind("broker.reconnect_min_ms: replaced by reconnect_delay", 0),
              0u);
    EXPECT_EQ(broker(R"("reconnect_delay": 9, "reconnect_delay_max": 3)", &b)
                  .rfind("broker.reconnect_delay: must not exceed", 0),
              0u);
    EXPECT_EQ(broker(R"("protocol": "mqtt4")", &b).rfind("broker.protocol: ", 0), 0u);
    EXPECT_EQ(broker(R"("host": [])", &b).rfind("broker.host: ", 0), 0u);
    EXPECT_EQ(broker(R"("host": ["a", 1])", &b).rfind("broker.host: ", 0), 0u);
    EXPECT_EQ(broker(R"("host": "a:0")", &b).rfind("broker.host: invalid port", 0), 0u);
    EXPECT_EQ(broker(R"("host": ":1883")", &b).rfind("broker.host: ", 0), 0u);
}

TEST(ConfigLoaderTest, ErrorsNameTheKey) {
    EXPECT_EQ(ErrorFor("\"8E1\"", "\"9X1\"").rfind("channels[0].machines[0].format: ", 0), 0u);
    EXPECT_EQ(ErrorFor("\"qos\": 1", "\"qos\": 3").rfind("broker.qos: ", 0), 0u);
    EXPECT_EQ(ErrorFor("\"port\"", "\"prot\"").rfind("broker.prot: unknown key", 0), 0u);
    EXPECT_EQ(ErrorFor("\"ctl1\"", "\"a/b\"").rfind("node: ", 0), 0u);
    EXPECT_EQ(ErrorFor("\"plant/hall1\"", "\"plant/#\"").rfind("topic_prefix: ", 0), 0u);
    EXPECT_EQ(
        ErrorFor("\"machine\": 1", "\"machine\": 3").rfind("channels[0].machines[1].machine: ", 0),
        0u);
    EXPECT_EQ(ErrorFor("\"41 3F\"", "\"4\"").rfind("channels[0].machines[0].request_hex: ", 0), 0u);
    EXPECT_EQ(
        ErrorFor("\"baud_index\": 5", "\"baud_index\": 9").rfind("channels[0].baud_index: ", 0),
        0u);
    EXPECT_EQ(ErrorFor("\"port\": 1884", "\"port\": 1884, \"password\": \"x\"")
                  .rfind("broker.password: ", 0),
              0u);
    EXPECT_EQ(ErrorFor("\"node\"", "\"nodes\"").rfind("nodes: unknown key", 0), 0u);
    EXPECT_EQ(ErrorFor("\"modbus-rtu\"", "0").rfind("channels[0].machines[1].framing: ", 0), 0u);
}

TEST(CommandHandlerTest, ChecksEveryCommandAgainstTheConfiguration) {
    BridgeConfig c;
    std::string why;
    ASSERT_TRUE(ConfigLoader::Parse(kValid, &c, &why)) << why;
    const CommandHandler handler(c);
    const std::string base = "plant/hall1/ctl1/";
    EXPECT_EQ(handler.Pattern(), base + "+/set/#");
    Command cmd;
    ASSERT_TRUE(handler.Parse(base + "2/set/request/3", "02 31 03", &cmd, &why)) << why;
    EXPECT_EQ(cmd.kind, Command::Kind::kRequest);
    EXPECT_EQ(cmd.machine, 3);
    EXPECT_EQ(cmd.request, (std::vector<uint8_t>{2, 0x31, 3}));
    ASSERT_TRUE(handler.Parse(base + "2/set/mask", "3", &cmd, &why)) << why;
    EXPECT_EQ(cmd.mask, 0b100);
    ASSERT_TRUE(handler.Parse(base + "2/set/mask", "all", &cmd, &why)) << why;
    EXPECT_EQ(cmd.mask, 0b101);
    ASSERT_TRUE(handler.Parse(base + "2/set/cycle-now", "", &cmd, &why)) << why;
    EXPECT_EQ(cmd.kind, Command::Kind::kCycleNow);

    const struct {
        std::string topic;
        std::string payload;
        std::string reason;
    } kBad[] = {
        {"1/set/cycle-now", "", "channel 1 is not configured"},
        {"2/set/request/2", "41", "machine 2 is not configured"},
        {"2/set/request/3", "4G", "not a hex digit"},
        {"2/set/request/3", std::string(std::size_t{65} * 2, '4'), "longer than 64"},
        {"2/set/request", "41", "needs a machine number"},
        {"2/set/mask", "1-2", "not configured"},
        {"2/set/reboot", "", "unknown command"},
        {"2/set//3", "41", "unknown command"},
    };
    for (const auto& bad : kBad) {
        EXPECT_FALSE(handler.Parse(base + bad.topic, bad.payload, &cmd, &why)) << bad.topic;
        EXPECT_NE(why.find(bad.reason), std::string::npos) << bad.topic << ": " << why;
    }
    c.commands_enabled = false;
    EXPECT_FALSE(handler.Parse(base + "2/set/cycle-now", "", &cmd, &why));
    EXPECT_NE(why.find("commands are disabled"), std::string::npos) << why;
}

TEST(BackoffTest, DoublesUpToTheMaximumAndStartsAgainAfterAReset) {
    Backoff b(500, 3000);
    EXPECT_EQ(b.Next(), 500);
    EXPECT_EQ(b.Next(), 1000);
    EXPECT_EQ(b.Next(), 2000);
    EXPECT_EQ(b.Next(), 3000);
    EXPECT_EQ(b.Next(), 3000);
    b.Reset();
    EXPECT_EQ(b.Next(), 500);
}

TEST(PayloadWriterTest, MachinePayloadCarriesStatusReplyAndCycleTimes) {
    CycleInfo cycle;
    cycle.channel = 2;
    cycle.ok = true;
    cycle.end = {1700000000, 123456000};
    cycle.cycle_us = 5400;
    rs485tools::MachineReply reply;
    reply.machine = 3;
    reply.status = 2;
    reply.data = {'A', '-', 'O', 'K', 3};
    picojson::value v;
    ASSERT_TRUE(picojson::parse(v, PayloadWriter::Machine(cycle, reply)).empty());
    const picojson::object& o = v.get<picojson::object>();
    EXPECT_EQ(o.at("channel").get<double>(), 2);
    EXPECT_EQ(o.at("machine").get<double>(), 3);
    EXPECT_EQ(o.at("status").get<double>(), 2);
    EXPECT_EQ(o.at("status_name").get<std::string>(), "complete");
    EXPECT_EQ(o.at("len").get<double>(), 5);
    EXPECT_EQ(o.at("hex").get<std::string>(), "41 2D 4F 4B 03");
    EXPECT_EQ(o.at("text").get<std::string>(), "A-OK.");
    EXPECT_EQ(o.at("time").get<std::string>(), "2023-11-14T22:13:20.123456Z");
    EXPECT_EQ(o.at("cycle_us").get<double>(), 5400);
    EXPECT_TRUE(o.at("cycle_ok").get<bool>());
}

TEST(PayloadWriterTest, StatisticsCountTheCyclesThatCouldNotRun) {
    ChannelStats stats;
    stats.RecordCycle(false, 1000, {{1, 4, {}}});
    stats.RecordMissed(3);
    picojson::value v;
    ASSERT_TRUE(picojson::parse(v, PayloadWriter::Stats(1, 60, {1700000000, 0}, stats)).empty());
    const picojson::object& o = v.get<picojson::object>();
    EXPECT_EQ(o.at("cycles").get<double>(), 1);
    EXPECT_EQ(o.at("failed_cycles").get<double>(), 1);
    EXPECT_EQ(o.at("missed_cycles").get<double>(), 3);
    stats.Clear();
    EXPECT_EQ(stats.Missed(), 0u);
}
