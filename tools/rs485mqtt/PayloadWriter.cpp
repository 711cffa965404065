#include "PayloadWriter.h"

#include <picojson.h>

#include <cstdio>

#include "ReplyJson.h"

namespace rs485mqtt {

namespace {

picojson::value Number(double v) {
    return picojson::value(v);
}

}  // namespace

std::string PayloadWriter::Time(const timespec& t) {
    std::tm utc{};
    gmtime_r(&t.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(t.tv_nsec / 1000));
    return text;
}

std::string PayloadWriter::Machine(const CycleInfo& cycle, const rs485tools::MachineReply& reply) {
    picojson::object m = rs485tools::ReplyJson::Object(reply);
    m["channel"] = Number(cycle.channel);
    m["time"] = picojson::value(Time(cycle.end));
    m["cycle_us"] = Number(cycle.cycle_us);
    m["cycle_ok"] = picojson::value(cycle.ok);
    return picojson::value(m).serialize();
}

std::string PayloadWriter::Stats(int channel, long interval_s, const timespec& now,
                                 const ChannelStats& stats) {
    const rs485tools::MachineStats& cycles = stats.Cycles();
    picojson::object times;
    times["min"] = Number(cycles.MinUs());
    times["median"] = Number(cycles.MedianUs());
    times["max"] = Number(cycles.MaxUs());
    picojson::object machines;
    for (int m = 1; m <= RS485_MACHINE_COUNT; ++m) {
        const rs485tools::MachineStats& s = stats.Machine(m);
        if (s.Polls() == 0) {
            continue;
        }
        picojson::object one;
        one["polls"] = Number(static_cast<double>(s.Polls()));
        one["replies"] = Number(static_cast<double>(s.Replies()));
        one["timeouts"] = Number(static_cast<double>(s.Timeouts()));
        // Read errors and machines left selected; "not polled" is no error.
        one["errors"] = Number(static_cast<double>(s.Errors()));
        machines[std::to_string(m)] = picojson::value(one);
    }
    picojson::object o;
    o["channel"] = Number(channel);
    o["interval_s"] = Number(static_cast<double>(interval_s));
    o["time"] = picojson::value(Time(now));
    o["cycles"] = Number(static_cast<double>(cycles.Polls()));
    o["failed_cycles"] = Number(static_cast<double>(cycles.Errors()));
    o["missed_cycles"] = Number(static_cast<double>(stats.Missed()));
    o["cycle_us"] = picojson::value(times);
    o["machines"] = picojson::value(machines);
    return picojson::value(o).serialize();
}

std::string PayloadWriter::Error(const std::string& topic, const std::string& reason,
                                 const timespec& now) {
    picojson::object o;
    o["topic"] = picojson::value(topic);
    o["error"] = picojson::value(reason);
    o["time"] = picojson::value(Time(now));
    return picojson::value(o).serialize();
}

}  // namespace rs485mqtt
