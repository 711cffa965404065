#include "LineSettings.h"

#include <termios.h>

#include <cstdio>
#include <fstream>

namespace rs485sim {

namespace {

long BitRate(speed_t speed) {
    static const struct {
        speed_t code;
        long rate;
    } kRates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    for (const auto& r : kRates) {
        if (r.code == speed) {
            return r.rate;
        }
    }
    return 0;
}

// The file the shim writes for a tty: its path with every '/' replaced by '_'.
std::string ShimFile(const std::string& shim_dir, std::string tty) {
    for (char& c : tty) {
        if (c == '/') {
            c = '_';
        }
    }
    return shim_dir + "/" + tty;
}

}  // namespace

bool LineSettings::ParseFormat(const std::string& text, LineSettings* out) {
    if (text.size() != 3 || text[0] < '5' || text[0] > '8' ||
        std::string("NEO").find(text[1]) == std::string::npos ||
        (text[2] != '1' && text[2] != '2')) {
        return false;
    }
    out->data_bits = text[0] - '0';
    out->parity = text[1];
    out->stop_bits = text[2] - '0';
    return true;
}

LineSettings LineSettings::Read(int slave_fd, const std::string& slave_path,
                                const std::string& shim_dir) {
    LineSettings s;
    if (!shim_dir.empty()) {
        std::ifstream in(ShimFile(shim_dir, slave_path));
        std::string format;
        long rate = 0;
        if (in >> format >> rate && ParseFormat(format, &s)) {
            s.bit_rate = rate;
            return s;
        }
        s = LineSettings();
    }
    termios tio{};
    if (::tcgetattr(slave_fd, &tio) != 0) {
        return s;
    }
    s.bit_rate = BitRate(::cfgetospeed(&tio));
    s.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    // The terminal clears PARENB but keeps PARODD, which is set only for odd parity.
    if ((tio.c_cflag & PARODD) != 0) {
        s.parity = 'O';
    }
    return s;
}

std::string LineSettings::Text() const {
    char text[32];
    std::snprintf(text, sizeof(text), "%c%c%c/%s",
                  data_bits != 0 ? static_cast<char>('0' + data_bits) : '-', parity,
                  stop_bits != 0 ? static_cast<char>('0' + stop_bits) : '-',
                  bit_rate != 0 ? std::to_string(bit_rate).c_str() : "-");
    return text;
}

bool LineSettings::Agrees(const LineSettings& configured) const {
    const auto differ = [](long a, long b, long unknown) {
        return a != unknown && b != unknown && a != b;
    };
    return !differ(data_bits, configured.data_bits, 0) && !differ(parity, configured.parity, '-') &&
           !differ(stop_bits, configured.stop_bits, 0) && !differ(bit_rate, configured.bit_rate, 0);
}

}  // namespace rs485sim
