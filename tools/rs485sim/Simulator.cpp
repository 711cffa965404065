#include "Simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ModbusRtu.h"

namespace rs485sim {

namespace {

constexpr int kBitsPerChar = 11;
constexpr long kBitRates[] = {1200, 2400, 4800, 9600, 19200, 38400};
constexpr speed_t kSpeeds[] = {B1200, B2400, B4800, B9600, B19200, B38400};

void MakeRaw(int fd, int baud) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, kSpeeds[baud]);
    ::cfsetospeed(&tio, kSpeeds[baud]);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &tio);
}

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) {
        d = std::chrono::nanoseconds(0);
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000);
    return ts;
}

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::kNoReply:
            return "no_reply";
        case Fault::kCutShort:
            return "cut_short";
        case Fault::kGarbage:
            return "garbage";
        case Fault::kOverLong:
            return "over_long";
        case Fault::kBadCrc:
            return "bad_crc";
        case Fault::kNone:
            break;
    }
    return "none";
}

}  // namespace

std::chrono::microseconds Simulator::CharTime(int baud) {
    return std::chrono::microseconds((kBitsPerChar * 1000000L + kBitRates[baud] - 1) /
                                     kBitRates[baud]);
}

Simulator::Simulator(const SimOptions& options, std::vector<MachineSpec> machines, SimLog& log)
    : options_(options),
      machines_(std::move(machines)),
      log_(log),
      char_time_(CharTime(options.baud)),
      gap_(options.gap_us >= 0 ? std::chrono::microseconds(options.gap_us) : char_time_ * 7 / 2) {
    // A real port paces itself.
    if (!options_.tty.empty()) {
        options_.pacing = false;
    }
}

Simulator::~Simulator() {
    RemoveLink();
    for (const int fd : {port_, slave_, signal_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Simulator::Start(std::string* error) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        *error = std::string("cannot block signals: ") + std::strerror(errno);
        return false;
    }
    signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signal_fd_ < 0) {
        *error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    // Pacing sleeps are a few hundred microseconds; the default slack of 50 us would show.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (!OpenPort(error)) {
        return false;
    }
    if (!options_.link.empty() && !MakeLink(error)) {
        return false;
    }
    log_.Line("ready link=" + (options_.link.empty() ? std::string("-") : options_.link) +
              " port=" + slave_path_ + " baud=" + std::to_string(options_.baud) + " char_us=" +
              std::to_string(char_time_.count()) + " gap_us=" + std::to_string(gap_.count()) +
              " pacing=" + (options_.pacing ? "on" : "off") +
              " machines=" + std::to_string(machines_.size()));
    return true;
}

bool Simulator::OpenPort(std::string* error) {
    if (!options_.tty.empty()) {
        port_ = ::open(options_.tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (port_ < 0) {
            *error = "cannot open " + options_.tty + ": " + std::strerror(errno);
            return false;
        }
        MakeRaw(port_, options_.baud);
        slave_path_ = options_.tty;
        return true;
    }
    char name[256] = {};
    if (::openpty(&port_, &slave_, name, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    slave_path_ = name;
    ::fcntl(port_, F_SETFL, ::fcntl(port_, F_GETFL) | O_NONBLOCK);
    ::fcntl(port_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw on both sides: no echo of replies back to the simulator before a user sets the
    // line up.
    MakeRaw(slave_, options_.baud);
    MakeRaw(port_, options_.baud);
    return true;
}

bool Simulator::MakeLink(std::string* error) {
    struct stat st {};
    if (::lstat(options_.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = options_.link + " exists and is not a symbolic link";
        return false;
    }
    // The link appears in one step: whoever waits for it finds the simulator ready.
    const std::string tmp = options_.link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(slave_path_.c_str(), tmp.c_str()) != 0) {
        *error = "cannot create link " + tmp + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(tmp.c_str(), options_.link.c_str()) != 0) {
        *error = "cannot create link " + options_.link + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    link_made_ = true;
    return true;
}

void Simulator::RemoveLink() {
    if (!link_made_) {
        return;
    }
    link_made_ = false;
    // Only our own link: another simulator may have taken the path over meanwhile.
    char target[512] = {};
    const ssize_t n = ::readlink(options_.link.c_str(), target, sizeof(target) - 1);
    if (n > 0 && slave_path_ == std::string(target, static_cast<std::size_t>(n))) {
        ::unlink(options_.link.c_str());
    }
}

bool Simulator::Run() {
    while (!stop_ && !port_failed_) {
        timespec ts{};
        const timespec* timeout = nullptr;
        if (!pending_.empty()) {
            ts = ToTimespec(last_byte_ + gap_ - Clock::now());
            timeout = &ts;
        }
        pollfd fds[2] = {{port_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            log_.Line(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            const ssize_t n = ::read(signal_fd_, &info, sizeof(info));
            static_cast<void>(n);
            log_.Line("stop signal=" + std::to_string(info.ssi_signo));
            stop_ = true;
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char buf[512];
            const ssize_t n = ::read(port_, buf, sizeof(buf));
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                log_.Line(std::string("read failed: ") + std::strerror(errno));
                return false;
            }
            if (n > 0) {
                const Clock::time_point now = Clock::now();
                if (pending_.empty()) {
                    first_byte_ = now;
                    // The settings of a real line act on every bit; a pseudo-terminal passes
                    // the bytes anyway, so they are judged once the request is recognised.
                    line_ = slave_ >= 0
                                ? LineSettings::Read(slave_, slave_path_, options_.settings_dir)
                                : LineSettings();
                }
                last_byte_ = now;
                pending_.append(buf, static_cast<std::size_t>(n));
                Echo(buf, static_cast<std::size_t>(n), false);
            }
        } else if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            log_.Line("port closed");
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (!Serve(now, !pending_.empty() && now - last_byte_ >= gap_)) {
            break;
        }
    }
    return !port_failed_;
}

bool Simulator::Serve(Clock::time_point now, bool silence) {
    // Requests of machines with a fixed length end as soon as that many bytes are in.
    bool taken = true;
    while (taken && !pending_.empty()) {
        taken = false;
        for (std::size_t i = 0; i < machines_.size(); ++i) {
            const MachineSpec& m = machines_[i];
            bool decided = false;
            const auto len = static_cast<std::size_t>(m.request_length);
            if (m.request_length > 0 && pending_.size() >= len && m.Matches(pending_, &decided)) {
                const std::string request = pending_.substr(0, len);
                pending_.erase(0, len);
                const Clock::time_point start = first_byte_;
                first_byte_ = now;
                if (!Answer(static_cast<int>(i), request, start)) {
                    return false;
                }
                taken = true;
                break;
            }
        }
    }
    if (!silence || pending_.empty()) {
        return true;
    }
    // Everything else ends with a silence on the line.
    const std::string request = pending_;
    pending_.clear();
    for (std::size_t i = 0; i < machines_.size(); ++i) {
        bool decided = false;
        if (machines_[i].Matches(request, &decided)) {
            return Answer(static_cast<int>(i), request, first_byte_);
        }
    }
    log_.Line("request machine=none len=" + std::to_string(request.size()) +
              " hex=" + HexBytes(request) + " line=" + line_.Text());
    return true;
}

bool Simulator::Answer(int index, const std::string& request, Clock::time_point first_byte) {
    const MachineSpec& m = machines_[static_cast<std::size_t>(index)];
    log_.Line("request machine=" + std::to_string(index) + " name=" + m.name +
              " len=" + std::to_string(request.size()) + " hex=" + HexBytes(request) +
              " line=" + line_.Text());
    if (!Understands(index, request)) {
        return true;
    }
    if (m.fault == Fault::kNoReply) {
        log_.Line("reply machine=" + std::to_string(index) + " fault=no_reply len=0");
        return true;
    }
    // On a real line the request has arrived only after its own wire time.
    Clock::time_point start = Clock::now();
    if (options_.pacing) {
        start = std::max(start, first_byte + char_time_ * static_cast<long>(request.size()));
    }
    if (!SleepUntil(start + std::chrono::milliseconds(m.delay_ms))) {
        return false;
    }
    const std::string reply = ReplyBytes(m, request);
    std::size_t done = 0;
    std::size_t piece_count = 0;
    for (std::size_t p = 0; done < reply.size(); ++p) {
        const std::size_t size =
            p < m.pieces.size() ? static_cast<std::size_t>(m.pieces[p]) : reply.size() - done;
        if (p > 0 && m.gap_ms > 0 &&
            !SleepUntil(Clock::now() + std::chrono::milliseconds(m.gap_ms))) {
            return false;
        }
        const std::string piece = reply.substr(done, size);
        if (!Send(index, piece)) {
            return false;
        }
        done += piece.size();
        ++piece_count;
    }
    log_.Line("reply machine=" + std::to_string(index) + " fault=" + FaultName(m.fault) +
              " len=" + std::to_string(reply.size()) + " pieces=" + std::to_string(piece_count) +
              " hex=" + HexBytes(reply));
    return true;
}

bool Simulator::Understands(int index, const std::string& request) {
    const MachineSpec& m = machines_[static_cast<std::size_t>(index)];
    // A receiver set to another bit rate or format sees framing and parity errors and
    // throws the characters away: the machine stays silent, as a real one would.
    if (!line_.Agrees(m.line)) {
        log_.Line("mismatch machine=" + std::to_string(index) + " line=" + line_.Text() +
                  " expected=" + m.line.Text() + " reply=none");
        return false;
    }
    if ((m.modbus_reply_length > 0 || m.modbus_exception > 0) && !ModbusRtu::CrcOk(request)) {
        log_.Line("reply machine=" + std::to_string(index) + " crc=bad len=0");
        return false;
    }
    return true;
}

std::string Simulator::ReplyBytes(const MachineSpec& m, const std::string& request) {
    std::string base = m.reply;
    if (m.modbus_reply_length > 0) {
        base = ModbusRtu::Reply(request, m.modbus_reply_length);
    } else if (m.modbus_exception > 0) {
        base = ModbusRtu::Exception(request, m.modbus_exception);
    }
    switch (m.fault) {
        case Fault::kCutShort: {
            const std::size_t keep =
                m.cut_length >= 0 ? static_cast<std::size_t>(m.cut_length) : base.size() / 2;
            return base.substr(0, keep);
        }
        case Fault::kGarbage: {
            std::string out(base.size(), '\0');
            for (char& c : out) {
                garbage_state_ = garbage_state_ * 1664525u + 1013904223u;
                c = static_cast<char>(garbage_state_ >> 24);
            }
            return out;
        }
        case Fault::kOverLong: {
            std::string out;
            for (int i = 0; i < m.extra_length; ++i) {
                out += static_cast<char>('A' + i % 26);
            }
            return out + base;
        }
        case Fault::kBadCrc:
            // The last byte, which a Modbus RTU reply's CRC ends with, changed.
            if (!base.empty()) {
                base.back() = static_cast<char>(base.back() ^ 0x01);
            }
            return base;
        case Fault::kNone:
        case Fault::kNoReply:
            break;
    }
    return base;
}

bool Simulator::Send(int index, const std::string& bytes) {
    std::size_t done = 0;
    Clock::time_point due = Clock::now();
    while (done < bytes.size()) {
        std::size_t chunk = bytes.size() - done;
        if (options_.pacing) {
            // A byte is on the far end once its last bit has gone over the line.
            due += char_time_;
            if (!SleepUntil(due)) {
                return false;
            }
            chunk = 1;
        }
        // Until the last byte is out the bus is the machine's: nothing the master sent
        // meanwhile can be answered later.
        DropCollision(index);
        const ssize_t n = ::write(port_, bytes.data() + done, chunk);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                log_.Line(std::string("write failed: ") + std::strerror(errno));
                port_failed_ = true;
                return false;
            }
            pollfd pfd{port_, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Simulator::DropCollision(int index) {
    std::string dropped;
    char buf[512];
    ssize_t n = 0;
    while ((n = ::read(port_, buf, sizeof(buf))) > 0) {
        dropped.append(buf, static_cast<std::size_t>(n));
    }
    if (!dropped.empty()) {
        log_.Line("collision machine=" + std::to_string(index) + " len=" +
                  std::to_string(dropped.size()) + " hex=" + HexBytes(dropped) + " dropped");
        Echo(dropped.data(), dropped.size(), true);
    }
}

void Simulator::Echo(const char* data, std::size_t len, bool collided) {
    if (!options_.echo) {
        return;
    }
    std::string heard(data, len);
    if (collided) {
        for (char& c : heard) {
            c = static_cast<char>(~c);
        }
    }
    std::size_t done = 0;
    while (done < heard.size()) {
        const ssize_t n = ::write(port_, heard.data() + done, heard.size() - done);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                log_.Line(std::string("write failed: ") + std::strerror(errno));
                port_failed_ = true;
                return;
            }
            pollfd pfd{port_, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    log_.Line(std::string("echo") + (collided ? " collided" : "") + " len=" + std::to_string(len) +
              " hex=" + HexBytes(heard));
}

bool Simulator::SleepUntil(Clock::time_point t) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= t) {
            return !stop_;
        }
        const timespec ts = ToTimespec(t - now);
        pollfd pfd{signal_fd_, POLLIN, 0};
        if (::ppoll(&pfd, 1, &ts, nullptr) > 0) {
            signalfd_siginfo info{};
            const ssize_t n = ::read(signal_fd_, &info, sizeof(info));
            static_cast<void>(n);
            log_.Line("stop signal=" + std::to_string(info.ssi_signo));
            stop_ = true;
            return false;
        }
    }
}

}  // namespace rs485sim
