// The facade's synchronisation of one channel: serialises the calls that use the channel's
// connection or request slot, keeps the segments attached while a reader copies from them,
// and lets a close cancel a call that waits for the daemon.
#pragma once

#include <atomic>
#include <mutex>

namespace veldwlib {

class ChannelGate {
  public:
    ChannelGate() = default;
    ChannelGate(const ChannelGate&) = delete;
    ChannelGate& operator=(const ChannelGate&) = delete;

    // Held for a whole call that uses the connection or the request slot (orders, transmit,
    // cycle), so calls on one channel run one after the other.
    std::mutex& Calls() { return _calls; }
    // Held while the segments are attached, detached or read; taken after Calls.
    std::mutex& Segments() { return _segments; }

    // A close announces itself before it takes Calls: a call waiting for the daemon sees it
    // at the end of its current wait slice and gives up.
    void BeginClose() { _closing.fetch_add(1); }
    void EndClose() { _closing.fetch_sub(1); }
    bool Closing() const { return _closing.load() > 0; }

  private:
    std::mutex _calls;
    std::mutex _segments;
    std::atomic<int> _closing{0};
};

}  // namespace veldwlib
