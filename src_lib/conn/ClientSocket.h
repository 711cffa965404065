// A minimal blocking TCP client: connect, send one text, wait a bounded time for one reply.
#pragma once

#include <string>

namespace veldwlib::conn {

class ClientSocket {
  public:
    // Ready status values besides the negative connect results.
    static constexpr int kNeverConnected = 0;
    static constexpr int kConnecting = 1;
    static constexpr int kConnected = 2;

    ClientSocket() = default;
    virtual ~ClientSocket();
    // The socket owns its descriptor: it moves, it is never duplicated.
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;
    ClientSocket(ClientSocket&& other) noexcept;
    ClientSocket& operator=(ClientSocket&& other) noexcept;

    // 0 connected; -1 no socket; -2 host name not resolved; -4 connect refused or failed.
    int connectServer(const std::string& host, int port);
    // Bytes sent (>= 0) or -1; a failed send closes the connection.
    int SendData(const std::string& text);
    // Bytes received (>= 1); 0 no reply within wait_ms; -1 peer closed; -2 receive failed;
    // -3 not readable.
    int RecvData(int wait_ms, std::string& reply);
    // Bytes of reply (>= 1); 0 no reply in time; -1 send failed; -2 receive failed or closed.
    int SendAndRecvData(const std::string& text, int wait_ms, std::string& reply);
    int disconnectServer();
    int getReadyStatus() const { return _readyStatus; }
    int getDescriptor() const { return _fd; }

  private:
    int _fail(int result);

    int _fd{-1};
    int _readyStatus{kNeverConnected};
};

}  // namespace veldwlib::conn
