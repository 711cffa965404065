#include "ServerSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Log.h"
#include "OrderWords.h"
#include "TextUtil.h"
#include "Trace.h"

namespace veldw485::conn {

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

// First IPv4 address of host; false when it does not resolve.
bool ResolveIPv4(const std::string& host, in_addr* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> owner(found);
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    return true;
}

// poll(2) takes any descriptor number, unlike a select set. A negative wait fails as a select
// time-out would, instead of waiting for ever.
int WaitReadable(std::vector<pollfd>& fds, int timeout_ms) {
    if (timeout_ms < 0) {
        errno = EINVAL;
        return -1;
    }
    return ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout_ms);
}

}  // namespace

ServerSocket::ServerSocket() : _logger(GetLogger()) {}

ServerSocket::~ServerSocket() {
    CloseAll();
}

ServerSocket::ServerSocket(ServerSocket&& other) noexcept
    : _listenFd(std::exchange(other._listenFd, -1)),
      _clients(std::move(other._clients)),
      _stopFlag(other._stopFlag.load()),
      _logger(std::move(other._logger)),
      _callback(other._callback),
      _pendingSignal(other._pendingSignal),
      _onSignal(std::move(other._onSignal)),
      _acceptPausedUntil(other._acceptPausedUntil),
      _acceptPaused(other._acceptPaused) {
    other._clients.clear();
}

ServerSocket& ServerSocket::operator=(ServerSocket&& other) noexcept {
    if (this != &other) {
        CloseAll();
        _listenFd = std::exchange(other._listenFd, -1);
        _clients = std::move(other._clients);
        other._clients.clear();
        _stopFlag.store(other._stopFlag.load());
        _logger = other._logger;
        _callback = other._callback;
        _pendingSignal = other._pendingSignal;
        _onSignal = std::move(other._onSignal);
        _acceptPausedUntil = other._acceptPausedUntil;
        _acceptPaused = other._acceptPaused;
    }
    return *this;
}

void ServerSocket::SetCallback(ISocketCallback* cb) {
    _callback = cb;
}

void ServerSocket::SetSignalSource(std::atomic<int>* pending, std::function<void(int)> on_signal) {
    _pendingSignal = pending;
    _onSignal = std::move(on_signal);
}

int ServerSocket::Bind(int port, const std::string& host) {
    if (_listenFd >= 0) {
        ::close(_listenFd);
    }
    // Not inherited by the programs the daemon runs, which would otherwise keep the port busy.
    // Non-blocking so that a connection withdrawn between poll and accept cannot hang the loop.
    _listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (_listenFd < 0) {
        VLOG_ERROR(_logger, "[{}:{}] socket error : fd = {}", _listenFd);
        return -1;
    }
    // Lets a restarted daemon bind while connections of the previous run are in TIME_WAIT;
    // a port with a live listener is still refused.
    const int on = 1;
    if (::setsockopt(_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        VLOG_ERROR(_logger, "[{}:{}] socket error : fd = {}", _listenFd);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // The added warnings say why: "server" must name an address of this machine.
    const bool port_ok = port >= 1 && port <= 65535;
    if (!port_ok || !ResolveIPv4(host, &addr.sin_addr)) {
        VLOG_ERROR(_logger, "[{}:{}] bind error : fd = {}", _listenFd);
        VLOG_WARN(_logger, "[{}:{}] cannot listen on server \"{}\" port {} : {}", host, port,
                  port_ok ? "not an IPv4 host name or address" : "port outside 1..65535");
        return -2;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(_listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int bind_errno = errno;
        VLOG_ERROR(_logger, "[{}:{}] bind error : fd = {}", _listenFd);
        VLOG_WARN(_logger, "[{}:{}] cannot listen on server \"{}\" port {} : {}", host, port,
                  std::strerror(bind_errno));
        if (bind_errno == EADDRINUSE) {
            VLOG_WARN(_logger, "[{}:{}] order port {} is taken by another dwmid or program", port);
            VERROR("dwmid: order port " << port
                                        << " is taken: another dwmid, or another program, "
                                           "listens on it");
        }
        return -2;
    }
    if (::listen(_listenFd, 1) != 0) {
        VLOG_ERROR(_logger, "[{}:{}] bind error : fd = {}", _listenFd);
        return -3;
    }
    VLOG_INFO(_logger, "[{}:{}] bind : fd = {}", _listenFd);
    return 0;
}

int ServerSocket::WaitAndReceive(int timeout_ms) {
    std::array<char, vel::order::kReceiveBufferSize> buffer{};
    while (true) {
        _takePendingSignal();
        std::vector<pollfd> fds = _pollSet();
        if (_stopFlag.load() != 0) {
            VLOG_WARN(_logger, "[{}:{}] wait & receive : loop out 1");
            return 0;
        }
        const int ready = WaitReadable(fds, _passTimeout(timeout_ms));
        if (ready < 0) {
            if (errno == EINTR) {
                _takePendingSignal();
                continue;
            }
            VLOG_ERROR(_logger, "[{}:{}] select error : errno = {}", errno);
            return -1;
        }
        if (ready == 0) {
            continue;
        }
        if (_stopFlag.load() != 0) {
            VLOG_WARN(_logger, "[{}:{}] wait & receive : loop out 2");
            return 0;
        }
        if (fds[0].revents != 0 && _accept() < 0) {
            return -1;
        }
        // Entries 1.. are the clients in ascending order; one accepted just now is not among
        // them and is served from the next pass on.
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (_stopFlag.load() != 0) {
                VLOG_WARN(_logger, "[{}:{}] wait & receive : loop out 3");
                break;
            }
            if (fds[k].revents == 0) {
                continue;
            }
            if (_serveClient(fds[k].fd, buffer.data()) == ClientResult::kFinish) {
                return kShutOrdered;
            }
        }
    }
}

void ServerSocket::Stop() {
    VLOG_WARN(_logger, "[{}:{}] stop order");
    _stopFlag.store(1);
}

void ServerSocket::CloseAll() {
    for (const int fd : _clients) {
        if (_callback != nullptr) {
            _callback->ConnectionEnded(fd);
        }
        ::close(fd);
    }
    _clients.clear();
    if (_listenFd >= 0) {
        ::close(_listenFd);
        _listenFd = -1;
    }
}

void ServerSocket::_takePendingSignal() {
    if (_pendingSignal == nullptr) {
        return;
    }
    const int signo = _pendingSignal->exchange(0);
    if (signo != 0 && _onSignal) {
        _onSignal(signo);
    }
}

std::vector<pollfd> ServerSocket::_pollSet() const {
    std::vector<pollfd> fds;
    fds.reserve(_clients.size() + 1);
    // A negative descriptor is ignored by poll: the paused listening socket keeps its place.
    const bool paused = _acceptPaused && std::chrono::steady_clock::now() < _acceptPausedUntil;
    fds.push_back(pollfd{paused ? -1 : _listenFd, POLLIN, 0});
    for (const int fd : _clients) {
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    return fds;
}

int ServerSocket::_passTimeout(int timeout_ms) const {
    if (!_acceptPaused || timeout_ms < 0) {
        return timeout_ms;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          _acceptPausedUntil - std::chrono::steady_clock::now())
                          .count();
    if (left < 0) {
        return timeout_ms;  // the pause is over: the listening socket is polled again
    }
    return static_cast<int>(std::min<long long>(left + 1, timeout_ms));
}

int ServerSocket::_accept() {
    const int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // The pending connection went away before it was taken: nothing to serve.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) {
            return 0;
        }
        // Out of descriptors or memory: the connections already open are still served, and
        // the pending one is taken once a descriptor is free. Logged once per shortage.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (!_acceptPaused) {
                VLOG_ERROR(_logger, "[{}:{}] accept error : return fd = {}", fd);
                VLOG_WARN(_logger, "[{}:{}] accept paused : errno = {}", errno);
            }
            _acceptPaused = true;
            _acceptPausedUntil =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMillis);
            return 0;
        }
        VLOG_ERROR(_logger, "[{}:{}] accept error : return fd = {}", fd);
        return -1;
    }
    if (_acceptPaused) {
        _acceptPaused = false;
        VLOG_INFO(_logger, "[{}:{}] accept resumed");
    }
    VLOG_INFO(_logger, "[{}:{}] client connect : fd = {}", fd);
    _clients.insert(fd);
    return 1;
}

ServerSocket::ClientResult ServerSocket::_serveClient(int fd, char* buffer) {
    const ssize_t n = ::recv(fd, buffer, vel::order::kReceiveBufferSize, 0);
    if (n < 0) {
        VLOG_ERROR(_logger, "[{}:{}] receive error : fd = {} : rev size = {}", fd, n);
        _closeClient(fd);
        return ClientResult::kClosed;
    }
    if (n == 0) {
        VLOG_WARN(_logger, "[{}:{}] socket close : fd = {}", fd);
        _closeClient(fd);
        return ClientResult::kClosed;
    }
    const std::string text(buffer, ::strnlen(buffer, static_cast<std::size_t>(n)));
    VLOG_INFO(_logger, "[{}:{}] receive : data = {} : length = {}", text, text.size());
    if (_callback == nullptr) {
        VLOG_WARN(_logger, "[{}:{}] callback interface is not set!");
        return ClientResult::kKeep;
    }
    return _runOrders(fd, text);
}

ServerSocket::ClientResult ServerSocket::_runOrders(int fd, const std::string& text) {
    for (const std::string& order : vel::text::Split(text, vel::order::kTerminator)) {
        VLOG_INFO(_logger, "[{}:{}]    analyze : data = {} : length = {}", order, order.size());
        const std::string result = _callback->CallOrderFrom(fd, order);
        VLOG_INFO(_logger, "[{}:{}]    analyze end : result = {} : length = {}", result,
                  result.size());
        if (result == vel::order::kFinish) {
            _closeClient(fd);
            return ClientResult::kFinish;
        }
        if (result == vel::order::kCloseFd) {
            _closeClient(fd);
            VLOG_INFO(_logger, "[{}:{}] response end : fd = {}", fd);
            // The orders after it in this receive are dropped: their replies would have no
            // connection to go to.
            return ClientResult::kClosed;
        }
        if (!result.empty()) {
            _sendResponse(fd, result);
        }
        VLOG_INFO(_logger, "[{}:{}] response end : fd = {}", fd);
    }
    return ClientResult::kKeep;
}

void ServerSocket::_sendResponse(int fd, const std::string& result) {
    // MSG_NOSIGNAL: a client that has already closed yields EPIPE here, not a fatal SIGPIPE.
    const ssize_t ret = ::send(fd, result.data(), result.size(), MSG_NOSIGNAL);
    if (ret > 0) {
        VLOG_INFO(_logger, "[{}:{}] response send : fd = {} : ret = {} : message = {}", fd, ret,
                  result);
    } else {
        VLOG_WARN(_logger, "[{}:{}] response error : fd = {} : ret = {} : message = {}", fd, ret,
                  result);
    }
}

void ServerSocket::_closeClient(int fd) {
    // Told before the descriptor can be reused for another connection.
    if (_callback != nullptr) {
        _callback->ConnectionEnded(fd);
    }
    ::close(fd);
    _clients.erase(fd);
}

}  // namespace veldw485::conn
