#include "RequestExchange.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ShmLayout.h"
#include "Trace.h"

namespace veldwlib {

namespace shm = vel::shm;

RequestExchange::RequestExchange(shmem::SharedMemCli& shm, const ChannelGate& gate, int socket_fd,
                                 int channel, uint32_t user)
    : _shm(shm), _gate(gate), _fd(socket_fd), _channel(channel), _user(user) {}

bool RequestExchange::_daemonGone() const {
    if (_fd < 0) {
        return true;
    }
    // POLLRDHUP reports the daemon's end even while unread replies wait on the connection.
    pollfd pfd{_fd, POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        return true;
    }
    return _shm.IsRemoved(shm::kControlEntry);
}

RequestExchange::Outcome RequestExchange::_between() const {
    if (_gate.Closing()) {
        VTRACE(_channel << ":: request : channel closed while waiting");
        return Outcome::kCancelled;
    }
    if (_daemonGone()) {
        VTRACE(_channel << ":: request : the daemon is gone");
        return Outcome::kDaemonGone;
    }
    return Outcome::kDone;
}

RequestExchange::Outcome RequestExchange::_lockControl() {
    while (true) {
        const int rc = _shm.MutexLockFor(shm::kControlEntry, kSliceMillis);
        if (rc == 0) {
            return Outcome::kDone;
        }
        if (rc != ETIMEDOUT) {
            return Outcome::kDaemonGone;
        }
        const Outcome o = _between();
        if (o != Outcome::kDone) {
            return o;
        }
    }
}

RequestExchange::Outcome RequestExchange::Post(uint32_t request_bit, int32_t mode,
                                               const uint8_t* data, int32_t data_len) {
    static constexpr uint32_t kBusy =
        shm::kTransmitRequest | shm::kComRequest | shm::kTransmitAnswer | shm::kComAnswer;
    auto* ctl = static_cast<shm::ControlSegment*>(_shm.GetShmemAddr(shm::kControlEntry));
    while (true) {
        const Outcome o = _lockControl();
        if (o != Outcome::kDone) {
            return o;
        }
        if ((ctl->data_flags & kBusy) == 0U) {
            break;
        }
        // Another process's request is in flight, or its answer not yet collected: the slot
        // is its until it collects (an answer nobody collects is cleared by the worker within
        // about a second). Overwriting it would hand one answer to two waiters.
        _shm.MutexUnlock(shm::kControlEntry);
        ::usleep(kBusyPollMicros);
        const Outcome b = _between();
        if (b != Outcome::kDone) {
            return b;
        }
    }
    // With the slot free nobody is owed a post: one left over (from a process that ended
    // between post and collection, or a stray one) would be taken for this request's answer.
    _shm.ResetSemVal(shm::kControlEntry);
    if (_user != 0) {
        shm::IdentityOf(ctl)->request_id = _user;
        request_bit |= shm::kIdentifiedRequest;
    }
    ctl->data_flags |= request_bit;
    ctl->mode = mode;
    if (data_len >= 0) {
        ctl->data_len = data_len;
        if (data_len > 0) {
            std::memcpy(ctl->data, data, static_cast<std::size_t>(data_len));
        }
        ctl->data[data_len] = 0;
    }
    _shm.MutexUnlock(shm::kControlEntry);
    // Wakes the worker, which otherwise sees the request at its next poll. The receive
    // entry's semaphore serves no other purpose; a failure only costs that wait.
    (void)_shm.SemUnlock(shm::kReceiveEntry);
    return Outcome::kDone;
}

bool RequestExchange::_answerIsMine(uint32_t answer_bit) const {
    auto* ctl = static_cast<shm::ControlSegment*>(_shm.GetShmemAddr(shm::kControlEntry));
    return (ctl->data_flags & answer_bit) != 0U &&
           (_user == 0 || shm::IdentityOf(ctl)->answer_id == _user);
}

RequestExchange::Outcome RequestExchange::_takeIdentified(uint32_t answer_bit, int32_t* result,
                                                          const AnswerHook& on_answer,
                                                          bool* waiting) {
    auto* ctl = static_cast<shm::ControlSegment*>(_shm.GetShmemAddr(shm::kControlEntry));
    *waiting = false;
    Outcome o = _lockControl();
    if (o != Outcome::kDone) {
        return o;
    }
    if (!_answerIsMine(answer_bit)) {
        // Another requester's answer (this one was held up and its own answer cleared, or a
        // post came early): its post goes back to the semaphore for its owner.
        const bool other = ctl->data_flags >= shm::kAnswerThreshold;
        if (other) {
            _shm.SemUnlock(shm::kControlEntry);
        }
        _shm.MutexUnlock(shm::kControlEntry);
        VTRACE(_channel << ":: request : a post for another requester"
                        << (other ? ", given back" : ", ignored"));
        if (_lost(answer_bit)) {
            return Outcome::kLost;
        }
        // Not taken again at once: its owner waits for it too.
        ::usleep(kBusyPollMicros);
        *waiting = true;
        return Outcome::kDone;
    }
    const bool records = shm::IdentityOf(ctl)->answer_records != 0U;
    _shm.MutexUnlock(shm::kControlEntry);
    if (on_answer) {
        on_answer(records);
    }
    o = _lockControl();
    if (o != Outcome::kDone) {
        return o;
    }
    const bool still = _answerIsMine(answer_bit);
    if (still) {
        ctl->data_flags ^= answer_bit;
        *result = answer_bit == shm::kTransmitAnswer ? ctl->data_len : ctl->mode;
    }
    _shm.MutexUnlock(shm::kControlEntry);
    return still ? Outcome::kDone : Outcome::kLost;
}

RequestExchange::Outcome RequestExchange::Collect(uint32_t answer_bit, int32_t* result,
                                                  const AnswerHook& on_answer) {
    auto* ctl = static_cast<shm::ControlSegment*>(_shm.GetShmemAddr(shm::kControlEntry));
    while (true) {
        const int rc = _shm.SemLockFor(shm::kControlEntry, kSliceMillis);
        if (rc == 0 && _user != 0) {
            bool waiting = false;
            const Outcome o = _takeIdentified(answer_bit, result, on_answer, &waiting);
            if (o == Outcome::kLost) {
                VTRACE(_channel << ":: request : neither request nor answer left, answer lost");
            }
            if (o != Outcome::kDone || !waiting) {
                return o;
            }
            const Outcome b = _between();
            if (b != Outcome::kDone) {
                return b;
            }
            continue;
        }
        if (rc == 0) {
            const Outcome o = _lockControl();
            if (o != Outcome::kDone) {
                return o;
            }
            const bool answered = (ctl->data_flags & answer_bit) != 0U;
            if (answered) {
                ctl->data_flags ^= answer_bit;
                *result = answer_bit == shm::kTransmitAnswer ? ctl->data_len : ctl->mode;
            }
            _shm.MutexUnlock(shm::kControlEntry);
            if (answered) {
                return Outcome::kDone;
            }
            VTRACE(_channel << ":: request : a post without this request's answer, ignored");
            continue;
        }
        if (rc != ETIMEDOUT) {
            VTRACE(_channel << ":: request : semaphore wait failed errno=" << rc);
            return Outcome::kDaemonGone;
        }
        const Outcome o = _between();
        if (o != Outcome::kDone) {
            return o;
        }
        if (_lost(answer_bit)) {
            VTRACE(_channel << ":: request : neither request nor answer left, answer lost");
            return Outcome::kLost;
        }
    }
}

bool RequestExchange::_lost(uint32_t answer_bit) {
    // Between taking a request and posting its answer the worker holds the mutex, so a slot
    // seen free under it cannot be this request still in progress. A busy mutex (a cycle
    // running) says nothing: look again after the next slice.
    if (_shm.MutexLockFor(shm::kControlEntry, 0) != 0) {
        return false;
    }
    const uint32_t request_bit =
        answer_bit == shm::kTransmitAnswer ? shm::kTransmitRequest : shm::kComRequest;
    auto* ctl = static_cast<shm::ControlSegment*>(_shm.GetShmemAddr(shm::kControlEntry));
    bool lost = (ctl->data_flags & (answer_bit | request_bit)) == 0U;
    if (!lost && _user != 0) {
        // With identities the slot must show this request or its answer, not someone else's.
        const bool requested =
            (ctl->data_flags & request_bit) != 0U && shm::IdentityOf(ctl)->request_id == _user;
        lost = !requested && !_answerIsMine(answer_bit);
    }
    _shm.MutexUnlock(shm::kControlEntry);
    return lost;
}

}  // namespace veldwlib
