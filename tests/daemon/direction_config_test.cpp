// The direction-control keys of a line as the daemon reads and checks them, and the latency
// timer of a USB serial adapter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "DirectionConfig.h"
#include "SettingStore.h"
#include "TestSupport.h"
#include "UsbSerialLatency.h"

using testsupport::WriteFile;
using veldw485::line::DirectionConfig;
using veldw485::line::DirectionMode;
using veldw485::line::DirectionSettings;
using veldw485::line::EchoMode;
using veldw485::line::UsbSerialLatency;

namespace {

constexpr char kConf[] = "/var/local/sandbox/direction_test.conf";

// A store with one line per entry of keys, each given after "device" and "baudrate".
std::unique_ptr<vel::settings::SettingStore> Store(const std::vector<std::string>& keys) {
    std::string lines;
    for (const std::string& k : keys) {
        lines += std::string(lines.empty() ? "" : ",\n") +
                 R"({"device": "/dev/ttyS1", "baudrate": 3, "max_machine": 15)" +
                 (k.empty() ? "" : ", ") + k + "}";
    }
    EXPECT_TRUE(WriteFile(kConf, R"({"order_conn": {}, "log": {}, "line": [)" + lines + "]}"));
    return std::make_unique<vel::settings::SettingStore>(kConf, true);
}

TEST(DirectionConfig, DeLineAloneAndEveryModeWithItsKeys) {
    const auto store = Store({
        R"("de_line": "none")",
        R"("de_line": "gpio86")",
        R"("de_line": "none", "direction": "gpio-sysfs", "echo": "bogus")",
        R"("direction": "kernel", "rts_on_send": "low", "delay_before_send_ms": 100,
           "delay_after_send_ms": 0, "rx_during_tx": true, "echo": "verify")",
        R"("direction": "auto", "echo": "discard", "gpio_chip": 7)",
        R"("direction": "gpiod", "gpio_chip": "/dev/gpiochip1", "gpio_line": "DE1")",
        R"("direction": "gpiod", "gpio_chip": "gpiochip0", "gpio_line": 17,
           "gpio_active": "low")",
    });
    // A line with "direction" needs no "de_line".
    ASSERT_EQ(store->getConfLineNum(), 7);
    DirectionSettings s[7];
    for (int i = 0; i < 7; ++i) {
        std::string key;
        std::string reason;
        ASSERT_TRUE(DirectionConfig::Read(*store, i, &s[i], &key, &reason))
            << i << ": " << key << " " << reason;
    }
    EXPECT_EQ(s[0].mode, DirectionMode::kRtsSpi);
    EXPECT_TRUE(s[0].from_de_line);
    EXPECT_EQ(s[1].mode, DirectionMode::kGpioSysfs);
    EXPECT_TRUE(s[1].from_de_line);
    // "direction" overrides "de_line"; keys of other modes are not read.
    EXPECT_EQ(s[2].mode, DirectionMode::kGpioSysfs);
    EXPECT_FALSE(s[2].from_de_line);
    EXPECT_EQ(s[3].mode, DirectionMode::kKernel);
    EXPECT_FALSE(s[3].rts_high_on_send);
    EXPECT_EQ(s[3].delay_before_send_ms, 100);
    EXPECT_EQ(s[3].delay_after_send_ms, 0);
    EXPECT_TRUE(s[3].rx_during_tx);
    EXPECT_EQ(s[3].echo, EchoMode::kVerify);
    EXPECT_EQ(s[4].mode, DirectionMode::kAuto);
    EXPECT_EQ(s[4].echo, EchoMode::kDiscard);
    EXPECT_EQ(s[5].gpio_chip, "/dev/gpiochip1");
    EXPECT_EQ(s[5].gpio_line, "DE1");
    EXPECT_FALSE(s[5].gpio_active_low);
    EXPECT_EQ(s[6].gpio_line, "17");
    EXPECT_TRUE(s[6].gpio_active_low);
}

TEST(DirectionConfig, UnknownValuesWrongTypesAndMissingKeysAreRefusedByName) {
    const struct {
        const char* keys;
        const char* key;
        const char* reason;
    } cases[] = {
        {R"("direction": "Kernel")", "direction",
         "unknown value \"Kernel\" : must be rts-spi, gpio-sysfs, kernel, auto, gpiod"},
        {R"("de_line": "none", "direction": 1)", "direction", "not a string"},
        {R"("direction": "kernel", "rts_on_send": "up")", "rts_on_send", "unknown value \"up\""},
        {R"("direction": "kernel", "delay_before_send_ms": 101)", "delay_before_send_ms",
         "from 0 to 100"},
        {R"("direction": "kernel", "delay_after_send_ms": 2.5)", "delay_after_send_ms",
         "whole number"},
        {R"("direction": "kernel", "rx_during_tx": "no")", "rx_during_tx", "true or false"},
        {R"("direction": "auto", "echo": "drop")", "echo", "must be none, discard, verify"},
        {R"("direction": "gpiod", "gpio_line": 3)", "gpio_chip", "missing"},
        {R"("direction": "gpiod", "gpio_chip": "gpiochip0")", "gpio_line", "missing"},
        {R"("direction": "gpiod", "gpio_chip": "gpiochip0", "gpio_line": -1)", "gpio_line",
         "offset"},
        {R"("direction": "gpiod", "gpio_chip": "", "gpio_line": 1)", "gpio_chip", "non-empty"},
        {R"("direction": "gpiod", "gpio_chip": "c", "gpio_line": 1, "gpio_active": 0)",
         "gpio_active", "not a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        const auto store = Store({c.keys});
        ASSERT_EQ(store->getConfLineNum(), 1);
        DirectionSettings s;
        std::string key;
        std::string reason;
        EXPECT_FALSE(DirectionConfig::Read(*store, 0, &s, &key, &reason));
        EXPECT_EQ(key, c.key);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST(UsbSerialLatency, TimerOfTheAdapterBehindTheDeviceOrNone) {
    const std::string root = "/var/local/sandbox/usb-serial";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/ttyUSB0").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(root + "/ttyUSB0/latency_timer", "16\n"));
    ASSERT_TRUE(WriteFile("/var/local/sandbox/ttyUSB0", ""));
    // A link (as in /dev/serial/by-id) is followed to the device itself.
    ASSERT_EQ(::symlink("/var/local/sandbox/ttyUSB0", "/var/local/sandbox/adapter"), 0);
    EXPECT_EQ(UsbSerialLatency::Millis("/var/local/sandbox/adapter", root), 16);
    EXPECT_EQ(UsbSerialLatency::Millis("/dev/null", root), -1);
    EXPECT_EQ(UsbSerialLatency::Millis("/var/local/sandbox/missing", root), -1);
}

}  // namespace
