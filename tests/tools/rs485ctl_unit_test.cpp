// The parsing and formatting parts of rs485ctl, without a daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <picojson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ByteText.h"
#include "CommandLine.h"
#include "DirectionProbe.h"
#include "ExitCode.h"
#include "FrameFormat.h"
#include "MachineStats.h"
#include "NumberText.h"
#include "ReportWriter.h"

using namespace rs485ctl;
using namespace rs485tools;

namespace {

CommandLine::Outcome ParseArgs(CommandLine* cl, std::vector<std::string> args) {
    args.insert(args.begin(), "rs485ctl");
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    return cl->Parse(static_cast<int>(argv.size()), argv.data());
}

// Output of a ReportWriter collected in memory.
class Captured {
  public:
    Captured() : file_(open_memstream(&buf_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(buf_);
    }
    std::FILE* File() { return file_; }
    std::string Text() {
        std::fflush(file_);
        return std::string(buf_, size_);
    }

  private:
    char* buf_{nullptr};
    std::size_t size_{0};
    std::FILE* file_;
};

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

TEST(FrameFormatTest, FormatsMapToTheDriversBits) {
    struct Case {
        const char* text;
        uint8_t bits;
    } cases[] = {{"8N1", 0x03}, {"7E1", 0x12},   {"7O2", 0x3a},  {"8o1", 0x33},
                 {"5N2", 0x08}, {"6E1.5", 0x15}, {"0xff", 0xff}, {"59", 59}};
    for (const Case& c : cases) {
        uint8_t bits = 0;
        std::string error;
        ASSERT_TRUE(FrameFormat::Parse(c.text, &bits, &error)) << c.text << ": " << error;
        EXPECT_EQ(bits, c.bits) << c.text;
    }
}

TEST(FrameFormatTest, DescribeIsTheInverseOfParse) {
    for (const char* text : {"5N1", "6E2", "7O1", "8N2", "8E1.5", "8O1"}) {
        uint8_t bits = 0;
        std::string error;
        ASSERT_TRUE(FrameFormat::Parse(text, &bits, &error));
        EXPECT_EQ(FrameFormat::Describe(bits), text);
    }
    // The driver's initial value: 8 data bits, two stop bits, odd parity.
    EXPECT_EQ(FrameFormat::Describe(0xff), "8O1.5");
}

TEST(FrameFormatTest, RejectsMalformedFormats) {
    for (const char* text : {"", "9N1", "4N1", "8X1", "8N3", "8N", "256", "0x100", "8N1x"}) {
        uint8_t bits = 0x55;
        std::string error;
        EXPECT_FALSE(FrameFormat::Parse(text, &bits, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(bits, 0x55) << text;
    }
}

TEST(NumberTextTest, UnsignedDelimiterAndMachineList) {
    unsigned long v = 0;
    EXPECT_TRUE(NumberText::ParseUnsigned("0x1F", 255, &v));
    EXPECT_EQ(v, 31u);
    EXPECT_FALSE(NumberText::ParseUnsigned("256", 255, &v));
    EXPECT_FALSE(NumberText::ParseUnsigned("-1", 255, &v));
    EXPECT_FALSE(NumberText::ParseUnsigned("0x", 255, &v));
    EXPECT_FALSE(NumberText::ParseUnsigned("99999999999999999999", 255, &v));
    EXPECT_TRUE(NumberText::ParseUnsigned("0XfF", 255, &v));
    EXPECT_EQ(v, 255u);
    EXPECT_TRUE(NumberText::ParseUnsigned("0000000007", 255, &v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(NumberText::ParseUnsigned("00000000007", 255, &v));  // more than 10 digits
    for (const char* bad : {"", "+1", " 1", "1 ", "0x0x1", "0x-1", "12a", "0b1"}) {
        EXPECT_FALSE(NumberText::ParseUnsigned(bad, 255, &v)) << bad;
    }

    uint8_t d = 0;
    EXPECT_TRUE(NumberText::ParseDelimiter("none", &d));
    EXPECT_EQ(d, 1);
    EXPECT_TRUE(NumberText::ParseDelimiter("etx", &d));
    EXPECT_EQ(d, 3);
    EXPECT_TRUE(NumberText::ParseDelimiter("0x0d", &d));
    EXPECT_EQ(d, 13);
    EXPECT_FALSE(NumberText::ParseDelimiter("crlf", &d));

    int mask = 0;
    std::string error;
    EXPECT_TRUE(NumberText::ParseMachineList("1,3-5,15", &mask, &error));
    EXPECT_EQ(mask, 0x401d);
    EXPECT_TRUE(NumberText::ParseMachineList("all", &mask, &error));
    EXPECT_EQ(mask, 0x7fff);
    for (const char* bad : {"0", "16", "5-3", "1,,2", "", "1-", "x"}) {
        EXPECT_FALSE(NumberText::ParseMachineList(bad, &mask, &error)) << bad;
    }
}

TEST(ByteTextTest, HexAndTextRequests) {
    std::vector<uint8_t> b;
    std::string error;
    ASSERT_TRUE(ByteText::ParseHex("02 31:0x03,1c", &b, &error));
    EXPECT_EQ(b, (std::vector<uint8_t>{0x02, 0x31, 0x03, 0x1c}));
    ASSERT_TRUE(ByteText::ParseHex("", &b, &error));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(ByteText::ParseHex("023", &b, &error));
    EXPECT_FALSE(ByteText::ParseHex("0g", &b, &error));
    EXPECT_EQ(error, "invalid hex \"0g\": 'g' is not a hex digit");
    EXPECT_FALSE(ByteText::ParseHex("02 3g1", &b, &error));
    EXPECT_EQ(error, "invalid hex \"02 3g1\": 'g' is not a hex digit");
    EXPECT_FALSE(ByteText::ParseHex("02 031", &b, &error));
    EXPECT_EQ(error, "invalid hex \"02 031\": odd number of digits in a group");
    ASSERT_TRUE(ByteText::ParseHex("0XaBcD 0x", &b, &error));
    EXPECT_EQ(b, (std::vector<uint8_t>{0xab, 0xcd}));

    ASSERT_TRUE(ByteText::ParseText(R"(ID?\r\n\x03\\\0)", &b, &error));
    EXPECT_EQ(b, (std::vector<uint8_t>{'I', 'D', '?', '\r', '\n', 0x03, '\\', 0x00}));
    EXPECT_FALSE(ByteText::ParseText(R"(a\)", &b, &error));
    EXPECT_FALSE(ByteText::ParseText(R"(\x4)", &b, &error));
    EXPECT_FALSE(ByteText::ParseText(R"(\x4g)", &b, &error));
    EXPECT_FALSE(ByteText::ParseText(R"(\xg4)", &b, &error));
    ASSERT_TRUE(ByteText::ParseText(R"(\xfF\x0a)", &b, &error));
    EXPECT_EQ(b, (std::vector<uint8_t>{0xff, 0x0a}));
    EXPECT_FALSE(ByteText::ParseText(R"(\q)", &b, &error));

    const uint8_t reply[] = {'M', '1', 0x03, 0x1c, 0x7f, 0xff};
    EXPECT_EQ(ByteText::ToHex(reply, sizeof reply), "4D 31 03 1C 7F FF");
    EXPECT_EQ(ByteText::ToPrintable(reply, sizeof reply), "M1....");
    EXPECT_EQ(ByteText::ToHex(reply, 0), "");
}

TEST(CommandLineTest, DefaultsAndRequests) {
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"--hex", "1=3031", "--text", "3=ID?\\r"}), CommandLine::Outcome::kRun)
        << cl.Message();
    const CtlSettings& s = cl.Settings();
    EXPECT_EQ(s.channel, 1);
    EXPECT_EQ(s.baud_index, 3);
    EXPECT_FALSE(s.sniffer);
    EXPECT_EQ(s.machine_mask, 0x5);  // the machines with requests
    EXPECT_EQ(s.requests[0], Bytes("01"));
    EXPECT_EQ(s.requests[2], Bytes("ID?\r"));
    EXPECT_FALSE(s.has_request[1]);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.params[0].ctrl_bit, 0x03);
    EXPECT_EQ(s.params[0].delm_type, 1);
}

TEST(CommandLineTest, GlobalAndPerMachineParameters) {
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"-c",
                              "2",
                              "-b",
                              "5",
                              "--sniffer",
                              "-m",
                              "1-3",
                              "-f",
                              "7E1",
                              "-d",
                              "etx",
                              "--trailing",
                              "1",
                              "-t",
                              "250",
                              "-w",
                              "3",
                              "--set",
                              "2:format=8O2,delimiter=cr,timeout=40",
                              "--framing",
                              "12",
                              "--set",
                              "3:wait=9,framing=modbus-rtu"}),
              CommandLine::Outcome::kRun)
        << cl.Message();
    const CtlSettings& s = cl.Settings();
    EXPECT_EQ(s.channel, 2);
    EXPECT_EQ(s.baud_index, 5);
    EXPECT_TRUE(s.sniffer);
    EXPECT_EQ(s.machine_mask, 0x7);
    EXPECT_EQ(s.params[0].ctrl_bit, 0x12);
    EXPECT_EQ(s.params[0].delm_type, 3);
    EXPECT_EQ(s.params[0].len_after_delm, 1);
    EXPECT_EQ(s.params[0].time_out, 250);
    EXPECT_EQ(s.params[0].wait_time, 3);
    EXPECT_EQ(s.params[1].ctrl_bit, 0x3b);
    EXPECT_EQ(s.params[1].delm_type, 13);
    EXPECT_EQ(s.params[1].time_out, 40);
    EXPECT_EQ(s.params[2].wait_time, 9);
    EXPECT_EQ(s.params[0].reply_framing, RS485_REPLY_LENGTH);
    EXPECT_EQ(s.params[0].reply_length, 12);
    EXPECT_EQ(s.params[2].reply_framing, RS485_REPLY_MODBUS_RTU);
    EXPECT_EQ(s.params[2].reply_length, 0);
}

// A machine named in --set starts from the defaults, so a global --trailing never sticks to
// a delimiter of its own; repeated --set items for one machine add up.
TEST(CommandLineTest, SetStartsFromTheDefaultsNotTheGlobalOptions) {
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"-f", "7E1", "-d", "etx", "--trailing", "1", "-t", "250", "-w", "3",
                              "--hex", "1=01", "--hex", "2=02", "--set", "2:delimiter=cr", "--set",
                              "2:wait=9"}),
              CommandLine::Outcome::kRun)
        << cl.Message();
    const MachineParams& global = cl.Settings().params[0];
    EXPECT_EQ(global.ctrl_bit, 0x12);
    EXPECT_EQ(global.delm_type, 3);
    EXPECT_EQ(global.len_after_delm, 1);
    const MachineParams& own = cl.Settings().params[1];
    EXPECT_EQ(own.delm_type, 13);
    EXPECT_EQ(own.wait_time, 9);
    EXPECT_EQ(own.len_after_delm, 0);
    EXPECT_EQ(own.ctrl_bit, 0x03);
    EXPECT_EQ(own.time_out, 100);
}

// "all" is machines 1 to 15, with or without a request; the help and the warning say so.
TEST(CommandLineTest, AllMeansEveryMachine) {
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"-m", "all", "--hex", "2=01"}), CommandLine::Outcome::kRun);
    EXPECT_EQ(cl.Settings().machine_mask, 0x7fff);
    ASSERT_EQ(cl.Warnings().size(), 1U);
    EXPECT_NE(cl.Warnings()[0].find("machine 1, 3, 4"), std::string::npos) << cl.Warnings()[0];
    CommandLine help;
    ASSERT_EQ(ParseArgs(&help, {"--help"}), CommandLine::Outcome::kHelp);
    EXPECT_NE(help.Message().find("all for machines 1 to 15"), std::string::npos);
    EXPECT_NE(help.Message().find("starts from the defaults"), std::string::npos);
}

TEST(CommandLineTest, IntervalWithoutCountRepeatsUntilInterrupted) {
    CommandLine a;
    ASSERT_EQ(ParseArgs(&a, {"-m", "1", "-i", "100"}), CommandLine::Outcome::kRun);
    EXPECT_EQ(a.Settings().count, 0);
    EXPECT_EQ(a.Settings().interval_ms, 100);
    CommandLine b;
    ASSERT_EQ(ParseArgs(&b, {"-m", "1", "-i", "100", "-n", "5"}), CommandLine::Outcome::kRun);
    EXPECT_EQ(b.Settings().count, 5);
}

TEST(CommandLineTest, BadArgumentsAreReported) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                       // no machine
        {"-m", "1", "-b", "6"},                   // baud index out of range
        {"-m", "1", "-c", "0"},                   // channel 0
        {"-m", "16"},                             // machine out of range
        {"-m", "1", "-f", "8N3"},                 // stop bits
        {"-m", "1", "-d", "crlf"},                // delimiter
        {"--hex", "0=01"},                        // machine 0
        {"--hex", "1=0"},                         // odd hex
        {"--text", "1"},                          // no '='
        {"-m", "1", "--set", "1:speed=3"},        // unknown key
        {"-m", "1", "--set", "1:timeout=x"},      // bad value
        {"-m", "1", "--framing", "0"},            // reply length 0
        {"-m", "1", "--set", "1:framing=437"},    // reply longer than the area
        {"-m", "1", "--set", "1:framing=rtu"},    // unknown framing
        {"-m", "1", "-t", "40000"},               // time-out above 16 bits
        {"-m", "1", "--bogus"},                   // unknown option
        {"--hex", "1=" + std::string(130, 'a')},  // 65 bytes
    };
    for (const auto& args : bad) {
        CommandLine cl;
        EXPECT_EQ(ParseArgs(&cl, args), CommandLine::Outcome::kError)
            << (args.empty() ? "" : args.back());
        EXPECT_FALSE(cl.Message().empty());
    }
    CommandLine max;
    EXPECT_EQ(ParseArgs(&max, {"--hex", "1=" + std::string(128, 'a')}), CommandLine::Outcome::kRun);
}

TEST(CommandLineTest, HelpNamesTheOptionsAndExitCodes) {
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"--help"}), CommandLine::Outcome::kHelp);
    for (const char* word :
         {"--channel", "--baud", "--sniffer", "--machines", "--format", "--delimiter", "--trailing",
          "--timeout", "--wait", "--hex", "--text", "--count", "--interval", "--json",
          "3 daemon not running", "4 channel refused"}) {
        EXPECT_NE(cl.Message().find(word), std::string::npos) << word;
    }
}

TEST(MachineStatsTest, CountsByStatusAndCycleTimes) {
    MachineStats s;
    const uint32_t times[] = {500, 100, 300, 200, 400};
    const uint8_t statuses[] = {2, 2, 4, 24, 1};
    for (int i = 0; i < 5; ++i) {
        s.Record(statuses[i], times[i]);
    }
    EXPECT_EQ(s.Polls(), 5u);
    EXPECT_EQ(s.Replies(), 2u);
    EXPECT_EQ(s.Timeouts(), 1u);
    EXPECT_EQ(s.Errors(), 2u);
    EXPECT_EQ(s.MinUs(), 100u);
    EXPECT_EQ(s.MaxUs(), 500u);
    EXPECT_EQ(s.MedianUs(), 300u);
    s.Record(2, 1000);
    EXPECT_EQ(s.MedianUs(), 350u);  // even count: midpoint of 300 and 400
    EXPECT_EQ(MachineStats::StatusName(0), "not polled");
    EXPECT_EQ(MachineStats::StatusName(1), "selected");
    EXPECT_EQ(MachineStats::StatusName(2), "complete");
    EXPECT_EQ(MachineStats::StatusName(4), "time-out");
    EXPECT_EQ(MachineStats::StatusName(24), "read error");
    EXPECT_EQ(MachineStats::StatusName(7), "status 7");
}

TEST(MachineStatsTest, MedianWindowIsBounded) {
    MachineStats s;
    for (std::size_t i = 0; i < MachineStats::kMedianWindow; ++i) {
        s.Record(2, 10);
    }
    for (std::size_t i = 0; i < MachineStats::kMedianWindow; ++i) {
        s.Record(2, 1000);
    }
    EXPECT_EQ(s.MedianUs(), 1000u);
    EXPECT_EQ(s.MinUs(), 10u);
}

TEST(ReportWriterTest, TextShowsHexPrintableAndRunningCounts) {
    Captured out;
    ReportWriter w(out.File(), false, true);
    std::vector<MachineStats> stats(15);
    stats[0].Record(2, 12345);
    stats[1].Record(4, 12345);
    w.Cycle(1, true, 12345, {{1, 2, {'M', '1', 0x00}}, {2, 4, {}}}, stats);
    w.Summary(1, 0, 0x3, stats);
    const std::string text = out.Text();
    EXPECT_NE(text.find("cycle 1: ok, 12.345 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("machine  1  complete    len 3    hex 4D 31 00  text \"M1.\"  [replies 1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("machine  2  time-out    len 0    [replies 0, time-outs 1, errors 0]"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("statistics after 1 cycles (0 failed):"), std::string::npos) << text;
    EXPECT_NE(text.find("cycle ms min 12.345 median 12.345 max 12.345"), std::string::npos) << text;
}

TEST(ReportWriterTest, JsonLinesParseBack) {
    Captured out;
    ReportWriter w(out.File(), true, true);
    std::vector<MachineStats> stats(15);
    stats[2].Record(24, 2000);
    w.Cycle(7, false, 2000, {{3, 24, {'"', '\\', 0x01}}}, stats);
    w.Summary(7, 1, 0x4, stats);
    w.Error(3, "daemon not running");
    std::vector<picojson::value> lines;
    std::string text = out.Text();
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        picojson::value v;
        ASSERT_TRUE(picojson::parse(v, text.substr(start, nl - start)).empty()) << text;
        lines.push_back(v);
    }
    ASSERT_EQ(lines.size(), 3u);
    const auto& cycle = lines[0].get<picojson::object>();
    EXPECT_EQ(cycle.at("cycle").get<double>(), 7);
    EXPECT_FALSE(cycle.at("ok").get<bool>());
    const auto& m = cycle.at("machines").get<picojson::array>()[0].get<picojson::object>();
    EXPECT_EQ(m.at("status").get<double>(), 24);
    EXPECT_EQ(m.at("status_name").get<std::string>(), "read error");
    EXPECT_EQ(m.at("hex").get<std::string>(), "22 5C 01");
    EXPECT_EQ(m.at("text").get<std::string>(), "\"\\.");
    const auto& summary = lines[1].get<picojson::object>();
    EXPECT_EQ(summary.at("type").get<std::string>(), "summary");
    const auto& sm = summary.at("machines").get<picojson::array>()[0].get<picojson::object>();
    EXPECT_EQ(sm.at("machine").get<double>(), 3);
    EXPECT_EQ(sm.at("errors").get<double>(), 1);
    EXPECT_EQ(sm.at("cycle_us").get<picojson::object>().at("max").get<double>(), 2000);
    EXPECT_NE(text.find("\"cycle_us\":2000,"), std::string::npos) << text;
    EXPECT_EQ(lines[2].get<picojson::object>().at("exit_code").get<double>(), 3);
}

namespace {

// A pseudo-terminal has no RS-485 mode; the sandbox has the SPI tool's stand-in and the GPIO
// sysfs files, but no /dev/fpga.
TEST(DirectionProbeTest, PseudoTerminalReportsEveryMode) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    CommandLine cl;
    ASSERT_EQ(ParseArgs(&cl, {"--probe-direction", slave}), CommandLine::Outcome::kRun);
    ASSERT_EQ(cl.Settings().probe_device, slave);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(DirectionProbe::Run(slave, out), kExitOk);
    std::fclose(out);
    const std::string report(text, size);
    std::free(text);
    ::close(master);
    EXPECT_NE(report.find("  kernel      no   TIOCGRS485: "), std::string::npos) << report;
    EXPECT_NE(report.find("  rts-spi     no   "), std::string::npos) << report;
    EXPECT_NE(report.find("  auto        ?    not a USB serial adapter"), std::string::npos)
        << report;
    EXPECT_NE(report.find("  gpiod       "), std::string::npos) << report;
    EXPECT_EQ(DirectionProbe::Run("/var/local/sandbox/no-such-tty", stdout), kExitRunFailed);
}

}  // namespace
