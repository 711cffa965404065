#include "SimConfig.h"

#include <picojson.h>

#include <charconv>

#include "JsonFile.h"

namespace rs485sim {

namespace {

constexpr std::size_t kMaxMachines = 15;

// Pairs of hexadecimal digits; blanks, ':' and '-' between bytes are allowed.
bool ParseHex(const std::string& text, std::string* out) {
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == '\t') {
            if (digits.size() % 2 != 0) {
                return false;
            }
        } else {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const char* const end = digits.data() + i + 2;
        unsigned int byte = 0;
        const std::from_chars_result r = std::from_chars(digits.data() + i, end, byte, 16);
        if (r.ec != std::errc() || r.ptr != end) {
            return false;
        }
        out->push_back(static_cast<char>(byte));
    }
    return true;
}

bool GetInt(const picojson::object& obj, const char* key, int lo, int hi, int* out,
            std::string* error) {
    const auto it = obj.find(key);
    if (it == obj.end()) {
        return true;
    }
    if (!it->second.is<double>() || it->second.get<double>() < lo ||
        it->second.get<double>() > hi) {
        *error = std::string("\"") + key + "\" must be a number from " + std::to_string(lo) +
                 " to " + std::to_string(hi);
        return false;
    }
    *out = static_cast<int>(it->second.get<double>());
    return true;
}

// Bytes given either as "<key>_hex" or as "<key>_text".
bool GetBytes(const picojson::object& obj, const std::string& key, std::string* out, bool* present,
              std::string* error) {
    *present = false;
    const auto hex = obj.find(key + "_hex");
    const auto text = obj.find(key + "_text");
    if (hex != obj.end() && text != obj.end()) {
        *error = "give \"" + key + "_hex\" or \"" + key + "_text\", not both";
        return false;
    }
    if (hex != obj.end()) {
        if (!hex->second.is<std::string>() || !ParseHex(hex->second.get<std::string>(), out)) {
            *error = "\"" + key + "_hex\" must be a string of hexadecimal byte pairs";
            return false;
        }
        *present = true;
    } else if (text != obj.end()) {
        if (!text->second.is<std::string>()) {
            *error = "\"" + key + "_text\" must be a string";
            return false;
        }
        *out = text->second.get<std::string>();
        *present = true;
    }
    return true;
}

// "format" ("8E1") and "baud" (bit/s) of the machine; either may be absent.
bool GetLine(const picojson::object& obj, LineSettings* line, std::string* error) {
    const auto format = obj.find("format");
    if (format != obj.end() &&
        (!format->second.is<std::string>() ||
         !LineSettings::ParseFormat(format->second.get<std::string>(), line))) {
        *error =
            "\"format\" must be data bits 5-8, parity N, E or O and stop bits 1 or 2, "
            "as in \"8E1\"";
        return false;
    }
    const auto baud = obj.find("baud");
    if (baud == obj.end()) {
        return true;
    }
    for (const long rate : {1200, 2400, 4800, 9600, 19200, 38400}) {
        if (baud->second.is<double>() && baud->second.get<double>() == static_cast<double>(rate)) {
            line->bit_rate = rate;
            return true;
        }
    }
    *error = "\"baud\" must be 1200, 2400, 4800, 9600, 19200 or 38400";
    return false;
}

bool ParseFault(const std::string& text, Fault* fault) {
    static const struct {
        const char* name;
        Fault fault;
    } kFaults[] = {{"none", Fault::kNone},          {"no_reply", Fault::kNoReply},
                   {"cut_short", Fault::kCutShort}, {"garbage", Fault::kGarbage},
                   {"over_long", Fault::kOverLong}, {"bad_crc", Fault::kBadCrc}};
    for (const auto& f : kFaults) {
        if (text == f.name) {
            *fault = f.fault;
            return true;
        }
    }
    return false;
}

bool ParseMachine(const picojson::object& obj, MachineSpec* m, std::string* error) {
    const auto name = obj.find("name");
    if (name != obj.end() && name->second.is<std::string>()) {
        m->name = name->second.get<std::string>();
    }
    const auto match = obj.find("match");
    if (match == obj.end() || !match->second.is<picojson::object>()) {
        *error = "\"match\" object missing";
        return false;
    }
    const picojson::object& mo = match->second.get<picojson::object>();
    bool has_prefix = false;
    if (!GetInt(mo, "address", 0, 255, &m->address, error) ||
        !GetInt(mo, "position", 0, 63, &m->address_pos, error) ||
        !GetBytes(mo, "prefix", &m->prefix, &has_prefix, error)) {
        return false;
    }
    if ((m->address >= 0) == has_prefix || (has_prefix && m->prefix.empty())) {
        *error = "\"match\" needs either \"address\" or a non-empty prefix";
        return false;
    }
    bool has_reply = false;
    if (!GetInt(obj, "request_length", 0, 64, &m->request_length, error) ||
        !GetBytes(obj, "reply", &m->reply, &has_reply, error) ||
        !GetInt(obj, "delay_ms", 0, 600000, &m->delay_ms, error) ||
        !GetInt(obj, "gap_ms", 0, 600000, &m->gap_ms, error) ||
        !GetInt(obj, "cut_length", 0, 1 << 16, &m->cut_length, error) ||
        !GetInt(obj, "extra_length", 0, 1 << 16, &m->extra_length, error) ||
        !GetInt(obj, "modbus_reply_length", 5, 256, &m->modbus_reply_length, error) ||
        !GetInt(obj, "modbus_exception", 1, 255, &m->modbus_exception, error) ||
        !GetLine(obj, &m->line, error)) {
        return false;
    }
    const auto pieces = obj.find("pieces");
    if (pieces != obj.end()) {
        if (!pieces->second.is<picojson::array>()) {
            *error = "\"pieces\" must be an array of sizes";
            return false;
        }
        for (const picojson::value& v : pieces->second.get<picojson::array>()) {
            if (!v.is<double>() || v.get<double>() < 1) {
                *error = "\"pieces\" sizes must be numbers of at least 1";
                return false;
            }
            m->pieces.push_back(static_cast<int>(v.get<double>()));
        }
    }
    const auto fault = obj.find("fault");
    if (fault != obj.end() && (!fault->second.is<std::string>() ||
                               !ParseFault(fault->second.get<std::string>(), &m->fault))) {
        *error = "\"fault\" must be none, no_reply, cut_short, garbage, over_long or bad_crc";
        return false;
    }
    if (static_cast<int>(has_reply) + static_cast<int>(m->modbus_reply_length > 0) +
            static_cast<int>(m->modbus_exception > 0) >
        1) {
        *error = "give one of reply bytes, \"modbus_reply_length\" and \"modbus_exception\"";
        return false;
    }
    if (!has_reply && m->modbus_reply_length == 0 && m->modbus_exception == 0 &&
        m->fault != Fault::kNoReply) {
        *error =
            "\"reply_hex\", \"reply_text\", \"modbus_reply_length\" or \"modbus_exception\" "
            "missing";
        return false;
    }
    return true;
}

}  // namespace

bool MachineSpec::Matches(const std::string& bytes, bool* decided) const {
    if (address >= 0) {
        *decided = static_cast<int>(bytes.size()) > address_pos;
        return *decided && static_cast<unsigned char>(bytes[address_pos]) == address;
    }
    *decided = bytes.size() >= prefix.size();
    return *decided && bytes.compare(0, prefix.size(), prefix) == 0;
}

bool LoadConfig(const std::string& path, std::vector<MachineSpec>* machines, std::string* error) {
    using rs485tools::JsonFile;
    picojson::value root;
    std::string why;
    const JsonFile::Status read = JsonFile::Read(path, &root, &why);
    if (read == JsonFile::Status::kUnreadable) {
        *error = "cannot read " + path;
        return false;
    }
    if (read == JsonFile::Status::kNotJson) {
        *error = path + ": " + why;
        return false;
    }
    if (!root.is<picojson::object>() || !root.contains("machines") ||
        !root.get("machines").is<picojson::array>()) {
        *error = path + ": a \"machines\" array is missing";
        return false;
    }
    const picojson::array& list = root.get("machines").get<picojson::array>();
    if (list.empty() || list.size() > kMaxMachines) {
        *error = path + ": give 1 to 15 machines";
        return false;
    }
    machines->clear();
    for (std::size_t i = 0; i < list.size(); ++i) {
        MachineSpec m;
        m.name = "machine " + std::to_string(i);
        if (!list[i].is<picojson::object>() ||
            !ParseMachine(list[i].get<picojson::object>(), &m, error)) {
            *error = path + ": machine " + std::to_string(i) + ": " +
                     (error->empty() ? "not an object" : *error);
            return false;
        }
        machines->push_back(m);
    }
    return true;
}

}  // namespace rs485sim
