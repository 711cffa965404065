#include "PlanPrinter.h"

#include "ByteText.h"
#include "FrameFormat.h"

namespace rs485mqtt {

namespace {

std::string Delimiter(uint8_t value) {
    switch (value) {
        case 1:
            return "none";
        case 0x0d:
            return "cr";
        case 0x0a:
            return "lf";
        case 0x03:
            return "etx";
        case 0x04:
            return "eot";
        default:
            return std::to_string(value);
    }
}

std::string Request(const MachineSettings& m) {
    if (m.request_is_text) {
        return "text \"" + rs485tools::ByteText::ToPrintable(m.request.data(), m.request.size()) +
               "\"";
    }
    return "hex " + rs485tools::ByteText::ToHex(m.request.data(), m.request.size());
}

}  // namespace

void PlanPrinter::Print(std::FILE* out, const std::string& path, const BridgeConfig& c) {
    const BrokerSettings& b = c.broker;
    const std::string base = c.Base();
    std::fprintf(out, "configuration %s: valid\n", path.c_str());
    std::string brokers;
    for (const BrokerAddress& a : b.addresses) {
        brokers += (brokers.empty() ? "" : ", then ") + a.Text();
    }
    std::fprintf(out, "broker %s, %s, client id \"%s\", keep-alive %d s, QoS %d, %s, %s\n",
                 brokers.c_str(), b.protocol == MqttProtocol::kV5 ? "MQTT 5" : "MQTT 3.1.1",
                 c.ClientId().c_str(), b.keep_alive_s, b.qos,
                 b.tls.ca_file.empty()
                     ? "no TLS"
                     : ("TLS with CA " + b.tls.ca_file +
                        (b.tls.cert_file.empty() ? "" : ", client certificate " + b.tls.cert_file))
                           .c_str(),
                 b.user.empty() ? "no user" : ("user \"" + b.user + "\"").c_str());
    std::fprintf(out, "reconnect after %d s, the delay growing up to %d s\n", b.reconnect_delay_s,
                 b.reconnect_delay_max_s);
    std::fprintf(out, "availability %s/status: \"online\" retained, last will \"offline\"\n",
                 base.c_str());
    std::fprintf(out, "line availability %s/<channel>/status: \"up\" or \"down\" retained\n",
                 base.c_str());
    std::fprintf(out, "machine messages %s, every %s\n", (base + "/<channel>/<machine>").c_str(),
                 c.publish_on_change ? "change of status or reply" : "cycle");
    if (c.statistics_interval_s > 0) {
        std::fprintf(out, "statistics %s/<channel>/stats every %ld s\n", base.c_str(),
                     c.statistics_interval_s);
    } else {
        std::fprintf(out, "statistics off\n");
    }
    std::fprintf(out, "commands %s under %s/<channel>/set/..., errors on %s/error\n",
                 c.commands_enabled ? "enabled" : "disabled", base.c_str(), base.c_str());
    for (const ChannelSettings& ch : c.channels) {
        std::fprintf(out, "channel %d: baud index %d, cycle every %ld ms, %zu machine(s)\n",
                     ch.channel, ch.baud_index, ch.cycle_period_ms, ch.machines.size());
        for (const MachineSettings& m : ch.machines) {
            const rs485tools::MachineParams& p = m.params;
            std::fprintf(out,
                         "  machine %2d: %s, delimiter %s, trailing %u, time-out %d ms, wait %u, "
                         "request %s -> %s/%d/%d\n",
                         m.machine, rs485tools::FrameFormat::Describe(p.ctrl_bit).c_str(),
                         Delimiter(p.delm_type).c_str(), p.len_after_delm, p.time_out, p.wait_time,
                         Request(m).c_str(), base.c_str(), ch.channel, m.machine);
        }
    }
}

}  // namespace rs485mqtt
