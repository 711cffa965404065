#include "ChannelThread.h"

#include <rs485.h>

#include <algorithm>
#include <chrono>

#include "BridgeLog.h"
#include "Clock.h"

namespace rs485mqtt {

ChannelThread::ChannelThread(const ChannelSettings& settings, ChannelEvents* events)
    : channel_(settings.channel), events_(events), poller_(settings, events, &stopping_) {}

ChannelThread::~ChannelThread() {
    Stop();
}

void ChannelThread::Start() {
    thread_ = std::thread([this] { _run(); });
}

bool ChannelThread::Post(const Command& command, const std::string& topic) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() >= kQueueLimit) {
            return false;
        }
        pending_.push_back({command, topic});
    }
    wake_.notify_one();
    return true;
}

void ChannelThread::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    // A cycle over slow machines may last minutes; closing the channel ends the wait for it
    // within about 250 ms (see Threads in rs485.h). The thread makes no call afterwards.
    pxa_rs485_close(channel_);
    thread_.join();
}

void ChannelThread::_run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        while (!pending_.empty()) {
            const Pending p = pending_.front();
            pending_.pop_front();
            lock.unlock();
            _execute(p);
            lock.lock();
        }
        if (stopping_) {
            break;
        }
        lock.unlock();
        poller_.Step(MonotonicMs());
        lock.lock();
        const int64_t wait = std::max<int64_t>(0, poller_.NextDue() - MonotonicMs());
        wake_.wait_for(lock, std::chrono::milliseconds(wait),
                       [this] { return stopping_ || !pending_.empty(); });
    }
    lock.unlock();
    poller_.Close();
}

void ChannelThread::_execute(const Pending& p) {
    std::string why;
    bool ok = true;
    switch (p.command.kind) {
        case Command::Kind::kRequest:
            ok = poller_.SetRequest(p.command.machine, p.command.request, &why);
            break;
        case Command::Kind::kMask:
            ok = poller_.SetMask(p.command.mask, &why);
            break;
        case Command::Kind::kCycleNow:
            poller_.CycleNow();
            break;
    }
    if (ok) {
        BridgeLog::Info("command " + p.topic + " done");
    } else {
        events_->OnCommandFailed(p.topic, why);
    }
}

}  // namespace rs485mqtt
