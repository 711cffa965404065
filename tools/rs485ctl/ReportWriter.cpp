#include "ReportWriter.h"

#include <picojson.h>

#include <cstdio>

#include "ByteText.h"
#include "ReplyJson.h"

namespace rs485ctl {

using rs485tools::ByteText;

namespace {

std::string Millis(uint32_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(us) / 1000.0);
    return buf;
}

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string MachineLabel(int machine) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "machine %2d", machine);
    return buf;
}

picojson::value Number(double v) {
    return picojson::value(v);
}

}  // namespace

void ReportWriter::_emit(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ReportWriter::Cycle(unsigned long number, bool ok, uint32_t cycle_us,
                         const std::vector<MachineReply>& replies,
                         const std::vector<MachineStats>& stats) {
    if (json_) {
        picojson::array machines;
        for (const MachineReply& r : replies) {
            machines.emplace_back(rs485tools::ReplyJson::Object(r));
        }
        picojson::object o;
        o["type"] = picojson::value("cycle");
        o["cycle"] = Number(static_cast<double>(number));
        o["ok"] = picojson::value(ok);
        o["cycle_us"] = Number(cycle_us);
        o["machines"] = picojson::value(machines);
        _emit(picojson::value(o).serialize());
        return;
    }
    _emit("cycle " + std::to_string(number) + ": " + (ok ? "ok" : "failed") + ", " +
          Millis(cycle_us) + " ms");
    for (const MachineReply& r : replies) {
        std::string line = "  " + MachineLabel(r.machine) + "  " +
                           Padded(MachineStats::StatusName(r.status), 10) + "  len " +
                           Padded(std::to_string(r.data.size()), 3);
        if (!r.data.empty()) {
            line += "  hex " + ByteText::ToHex(r.data.data(), r.data.size()) + "  text \"" +
                    ByteText::ToPrintable(r.data.data(), r.data.size()) + "\"";
        }
        if (running_) {
            const MachineStats& s = stats[static_cast<std::size_t>(r.machine - 1)];
            line += "  [replies " + std::to_string(s.Replies()) + ", time-outs " +
                    std::to_string(s.Timeouts()) + ", errors " + std::to_string(s.Errors()) + "]";
        }
        _emit(line);
    }
}

void ReportWriter::Summary(unsigned long cycles, unsigned long failed, int mask,
                           const std::vector<MachineStats>& stats) {
    if (json_) {
        picojson::array machines;
        for (std::size_t i = 0; i < stats.size(); ++i) {
            if ((mask & (1 << i)) == 0) {
                continue;
            }
            const MachineStats& s = stats[i];
            picojson::object times;
            times["min"] = Number(s.MinUs());
            times["median"] = Number(s.MedianUs());
            times["max"] = Number(s.MaxUs());
            picojson::object m;
            m["machine"] = Number(static_cast<double>(i + 1));
            m["polls"] = Number(static_cast<double>(s.Polls()));
            m["replies"] = Number(static_cast<double>(s.Replies()));
            m["timeouts"] = Number(static_cast<double>(s.Timeouts()));
            m["errors"] = Number(static_cast<double>(s.Errors()));
            m["not_polled"] = Number(static_cast<double>(s.NotPolled()));
            m["cycle_us"] = picojson::value(times);
            machines.emplace_back(m);
        }
        picojson::object o;
        o["type"] = picojson::value("summary");
        o["cycles"] = Number(static_cast<double>(cycles));
        o["failed_cycles"] = Number(static_cast<double>(failed));
        o["machines"] = picojson::value(machines);
        _emit(picojson::value(o).serialize());
        return;
    }
    _emit("statistics after " + std::to_string(cycles) + " cycles (" + std::to_string(failed) +
          " failed):");
    for (std::size_t i = 0; i < stats.size(); ++i) {
        if ((mask & (1 << i)) == 0) {
            continue;
        }
        const MachineStats& s = stats[i];
        _emit("  " + MachineLabel(static_cast<int>(i + 1)) + "  replies " +
              std::to_string(s.Replies()) + "  time-outs " + std::to_string(s.Timeouts()) +
              "  errors " + std::to_string(s.Errors()) + "  cycle ms min " + Millis(s.MinUs()) +
              " median " + Millis(s.MedianUs()) + " max " + Millis(s.MaxUs()));
    }
}

void ReportWriter::Error(int exit_code, const std::string& message) {
    if (json_) {
        picojson::object o;
        o["type"] = picojson::value("error");
        o["exit_code"] = Number(exit_code);
        o["message"] = picojson::value(message);
        _emit(picojson::value(o).serialize());
    }
    std::fprintf(stderr, "rs485ctl: %s\n", message.c_str());
}

}  // namespace rs485ctl
