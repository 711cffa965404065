// The users of one channel as the daemon lists them (order "users"): the channel's own settings,
// used by clients without an identity, and each process with settings of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace rs485ctl {

class UserList {
  public:
    struct User {
        uint32_t id{0};  // 0: the channel's own settings
        long pid{0};
        int baud_index{-1};
        int mask{0};
        std::vector<int> request_lens;  // machines 1..15
        long long last_cycle_ms{0};     // wall clock; 0 never
    };

    // Reads the daemon's reply; false (with *error) for a refusal or a malformed reply.
    static bool Parse(const std::string& reply, std::vector<User>* users, std::string* error);
    // A table for people, or one JSON object per user (JSON Lines).
    static void Print(FILE* out, int channel, const std::vector<User>& users, bool json);
};

}  // namespace rs485ctl
