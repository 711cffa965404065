// The thread of one channel: runs its ChannelPoller, so that a slow line never delays
// another's period, and carries out the commands handed to it between cycles.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ChannelEvents.h"
#include "ChannelPoller.h"
#include "CommandHandler.h"

namespace rs485mqtt {

class ChannelThread {
  public:
    // Commands waiting for the thread; more are refused, so that a flood of commands for a
    // slow line cannot grow the bridge's memory.
    static constexpr std::size_t kQueueLimit = 16;

    ChannelThread(const ChannelSettings& settings, ChannelEvents* events);
    ~ChannelThread();
    ChannelThread(const ChannelThread&) = delete;
    ChannelThread& operator=(const ChannelThread&) = delete;

    int Channel() const { return channel_; }
    void Start();
    // Queues a checked command (topic: where it came from, for its error message); false
    // when the queue is full.
    bool Post(const Command& command, const std::string& topic);
    // Ends the thread: a cycle in progress is cut short by closing the channel under it.
    void Stop();

  private:
    struct Pending {
        Command command;
        std::string topic;
    };
    void _run();
    void _execute(const Pending& p);

    const int channel_;
    ChannelEvents* events_;
    std::atomic<bool> stopping_{false};
    ChannelPoller poller_;  // used on the thread only
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pending> pending_;
    std::thread thread_;
};

}  // namespace rs485mqtt
