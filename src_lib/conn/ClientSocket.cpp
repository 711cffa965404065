#include "ClientSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "OrderWords.h"
#include "Trace.h"

namespace veldwlib::conn {

ClientSocket::~ClientSocket() {
    disconnectServer();
}

ClientSocket::ClientSocket(ClientSocket&& other) noexcept
    : _fd(std::exchange(other._fd, -1)), _readyStatus(other._readyStatus) {}

ClientSocket& ClientSocket::operator=(ClientSocket&& other) noexcept {
    if (this != &other) {
        disconnectServer();
        _fd = std::exchange(other._fd, -1);
        _readyStatus = other._readyStatus;
    }
    return *this;
}

int ClientSocket::_fail(int result) {
    _readyStatus = result;
    _fd = -1;
    return result;
}

int ClientSocket::connectServer(const std::string& host, int port) {
    disconnectServer();
    _readyStatus = kConnecting;
    // Close-on-exec keeps the daemon connection out of programs the application starts, so
    // the daemon sees the end of the connection when this process ends.
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_fd < 0) {
        VTRACE(" socket error");
        return _fail(-1);
    }
    VTRACE("socket fd=" << _fd);

    // getaddrinfo restricted to IPv4 resolves like the host-entry lookup, but is thread-safe.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        ::close(_fd);
        VTRACE("gethostbyname error");
        return _fail(-2);
    }
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(static_cast<uint16_t>(port));

    int rc;
    do {
        rc = ::connect(_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(_fd);
        VTRACE("connect error");
        return _fail(-4);
    }
    _readyStatus = kConnected;
    return 0;
}

int ClientSocket::SendData(const std::string& text) {
    ssize_t n = -1;
    if (_fd >= 0) {
        // MSG_NOSIGNAL: a daemon that has gone away must not kill the application by SIGPIPE.
        do {
            n = ::send(_fd, text.data(), text.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
    }
    VTRACE("send data length = " << n);
    if (n < 0) {
        disconnectServer();
        VTRACE("send error");
        return -1;
    }
    return static_cast<int>(n);
}

int ClientSocket::RecvData(int wait_ms, std::string& reply) {
    if (_fd < 0) {
        return -3;
    }
    // poll instead of select: a descriptor number of FD_SETSIZE or more is valid here too.
    // A negative wait is taken as no wait, so the reply wait stays bounded.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0);
    pollfd pfd{_fd, POLLIN, 0};
    int ready;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ready = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        // An interrupted wait goes on for the rest of its time.
        if (ready >= 0 || errno != EINTR) {
            break;
        }
    }
    if (ready == 0) {
        VTRACE("receive timeout");
        return 0;
    }
    if (ready < 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return -3;
    }

    char buf[vel::order::kReceiveBufferSize] = {};
    ssize_t n;
    do {
        n = ::recv(_fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        disconnectServer();
        return -1;
    }
    if (n < 0) {
        return -2;
    }
    reply.assign(buf, ::strnlen(buf, static_cast<std::size_t>(n)));
    return static_cast<int>(n);
}

int ClientSocket::SendAndRecvData(const std::string& text, int wait_ms, std::string& reply) {
    if (SendData(text) < 1) {
        return -1;
    }
    const int m = RecvData(wait_ms, reply);
    if (m < 0) {
        return -2;
    }
    return m;
}

int ClientSocket::disconnectServer() {
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    return 0;
}

}  // namespace veldwlib::conn
