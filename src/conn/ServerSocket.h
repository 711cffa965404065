// The daemon's TCP server for the order protocol: one listening socket and the connections of
// all clients, served one after another on the calling (main) thread.
#pragma once

#include <poll.h>

#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ISocketCallback.h"

namespace veldw485::conn {

class ServerSocket {
  public:
    ServerSocket();
    virtual ~ServerSocket();
    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;
    // Moving hands the descriptors over; the target's own descriptors are closed first.
    ServerSocket(ServerSocket&& other) noexcept;
    ServerSocket& operator=(ServerSocket&& other) noexcept;

    void SetCallback(ISocketCallback* cb);
    // Listens on the first IPv4 address of host ("0.0.0.0": all addresses) at port.
    // 0 listening, -1 socket failed, -2 host unresolvable or bind failed, -3 listen failed.
    int Bind(int port, const std::string& host);
    // Serves until stopped (0), a poll or accept failure (-1) or a shut order (kShutOrdered).
    // Running out of descriptors does not end it: accepting pauses for kAcceptPauseMillis.
    int WaitAndReceive(int timeout_ms);
    static constexpr int kShutOrdered = -2;
    static constexpr int kAcceptPauseMillis = 100;
    void Stop();
    void CloseAll();
    // The signal handler only stores the signal number in *pending; the loop takes it at the
    // start of every pass and after an interrupted wait and calls on_signal with it.
    void SetSignalSource(std::atomic<int>* pending, std::function<void(int)> on_signal);

  private:
    // Result of serving one readable client.
    enum class ClientResult { kKeep, kClosed, kFinish };

    void _takePendingSignal();
    std::vector<pollfd> _pollSet() const;
    // 1 a connection was accepted, 0 nothing to accept (or accepting paused), -1 accept failed.
    int _accept();
    // Poll time-out of one pass: the wait time, shortened while accepting is paused.
    int _passTimeout(int timeout_ms) const;
    ClientResult _serveClient(int fd, char* buffer);
    ClientResult _runOrders(int fd, const std::string& text);
    void _sendResponse(int fd, const std::string& result);
    void _closeClient(int fd);

    int _listenFd{-1};
    std::set<int> _clients;
    std::atomic<int> _stopFlag{0};
    std::shared_ptr<spdlog::logger> _logger;
    ISocketCallback* _callback{nullptr};
    std::atomic<int>* _pendingSignal{nullptr};
    std::function<void(int)> _onSignal;
    // While no descriptor is free the listening socket stays out of the poll set until this
    // time, so that the pending connection does not wake the loop at once again.
    std::chrono::steady_clock::time_point _acceptPausedUntil{};
    bool _acceptPaused{false};
};

}  // namespace veldw485::conn
