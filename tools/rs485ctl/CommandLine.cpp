#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <array>

#include "ByteText.h"
#include "FrameFormat.h"
#include "NumberText.h"

namespace rs485ctl {

using rs485tools::ByteText;
using rs485tools::FrameFormat;
using rs485tools::NumberText;

namespace {

constexpr char kFooter[] = R"(Requests:
  --hex 1=023103 --text 2='ID?\r'   request for machine 1 in hex, for machine 2 as text
A machine named in --set starts from the defaults (8N1, delimiter none,
trailing 0, timeout 100, wait 0), not from the global options; only the keys
given change, so its framing never mixes with the global one:
  --set 2:format=7E1,timeout=300,delimiter=cr,trailing=0,wait=5
  --set 3:framing=modbus-rtu --set 4:framing=12
Without --machines, the machines that have a request take part; --machines all
means machines 1 to 15, and those without a request are polled with an empty one.

Exit status: 0 success; 1 a cycle failed (a polled machine timed out or had a
read error) or a request was refused; 2 bad arguments;
3 daemon not running; 4 channel refused; 5 shared memory not attached.)";

constexpr char kDelimiterForms[] = "a byte 0..255 (decimal or 0x..), cr, lf, etx, eot or none";
constexpr char kFramingForms[] = "delimited, modbus-rtu or a reply length 1..436";

// "M=VALUE" or "M:VALUE" with M a machine number 1..15.
bool SplitMachineItem(const std::string& item, char sep, int* machine, std::string* value) {
    const std::size_t pos = item.find(sep);
    unsigned long m = 0;
    if (pos == std::string::npos ||
        !NumberText::ParseUnsigned(item.substr(0, pos), RS485_MACHINE_COUNT, &m) || m < 1) {
        return false;
    }
    *machine = static_cast<int>(m);
    *value = item.substr(pos + 1);
    return true;
}

bool SetParam(MachineParams* p, const std::string& key, const std::string& value,
              std::string* error) {
    unsigned long v = 0;
    if (key == "format") {
        return FrameFormat::Parse(value, &p->ctrl_bit, error);
    }
    if (key == "delimiter") {
        if (NumberText::ParseDelimiter(value, &p->delm_type)) {
            return true;
        }
        *error = "invalid delimiter \"" + value + "\" (" + kDelimiterForms + ")";
        return false;
    }
    if (key == "framing") {
        if (NumberText::ParseFraming(value, &p->reply_framing, &p->reply_length)) {
            return true;
        }
        *error = "invalid framing \"" + value + "\" (" + kFramingForms + ")";
        return false;
    }
    if (key == "timeout") {
        if (NumberText::ParseUnsigned(value, 32767, &v)) {
            p->time_out = static_cast<short>(v);
            return true;
        }
    } else if (key == "trailing") {
        if (NumberText::ParseUnsigned(value, 255, &v)) {
            p->len_after_delm = static_cast<uint8_t>(v);
            return true;
        }
    } else if (key == "wait") {
        if (NumberText::ParseUnsigned(value, 255, &v)) {
            p->wait_time = static_cast<uint8_t>(v);
            return true;
        }
    } else {
        *error = "unknown machine parameter \"" + key +
                 "\" (format, timeout, delimiter, trailing, wait, framing)";
        return false;
    }
    *error = "invalid value \"" + value + "\" for " + key;
    return false;
}

}  // namespace

CommandLine::Outcome CommandLine::Parse(int argc, const char* const* argv) {
    CLI::App app{
        "Commissioning and diagnosis of the RS-485 lines served by dwmid: opens a channel, "
        "sets the machines' parameters, deposits requests and runs communication cycles.",
        "rs485ctl"};
    app.footer(kFooter);
    std::string machines;
    std::string format = "8N1";
    std::string delimiter = "none";
    std::string framing = "delimited";
    int trailing = 0;
    int timeout = settings_.params[0].time_out;
    int wait = 0;
    std::vector<std::string> sets;
    std::vector<std::string> hex;
    std::vector<std::string> text;

    app.add_option("-c,--channel", settings_.channel, "Channel, 1-based")
        ->check(CLI::Range(1, 255))
        ->capture_default_str();
    app.add_option("-b,--baud", settings_.baud_index,
                   "Baud-rate index: 0=1200 1=2400 2=4800 3=9600 4=19200 5=38400")
        ->check(CLI::Range(0, 5))
        ->capture_default_str();
    app.add_flag("--sniffer", settings_.sniffer, "Open the channel in sniffer mode");
    app.add_option("-m,--machines", machines,
                   "Machines taking part, e.g. 1,3-5, or all for machines 1 to 15");
    app.add_option("-f,--format", format, "Character format: 8N1, 7E1, 8O2, ... or 0..255")
        ->capture_default_str();
    app.add_option("-d,--delimiter", delimiter,
                   "Reply delimiter byte (0..255, 0x.., cr, lf, etx, eot) or none")
        ->capture_default_str();
    app.add_option("--framing", framing,
                   "How a reply ends: delimited (by --delimiter or silence), modbus-rtu (its "
                   "function code gives the length, the CRC is checked) or a reply length "
                   "1..436")
        ->capture_default_str();
    app.add_option("--trailing", trailing, "Bytes that follow the delimiter")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("-t,--timeout", timeout, "Reply time-out in milliseconds of silence")
        ->check(CLI::Range(0, 32767))
        ->capture_default_str();
    app.add_option("-w,--wait", wait, "Wait before each request, in units of 4 ms")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--set", sets,
                   "Parameters of machine M, starting from the defaults instead of the global "
                   "options: M:key=value[,key=value]");
    app.add_option("-x,--hex", hex, "Request in hex for machine M: M=HEX");
    app.add_option("-s,--text", text, "Request as text for machine M: M=TEXT (\\r \\n \\xHH)");
    CLI::Option* count = app.add_option("-n,--count", settings_.count,
                                        "Number of cycles; 0 repeats until interrupted")
                             ->check(CLI::Range(0L, 1000000000L));
    app.add_option("-i,--interval", settings_.interval_ms,
                   "Start a cycle every N ms (default: one cycle, or back to back)")
        ->check(CLI::Range(1L, 86400000L));
    app.add_flag("--json", settings_.json,
                 "JSON Lines: one JSON object per line, per cycle, then a summary");
    app.add_flag("--trace", settings_.trace, "Show the library's trace lines on stderr");
    app.add_option("--probe-direction", settings_.probe_device,
                   "Only report which direction modes of dwmid the tty DEVICE supports");
    app.add_flag("--users", settings_.users,
                 "Only list the processes that use the channel: their machines, speed, "
                 "requests and last cycle");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        message_ = app.help();
        return Outcome::kHelp;
    } catch (const CLI::ParseError& e) {
        message_ = e.what();
        return Outcome::kError;
    }
    if (!settings_.probe_device.empty() || settings_.users) {
        return Outcome::kRun;
    }
    if (settings_.interval_ms > 0 && count->count() == 0) {
        settings_.count = 0;
    }

    MachineParams global;
    global.time_out = static_cast<short>(timeout);
    global.len_after_delm = static_cast<uint8_t>(trailing);
    global.wait_time = static_cast<uint8_t>(wait);
    if (!FrameFormat::Parse(format, &global.ctrl_bit, &message_)) {
        return Outcome::kError;
    }
    if (!NumberText::ParseDelimiter(delimiter, &global.delm_type)) {
        message_ = "invalid delimiter \"" + delimiter + "\" (" + kDelimiterForms + ")";
        return Outcome::kError;
    }
    if (!NumberText::ParseFraming(framing, &global.reply_framing, &global.reply_length)) {
        message_ = "invalid framing \"" + framing + "\" (" + kFramingForms + ")";
        return Outcome::kError;
    }
    settings_.params.fill(global);
    if (!_applyMachineOptions(sets) || !_applyRequests(hex, true) || !_applyRequests(text, false)) {
        return Outcome::kError;
    }
    if (!machines.empty()) {
        if (!NumberText::ParseMachineList(machines, &settings_.machine_mask, &message_)) {
            return Outcome::kError;
        }
    } else {
        for (int m = 0; m < RS485_MACHINE_COUNT; ++m) {
            if (settings_.has_request[m]) {
                settings_.machine_mask |= 1 << m;
            }
        }
    }
    if (settings_.machine_mask == 0) {
        message_ = "no machine selected: give --machines or a request (--hex, --text)";
        return Outcome::kError;
    }
    _warnMachinesWithoutRequest();
    return Outcome::kRun;
}

void CommandLine::_warnMachinesWithoutRequest() {
    std::string list;
    for (int m = 0; m < RS485_MACHINE_COUNT; ++m) {
        if ((settings_.machine_mask & (1 << m)) != 0 && !settings_.has_request[m]) {
            list += (list.empty() ? "" : ", ") + std::to_string(m + 1);
        }
    }
    if (!list.empty() && !settings_.sniffer) {
        warnings_.push_back("machine " + list +
                            " selected without a request (--hex, --text): polled with an "
                            "empty request");
    }
}

bool CommandLine::_applyMachineOptions(const std::vector<std::string>& sets) {
    std::array<bool, RS485_MACHINE_COUNT> reset{};
    for (const std::string& item : sets) {
        int machine = 0;
        std::string rest;
        if (!SplitMachineItem(item, ':', &machine, &rest)) {
            message_ = "invalid --set \"" + item + "\" (expected M:key=value[,key=value])";
            return false;
        }
        // A machine named in --set starts from the defaults: a delimiter of its own with a
        // global --trailing would wait for bytes that never come or end a reply early.
        if (!reset[machine - 1]) {
            settings_.params[machine - 1] = MachineParams{};
            reset[machine - 1] = true;
        }
        std::size_t start = 0;
        while (start <= rest.size()) {
            std::size_t end = rest.find(',', start);
            if (end == std::string::npos) {
                end = rest.size();
            }
            const std::string pair = rest.substr(start, end - start);
            const std::size_t eq = pair.find('=');
            if (eq == std::string::npos) {
                message_ = "invalid --set \"" + item + "\" (expected M:key=value[,key=value])";
                return false;
            }
            if (!SetParam(&settings_.params[machine - 1], pair.substr(0, eq), pair.substr(eq + 1),
                          &message_)) {
                return false;
            }
            start = end + 1;
        }
    }
    return true;
}

bool CommandLine::_applyRequests(const std::vector<std::string>& items, bool hex) {
    for (const std::string& item : items) {
        int machine = 0;
        std::string value;
        if (!SplitMachineItem(item, '=', &machine, &value)) {
            message_ = "invalid request \"" + item + "\" (expected M=" + (hex ? "HEX" : "TEXT") +
                       " with M 1..15)";
            return false;
        }
        std::vector<uint8_t> bytes;
        const bool ok = hex ? ByteText::ParseHex(value, &bytes, &message_)
                            : ByteText::ParseText(value, &bytes, &message_);
        if (!ok) {
            return false;
        }
        if (bytes.size() > RS485_MAX_REQUEST) {
            message_ = "request for machine " + std::to_string(machine) + " has " +
                       std::to_string(bytes.size()) + " bytes (at most " +
                       std::to_string(RS485_MAX_REQUEST) + ")";
            return false;
        }
        settings_.requests[machine - 1] = bytes;
        settings_.has_request[machine - 1] = true;
    }
    return true;
}

}  // namespace rs485ctl
