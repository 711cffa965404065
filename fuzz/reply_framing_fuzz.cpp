// The driver's reply reception fed from a byte stream through a real pseudo-terminal. The
// whole reply is queued on the tty before the reception starts, so the driver reads it in
// the same 4-byte pieces every time and its outcome can be compared with a plain model of
// the framing rules: stored bytes, length (never beyond the 436-byte area: a longer reply is a
// read error), result and status.
// Input: delimiter byte, bytes after the delimiter, then the reply. time_out is 0 so that a
// reply that stops early ends at the first silent poll.
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSandbox.h"
#include "Rs485Control.h"
#include "ShmLayout.h"

namespace {

namespace shm = vel::shm;
using veldw485::line::Rs485Machine;

constexpr std::size_t kMaxReply = 600;

class FramingDriver : public veldw485::line::Rs485Control {
  public:
    using Rs485Control::_rs485_rcvData;
    using Rs485Control::Rs485Control;
    // The shortest poll unit that still counts time: keeps every run in milliseconds.
    void FastPolls() { _rs485settings.sleep_time = 1; }
};

struct Outcome {
    std::vector<uint8_t> stored;
    unsigned char result{1};
    unsigned char com_flag{shm::kStatusComplete};
};

// The framing rules over a queue read in pieces of at most 4 bytes, ending with silence.
Outcome Model(const Rs485Machine& mc, const uint8_t* reply, std::size_t size) {
    Outcome out;
    const bool silence_mode = mc.delm_type == 1;
    int term_count = 0;
    std::size_t pos = 0;
    while (pos < size) {
        const int read_size = static_cast<int>(std::min<std::size_t>(4, size - pos));
        const uint8_t* piece = reply + pos;
        pos += static_cast<std::size_t>(read_size);
        if (term_count != 0) {
            if (read_size + term_count > mc.len_after_delm) {
                return out;
            }
            term_count += read_size;
            continue;
        }
        int n = read_size;
        bool found = false;
        if (!silence_mode) {
            for (int i = 0; i < read_size; ++i) {
                if (piece[i] == mc.delm_type) {
                    n = i;
                    found = true;
                    break;
                }
            }
        }
        if (out.stored.size() + static_cast<std::size_t>(n) > shm::kReceiveAreaSize) {
            // A reply that would overflow the area is no reply of this machine.
            out.stored.clear();
            out.result = 0;
            out.com_flag = shm::kStatusReadError;
            return out;
        }
        out.stored.insert(out.stored.end(), piece, piece + n);
        if (!found) {
            continue;
        }
        if (mc.len_after_delm == 0) {
            return out;
        }
        term_count = read_size - n;
        if (term_count > mc.len_after_delm) {
            return out;
        }
    }
    if (silence_mode && !out.stored.empty()) {
        return out;
    }
    out.result = 0;
    out.com_flag = shm::kStatusTimeout;
    return out;
}

int g_master = -1;
int g_slave = -1;
std::unique_ptr<FramingDriver> g_driver;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "reply_framing_fuzz: %s\n", what);
        std::abort();
    }
}

// Writes the reply to the master side and waits until the slave side holds exactly its bytes.
// On a loaded machine the kernel may take long to hand them over: the wait is bounded by
// time (10 s), not by a number of polls. False, with what was seen, otherwise.
bool QueueOnTty(const uint8_t* bytes, std::size_t size, std::string* seen) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(g_master, bytes + done, size - done);
        if (n <= 0) {
            *seen = "write failed";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int waiting = 0;
    do {
        if (::ioctl(g_slave, FIONREAD, &waiting) == 0 && waiting == static_cast<int>(size)) {
            return true;
        }
        ::usleep(10);
    } while (std::chrono::steady_clock::now() < until);
    *seen = std::to_string(waiting) + " of " + std::to_string(size) + " bytes after 10 s";
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rs485fuzz::RequireSandbox("reply_framing_fuzz");
    char name[128] = {};
    Check(::openpty(&g_master, &g_slave, name, nullptr, nullptr) == 0, "openpty failed");
    termios raw{};
    ::tcgetattr(g_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(g_slave, TCSANOW, &raw);
    rs485fuzz::SilenceTraces();
    g_driver = std::make_unique<FramingDriver>(name, "none", 5, 15, 0);
    Check(g_driver->Open(false, 5) == 0, "driver Open failed");
    g_driver->FastPolls();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2 || size - 2 > kMaxReply) {
        return 0;
    }
    Rs485Machine mc;
    mc.delm_type = data[0];
    mc.len_after_delm = data[1];
    mc.time_out = 0;
    const uint8_t* reply = data + 2;
    const std::size_t reply_size = size - 2;

    ::tcflush(g_slave, TCIFLUSH);
    std::string seen;
    Check(QueueOnTty(reply, reply_size, &seen), ("reply not queued on the tty: " + seen).c_str());

    // The area is exactly as large as the driver's contract, so that ASan sees any overrun.
    std::unique_ptr<unsigned char[]> area(new unsigned char[shm::kReceiveAreaSize]);
    int len = -1;
    unsigned char status = 0;
    const unsigned char result = g_driver->_rs485_rcvData(0, mc, &len, area.get(), &status);
    const Outcome want = Model(mc, reply, reply_size);

    Check(len >= 0 && len <= shm::kReceiveAreaSize, "length outside 0..436");
    Check(result == want.result, "result differs from the framing rules");
    Check(static_cast<std::size_t>(len) == want.stored.size(), "length differs");
    Check(std::equal(want.stored.begin(), want.stored.end(), area.get()), "bytes differ");
    Check(status == want.com_flag, "status differs");
    ::tcflush(g_slave, TCIFLUSH);
    return 0;
}
