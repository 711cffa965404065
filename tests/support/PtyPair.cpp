#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "TestSupport.h"

namespace testsupport {

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    slave_path_ = name;
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) {
        ::close(slave_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool PtyPair::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            pollfd pfd{master_, POLLOUT, 0};
            if (::poll(&pfd, 1, 1000) <= 0) {
                return false;
            }
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string PtyPair::ReadAvailable(int timeout_ms, int quiet_ms) {
    std::string out;
    int wait = timeout_ms;
    for (;;) {
        pollfd pfd{master_, POLLIN, 0};
        if (::poll(&pfd, 1, wait) <= 0 || (pfd.revents & POLLIN) == 0) {
            return out;
        }
        char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof(buf));
        if (n <= 0) {
            return out;
        }
        out.append(buf, static_cast<std::size_t>(n));
        wait = quiet_ms;
    }
}

int PtyPair::SlaveUnread() const {
    int n = 0;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
}

PtyResponder::PtyResponder(PtyPair& pty, std::size_t request_len, Answer answer)
    : pty_(pty), request_len_(request_len), answer_(std::move(answer)) {
    thread_ = std::thread([this] { Run(); });
}

PtyResponder::~PtyResponder() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> PtyResponder::Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void PtyResponder::Run() {
    std::string pending;
    while (!stop_) {
        pollfd pfd{pty_.Master(), POLLIN, 0};
        if (::poll(&pfd, 1, 20) > 0 && (pfd.revents & POLLIN) != 0) {
            char buf[256];
            const ssize_t n = ::read(pty_.Master(), buf, sizeof(buf));
            if (n > 0) {
                pending.append(buf, static_cast<std::size_t>(n));
            }
        }
        while (!pending.empty() && pending.size() >= request_len_) {
            const std::string request = pending.substr(0, request_len_);
            pending.erase(0, request_len_);
            {
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back(request);
            }
            for (const ReplyStep& step : answer_(request)) {
                if (step.repeat) {
                    Repeat(step);
                    continue;
                }
                if (step.after_drained) {
                    WaitUntil([this] { return stop_ || pty_.SlaveUnread() == 0; }, 20000);
                }
                if (step.pause_ms > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.pause_ms));
                }
                pty_.Write(step.bytes);
            }
        }
    }
}

void PtyResponder::Repeat(const ReplyStep& step) {
    std::size_t sent = 0;
    while (!stop_ && sent < kMaxRepeatBytes) {
        pollfd pfd{pty_.Master(), POLLIN, 0};
        if (::poll(&pfd, 1, 0) > 0) {
            return;  // the next request: the master has the line again
        }
        if (step.pause_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.pause_ms));
        } else if (pty_.SlaveUnread() > 0) {
            ::poll(&pfd, 1, 1);
            continue;
        }
        pty_.Write(step.bytes);
        sent += step.bytes.size();
    }
}

}  // namespace testsupport
