#include "SimLog.h"

#include <sys/time.h>

#include <ctime>

namespace rs485sim {

SimLog::~SimLog() {
    if (owned_) {
        std::fclose(out_);
    }
}

bool SimLog::Open(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr) {
        return false;
    }
    out_ = f;
    owned_ = true;
    return true;
}

void SimLog::Line(const std::string& text) {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof(stamp) - n, ".%06ld", static_cast<long>(tv.tv_usec));
    std::fprintf(out_, "%s %s\n", stamp, text.c_str());
    std::fflush(out_);
}

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

}  // namespace rs485sim
