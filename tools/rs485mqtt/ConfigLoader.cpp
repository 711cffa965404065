#include "ConfigLoader.h"

#include <mosquitto.h>
#include <picojson.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>

#include <rs485.h>

#include "ByteText.h"
#include "FrameFormat.h"
#include "JsonFile.h"
#include "NumberText.h"

namespace rs485mqtt {

namespace {

using Object = picojson::object;

// Reads the members of one JSON object; every failure names the key by its full path.
class Reader {
  public:
    Reader(const Object& object, std::string path, std::string* error)
        : object_(object), path_(std::move(path)), error_(error) {}

    // Fails for a member that none of the known keys names (a misspelt key would otherwise
    // be ignored silently).
    bool OnlyKeys(const std::set<std::string>& known) const {
        for (const auto& member : object_) {
            if (known.count(member.first) == 0) {
                return Fail(member.first, "unknown key");
            }
        }
        return true;
    }

    bool Has(const std::string& key) const { return object_.count(key) != 0; }
    const picojson::value& Value(const std::string& key) const { return object_.at(key); }
    std::string Path(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }

    bool Fail(const std::string& key, const std::string& why) const {
        *error_ = Path(key) + ": " + why;
        return false;
    }

    // Absent keys keep *out.
    bool String(const std::string& key, std::string* out) const {
        if (!Has(key)) {
            return true;
        }
        if (!Value(key).is<std::string>()) {
            return Fail(key, "must be a string");
        }
        *out = Value(key).get<std::string>();
        return true;
    }

    bool Bool(const std::string& key, bool* out) const {
        if (!Has(key)) {
            return true;
        }
        if (!Value(key).is<bool>()) {
            return Fail(key, "must be true or false");
        }
        *out = Value(key).get<bool>();
        return true;
    }

    bool Integer(const std::string& key, long min, long max, long* out) const {
        if (!Has(key)) {
            return true;
        }
        const picojson::value& v = Value(key);
        if (!v.is<double>() || std::floor(v.get<double>()) != v.get<double>() ||
            v.get<double>() < static_cast<double>(min) ||
            v.get<double>() > static_cast<double>(max)) {
            return Fail(key, "must be a whole number from " + std::to_string(min) + " to " +
                                 std::to_string(max));
        }
        *out = static_cast<long>(v.get<double>());
        return true;
    }

    bool Int(const std::string& key, long min, long max, int* out) const {
        long v = *out;
        if (!Integer(key, min, max, &v)) {
            return false;
        }
        *out = static_cast<int>(v);
        return true;
    }

    // A string, or a number taken as its decimal text (for "format": 3, "delimiter": 13).
    bool Text(const std::string& key, std::string* out) const {
        if (!Has(key)) {
            return true;
        }
        const picojson::value& v = Value(key);
        if (v.is<double>()) {
            if (std::floor(v.get<double>()) != v.get<double>() || v.get<double>() < 0) {
                return Fail(key, "must be a whole number from 0 or a string");
            }
            *out = std::to_string(static_cast<long>(v.get<double>()));
            return true;
        }
        if (!v.is<std::string>()) {
            return Fail(key, "must be a string or a number");
        }
        *out = v.get<std::string>();
        return true;
    }

    // Nested object at key (absent: an empty one); false when the key holds something else.
    bool Child(const std::string& key, const Object** out) const {
        static const Object kEmpty;
        *out = &kEmpty;
        if (!Has(key)) {
            return true;
        }
        if (!Value(key).is<Object>()) {
            return Fail(key, "must be an object");
        }
        *out = &Value(key).get<Object>();
        return true;
    }

  private:
    const Object& object_;
    std::string path_;
    std::string* error_;
};

// A topic level written into every topic: MQTT wildcards and separators would change the
// meaning of the topic, so they are refused; libmosquitto checks what a broker would refuse.
bool CheckTopicPart(const std::string& text, bool allow_levels, std::string* why) {
    if (text.empty()) {
        *why = "must not be empty";
        return false;
    }
    if (mosquitto_pub_topic_check(text.c_str()) != MOSQ_ERR_SUCCESS ||
        text.find('\0') != std::string::npos) {
        *why = "must not contain '+', '#' or NUL";
        return false;
    }
    if (mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS) {
        *why = "must be UTF-8 text";
        return false;
    }
    if (!allow_levels && text.find('/') != std::string::npos) {
        *why = "must not contain '/'";
        return false;
    }
    if (text.front() == '/' || text.back() == '/' || text.find("//") != std::string::npos) {
        *why = "must not begin or end with '/' or contain empty levels";
        return false;
    }
    return true;
}

// "host", "host:port" or "[IPv6 address]:port"; without a port, default_port.
bool ParseAddress(const std::string& text, int default_port, BrokerAddress* a, std::string* why) {
    std::string host = text;
    std::string port;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            *why = "invalid address \"" + text + "\" (host, host:port or [IPv6]:port)";
            return false;
        }
        host = text.substr(1, close - 1);
        has_port = close + 1 < text.size();
        port = has_port ? text.substr(close + 2) : "";
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
        has_port = true;
    }
    if (host.empty()) {
        *why = "invalid address \"" + text + "\": no host";
        return false;
    }
    a->host = host;
    a->port = default_port;
    if (has_port) {
        unsigned long value = 0;
        if (!rs485tools::NumberText::ParseUnsigned(port, 65535, &value) || value < 1) {
            *why = "invalid port in \"" + text + "\" (1 to 65535)";
            return false;
        }
        a->port = static_cast<int>(value);
    }
    return true;
}

// "host": one address or an array of them, tried in turn.
bool LoadAddresses(const Reader& r, int default_port, std::vector<BrokerAddress>* out) {
    std::vector<std::string> texts{"localhost"};
    if (r.Has("host")) {
        texts.clear();
        const picojson::value& v = r.Value("host");
        if (v.is<std::string>()) {
            texts.push_back(v.get<std::string>());
        } else if (v.is<picojson::array>()) {
            for (const picojson::value& item : v.get<picojson::array>()) {
                if (!item.is<std::string>()) {
                    return r.Fail("host", "must be a string or an array of strings");
                }
                texts.push_back(item.get<std::string>());
            }
            if (texts.empty()) {
                return r.Fail("host", "must name at least one address");
            }
        } else {
            return r.Fail("host", "must be a string or an array of strings");
        }
    }
    out->clear();
    for (const std::string& text : texts) {
        BrokerAddress a;
        std::string why;
        if (!ParseAddress(text, default_port, &a, &why)) {
            return r.Fail("host", why);
        }
        out->push_back(a);
    }
    return true;
}

// The reconnection delays in seconds. The millisecond keys of earlier releases are accepted
// and rounded up to whole seconds, libmosquitto's unit; a delay given in both forms is refused.
bool LoadReconnect(const Reader& r, BrokerSettings* b) {
    const struct {
        const char* key;
        const char* old_key;
        int* out;
    } kKeys[] = {{"reconnect_delay", "reconnect_min_ms", &b->reconnect_delay_s},
                 {"reconnect_delay_max", "reconnect_max_ms", &b->reconnect_delay_max_s}};
    for (const auto& k : kKeys) {
        if (r.Has(k.key) && r.Has(k.old_key)) {
            return r.Fail(k.old_key,
                          std::string("replaced by ") + k.key + " (seconds); give only " + k.key);
        }
        if (r.Has(k.old_key)) {
            long ms = 0;
            if (!r.Integer(k.old_key, 1, 3600000, &ms)) {
                return false;
            }
            *k.out = static_cast<int>((ms + 999) / 1000);
        }
        if (!r.Int(k.key, 1, 3600, k.out)) {
            return false;
        }
    }
    if (b->reconnect_delay_s > b->reconnect_delay_max_s) {
        return r.Fail(r.Has("reconnect_min_ms") ? "reconnect_min_ms" : "reconnect_delay",
                      "must not exceed reconnect_delay_max");
    }
    return true;
}

bool LoadBroker(const Reader& root, BrokerSettings* b, std::string* error) {
    const Object* object = nullptr;
    if (!root.Child("broker", &object)) {
        return false;
    }
    const Reader r(*object, root.Path("broker"), error);
    int port = 1883;
    std::string protocol = "mqtt311";
    const Object* tls = nullptr;
    if (!r.OnlyKeys({"host", "port", "protocol", "client_id", "keep_alive", "qos", "tls", "user",
                     "password", "reconnect_delay", "reconnect_delay_max", "reconnect_min_ms",
                     "reconnect_max_ms"}) ||
        !r.Int("port", 1, 65535, &port) || !LoadAddresses(r, port, &b->addresses) ||
        !r.String("protocol", &protocol) || !r.String("client_id", &b->client_id) ||
        !r.Int("keep_alive", 5, 65535, &b->keep_alive_s) || !r.Int("qos", 0, 2, &b->qos) ||
        !r.String("user", &b->user) || !r.String("password", &b->password) ||
        !LoadReconnect(r, b) || !r.Child("tls", &tls)) {
        return false;
    }
    if (protocol == "mqtt5") {
        b->protocol = MqttProtocol::kV5;
    } else if (protocol != "mqtt311") {
        return r.Fail("protocol", "must be \"mqtt311\" or \"mqtt5\"");
    }
    if (b->client_id.size() > 65535) {
        return r.Fail("client_id", "too long");
    }
    if (!b->password.empty() && b->user.empty()) {
        return r.Fail("password", "given without a user");
    }
    const Reader t(*tls, r.Path("tls"), error);
    if (!t.OnlyKeys({"ca_file", "cert_file", "key_file"}) ||
        !t.String("ca_file", &b->tls.ca_file) || !t.String("cert_file", &b->tls.cert_file) ||
        !t.String("key_file", &b->tls.key_file)) {
        return false;
    }
    if (b->tls.cert_file.empty() != b->tls.key_file.empty()) {
        return t.Fail(b->tls.cert_file.empty() ? "cert_file" : "key_file",
                      "certificate and key must be given together");
    }
    if (!b->tls.cert_file.empty() && b->tls.ca_file.empty()) {
        return t.Fail("ca_file", "needed for a client certificate");
    }
    for (const char* key : {"ca_file", "cert_file", "key_file"}) {
        std::string file;
        t.String(key, &file);
        if (!file.empty() && ::access(file.c_str(), R_OK) != 0) {
            return t.Fail(key, "cannot read \"" + file + "\"");
        }
    }
    return true;
}

bool LoadMachine(const Object& object, const std::string& path, MachineSettings* m,
                 std::string* error) {
    const Reader r(object, path, error);
    std::string format;
    std::string delimiter;
    std::string framing;
    std::string hex;
    std::string text;
    long time_out = m->params.time_out;
    int trailing = m->params.len_after_delm;
    int wait = m->params.wait_time;
    if (!r.OnlyKeys({"machine", "format", "delimiter", "trailing", "time_out", "wait", "framing",
                     "request_hex", "request_text"}) ||
        !r.Text("framing", &framing) || !r.Int("machine", 1, RS485_MACHINE_COUNT, &m->machine) ||
        !r.Text("format", &format) || !r.Text("delimiter", &delimiter) ||
        !r.Int("trailing", 0, 255, &trailing) || !r.Integer("time_out", 1, 32767, &time_out) ||
        !r.Int("wait", 0, 255, &wait) || !r.String("request_hex", &hex) ||
        !r.String("request_text", &text)) {
        return false;
    }
    if (!r.Has("machine")) {
        return r.Fail("machine", "missing (the machine number, 1 to 15)");
    }
    std::string why;
    if (!format.empty() && !rs485tools::FrameFormat::Parse(format, &m->params.ctrl_bit, &why)) {
        return r.Fail("format", why);
    }
    if (!delimiter.empty() &&
        !rs485tools::NumberText::ParseDelimiter(delimiter, &m->params.delm_type)) {
        return r.Fail("delimiter", "invalid delimiter \"" + delimiter +
                                       "\" (none, cr, lf, etx, eot or a byte value 0..255)");
    }
    if (!framing.empty() && !rs485tools::NumberText::ParseFraming(framing, &m->params.reply_framing,
                                                                  &m->params.reply_length)) {
        return r.Fail("framing", "invalid framing \"" + framing +
                                     "\" (delimited, modbus-rtu or a reply length 1..436)");
    }
    m->params.time_out = static_cast<short>(time_out);
    m->params.len_after_delm = static_cast<uint8_t>(trailing);
    m->params.wait_time = static_cast<uint8_t>(wait);
    if (r.Has("request_hex") == r.Has("request_text")) {
        return r.Fail("request_hex", "give exactly one of request_hex and request_text");
    }
    m->request_is_text = r.Has("request_text");
    const bool parsed = m->request_is_text
                            ? rs485tools::ByteText::ParseText(text, &m->request, &why)
                            : rs485tools::ByteText::ParseHex(hex, &m->request, &why);
    const std::string key = m->request_is_text ? "request_text" : "request_hex";
    if (!parsed) {
        return r.Fail(key, why);
    }
    if (m->request.size() > RS485_MAX_REQUEST) {
        return r.Fail(key, "request of " + std::to_string(m->request.size()) +
                               " bytes is longer than " + std::to_string(RS485_MAX_REQUEST));
    }
    return true;
}

bool LoadChannel(const Object& object, const std::string& path, ChannelSettings* c,
                 std::string* error) {
    const Reader r(object, path, error);
    if (!r.OnlyKeys({"channel", "baud_index", "cycle_period_ms", "machines"}) ||
        !r.Int("channel", 1, 32, &c->channel) || !r.Int("baud_index", 0, 5, &c->baud_index) ||
        !r.Integer("cycle_period_ms", 10, 86400000, &c->cycle_period_ms)) {
        return false;
    }
    if (!r.Has("channel")) {
        return r.Fail("channel", "missing (the channel number, 1 for the first line)");
    }
    if (!r.Has("machines") || !r.Value("machines").is<picojson::array>() ||
        r.Value("machines").get<picojson::array>().empty()) {
        return r.Fail("machines", "must be a non-empty array of machines");
    }
    const picojson::array& machines = r.Value("machines").get<picojson::array>();
    for (std::size_t i = 0; i < machines.size(); ++i) {
        const std::string item = r.Path("machines") + "[" + std::to_string(i) + "]";
        if (!machines[i].is<Object>()) {
            *error = item + ": must be an object";
            return false;
        }
        MachineSettings m;
        if (!LoadMachine(machines[i].get<Object>(), item, &m, error)) {
            return false;
        }
        if (c->Machine(m.machine) != nullptr) {
            *error = item + ".machine: machine " + std::to_string(m.machine) + " listed twice";
            return false;
        }
        c->machines.push_back(m);
    }
    std::sort(
        c->machines.begin(), c->machines.end(),
        [](const MachineSettings& a, const MachineSettings& b) { return a.machine < b.machine; });
    return true;
}

}  // namespace

bool ConfigLoader::Load(const std::string& path, BridgeConfig* config, std::string* error) {
    std::string text;
    std::string why;
    if (!rs485tools::JsonFile::ReadText(path, &text, &why)) {
        *error = "cannot read the configuration file: " + why;
        return false;
    }
    return Parse(text, config, error);
}

bool ConfigLoader::Parse(const std::string& text, BridgeConfig* config, std::string* error) {
    picojson::value root;
    const std::string syntax = picojson::parse(root, text);
    if (!syntax.empty()) {
        *error = "not valid JSON: " + syntax;
        return false;
    }
    if (!root.is<Object>()) {
        *error = "the configuration must be a JSON object";
        return false;
    }
    BridgeConfig c;
    const Reader r(root.get<Object>(), "", error);
    if (!r.OnlyKeys({"broker", "node", "topic_prefix", "publish_on_change", "statistics_interval",
                     "commands_enabled", "channels"}) ||
        !LoadBroker(r, &c.broker, error) || !r.String("node", &c.node) ||
        !r.String("topic_prefix", &c.topic_prefix) ||
        !r.Bool("publish_on_change", &c.publish_on_change) ||
        !r.Integer("statistics_interval", 0, 86400, &c.statistics_interval_s) ||
        !r.Bool("commands_enabled", &c.commands_enabled)) {
        return false;
    }
    std::string why;
    if (!r.Has("node")) {
        return r.Fail("node", "missing (the name of this controller in the topics)");
    }
    if (!CheckTopicPart(c.node, false, &why)) {
        return r.Fail("node", why);
    }
    if (!CheckTopicPart(c.topic_prefix, true, &why)) {
        return r.Fail("topic_prefix", why);
    }
    if (!r.Has("channels") || !r.Value("channels").is<picojson::array>() ||
        r.Value("channels").get<picojson::array>().empty()) {
        return r.Fail("channels", "must be a non-empty array of channels");
    }
    const picojson::array& channels = r.Value("channels").get<picojson::array>();
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::string item = "channels[" + std::to_string(i) + "]";
        if (!channels[i].is<Object>()) {
            *error = item + ": must be an object";
            return false;
        }
        ChannelSettings ch;
        if (!LoadChannel(channels[i].get<Object>(), item, &ch, error)) {
            return false;
        }
        if (c.Channel(ch.channel) != nullptr) {
            *error = item + ".channel: channel " + std::to_string(ch.channel) + " listed twice";
            return false;
        }
        c.channels.push_back(ch);
    }
    std::sort(
        c.channels.begin(), c.channels.end(),
        [](const ChannelSettings& a, const ChannelSettings& b) { return a.channel < b.channel; });
    *config = c;
    return true;
}

}  // namespace rs485mqtt
