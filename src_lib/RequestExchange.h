// One request and its answer on a channel's control slot. Every wait is cut into slices;
// between slices the exchange gives up when the channel is being closed or the daemon is
// gone, so a call never outlives the daemon that should answer it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "ChannelGate.h"
#include "SharedMemCli.h"

namespace veldwlib {

class RequestExchange {
  public:
    enum class Outcome { kDone, kCancelled, kDaemonGone, kLost };

    // Called with this request's answer in the slot, before it is taken: the worker serves
    // nobody else meanwhile, so the receive records are still those of this request's cycle
    // when records is true.
    using AnswerHook = std::function<void(bool records)>;

    // socket_fd: the channel's connection to the daemon (-1 when it is closed); its end is
    // how the daemon's end is seen first. user: this process's identity on the channel, 0 for
    // none (the request is made the channel-wide way, without an identity).
    RequestExchange(shmem::SharedMemCli& shm, const ChannelGate& gate, int socket_fd, int channel,
                    uint32_t user = 0);

    // Waits until the control slot is free (no request in flight, no answer uncollected),
    // then, under the control mutex, drops semaphore posts nobody is owed and sets
    // request_bit with mode and, for data_len >= 0 (a transmit request), data_len bytes of
    // data and a 0 byte. Then wakes the channel's worker through the receive entry's
    // semaphore.
    Outcome Post(uint32_t request_bit, int32_t mode, const uint8_t* data, int32_t data_len);
    // Waits for answer_bit; a post that finds it not set is not this request's answer and the
    // wait goes on. With an identity, an answer to another requester is left in place and its
    // post given back. kLost: the slot shows neither this request nor its answer any more (the
    // worker cleared an answer left uncollected too long, or another waiter took it). *result:
    // data_len for a transmit answer, mode for a cycle answer. on_answer (identity only) runs
    // before the answer is taken; an answer cleared meanwhile gives kLost.
    Outcome Collect(uint32_t answer_bit, int32_t* result, const AnswerHook& on_answer = {});

    // Length of one wait slice: how late a close or the daemon's end is noticed.
    static constexpr int kSliceMillis = 250;
    // How often a busy slot is looked at again: the worker's own poll interval.
    static constexpr useconds_t kBusyPollMicros = 10000;

  private:
    Outcome _lockControl();
    Outcome _between() const;
    bool _lost(uint32_t answer_bit);
    bool _daemonGone() const;
    // Under the control mutex: the slot holds the answer to this request.
    bool _answerIsMine(uint32_t answer_bit) const;
    // The identity path of Collect after a post: kDone with *result, or with *waiting set
    // when the post was not this request's and the wait goes on; kLost; or why the control
    // mutex could not be had.
    Outcome _takeIdentified(uint32_t answer_bit, int32_t* result, const AnswerHook& on_answer,
                            bool* waiting);

    shmem::SharedMemCli& _shm;
    const ChannelGate& _gate;
    int _fd;
    int _channel;
    uint32_t _user;
};

}  // namespace veldwlib
