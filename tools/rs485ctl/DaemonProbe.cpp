#include "DaemonProbe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <picojson.h>

#include "JsonFile.h"

namespace rs485ctl {

namespace {

// Closes the descriptor when the probe is done with it.
class SocketFd {
  public:
    explicit SocketFd(int fd) : fd_(fd) {}
    ~SocketFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

// Frees the address list of getaddrinfo.
class AddrList {
  public:
    ~AddrList() {
        if (list_ != nullptr) {
            ::freeaddrinfo(list_);
        }
    }
    addrinfo** Out() { return &list_; }
    const addrinfo* Get() const { return list_; }

  private:
    addrinfo* list_{nullptr};
};

void TakeString(const picojson::object& obj, const char* key, std::string* out) {
    const auto it = obj.find(key);
    if (it != obj.end() && it->second.is<std::string>()) {
        *out = it->second.get<std::string>();
    }
}

}  // namespace

DaemonProbe::DaemonProbe(const std::string& conf_file) : conf_file_(conf_file) {
    picojson::value doc;
    if (rs485tools::JsonFile::Read(conf_file, &doc, &problem_) ==
            rs485tools::JsonFile::Status::kRead &&
        !doc.is<picojson::object>()) {
        problem_ = "not a JSON object";
    }
    if (!problem_.empty()) {
        return;
    }
    const picojson::object& top = doc.get<picojson::object>();
    const auto log = top.find("log");
    if (log != top.end() && log->second.is<picojson::object>()) {
        const picojson::object& lo = log->second.get<picojson::object>();
        TakeString(lo, "log_dir", &log_dir_);
        TakeString(lo, "log_file", &log_file_);
    }
    const auto conn = top.find("order_conn");
    if (conn == top.end() || !conn->second.is<picojson::object>()) {
        return;
    }
    const picojson::object& oc = conn->second.get<picojson::object>();
    TakeString(oc, "server", &server_);
    const auto port = oc.find("port");
    if (port != oc.end() && port->second.is<double>()) {
        port_ = static_cast<int>(port->second.get<double>());
    }
}

int DaemonProbe::_connect() const {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    AddrList list;
    if (::getaddrinfo(server_.c_str(), std::to_string(port_).c_str(), &hints, list.Out()) != 0) {
        return -1;
    }
    for (const addrinfo* a = list.Get(); a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            return fd;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return -1;
}

bool DaemonProbe::Reachable() const {
    const SocketFd fd(_connect());
    return fd.Get() >= 0;
}

std::string DaemonProbe::Ask(const std::string& order, int timeout_ms) const {
    const SocketFd fd(_connect());
    if (fd.Get() < 0 || ::send(fd.Get(), order.data(), order.size(), MSG_NOSIGNAL) !=
                            static_cast<ssize_t>(order.size())) {
        return std::string();
    }
    pollfd pfd{fd.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) {
        return std::string();
    }
    // One reply word; the daemon sends it in one piece.
    char buf[4096];
    const ssize_t n = ::recv(fd.Get(), buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace rs485ctl
