#include "UserList.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <rs485.h>

#include <charconv>
#include <ctime>

#include "OrderWords.h"

namespace rs485ctl {

namespace {

namespace order = vel::order;

constexpr int kMachines = RS485_MACHINE_COUNT;
// Two hexadecimal digits per machine for the request lengths.
constexpr std::size_t kLensText = 2U * static_cast<std::size_t>(kMachines);

std::vector<std::string> SplitAt(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) {
            return parts;
        }
        from = at + 1;
    }
}

template <typename T>
bool Number(const std::string& text, T* out, int base = 10) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, *out, base);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

bool ParseUser(const std::string& entry, UserList::User* u) {
    const std::vector<std::string> f = SplitAt(entry, order::kUserFieldSeparator);
    if (f.size() != 6 || f[4].size() != kLensText || !Number(f[0], &u->id) ||
        !Number(f[1], &u->pid) || !Number(f[2], &u->baud_index) || !Number(f[3], &u->mask, 16) ||
        !Number(f[5], &u->last_cycle_ms)) {
        return false;
    }
    for (int m = 0; m < kMachines; ++m) {
        int len = 0;
        if (!Number(f[4].substr(2U * static_cast<std::size_t>(m), 2), &len, 16)) {
            return false;
        }
        u->request_lens.push_back(len);
    }
    return true;
}

std::string Machines(int mask) {
    std::string text;
    for (int m = 0; m < kMachines; ++m) {
        if ((mask & (1 << m)) != 0) {
            text += (text.empty() ? "" : ",") + std::to_string(m + 1);
        }
    }
    return text.empty() ? "-" : text;
}

std::string Requests(const UserList::User& u) {
    std::string text;
    for (std::size_t m = 0; m < u.request_lens.size(); ++m) {
        if (u.request_lens[m] > 0) {
            text += (text.empty() ? "" : " ") + std::to_string(m + 1) + ":" +
                    std::to_string(u.request_lens[m]);
        }
    }
    return text.empty() ? "-" : text;
}

std::string When(long long ms) {
    if (ms <= 0) {
        return "never";
    }
    const auto secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    if (::localtime_r(&secs, &tm) == nullptr) {
        return "?";
    }
    return fmt::format("{:%Y-%m-%d %H:%M:%S}", tm);
}

long BitRate(int baud_index) {
    return baud_index >= 0 && baud_index <= 5 ? 1200L << baud_index : 0L;
}

}  // namespace

bool UserList::Parse(const std::string& reply, std::vector<User>* users, std::string* error) {
    users->clear();
    if (reply.empty()) {
        *error = "no answer from the daemon";
        return false;
    }
    if (reply == order::kUlErr) {
        *error = "the channel is not open";
        return false;
    }
    if (reply.rfind(order::kUlPrefix, 0) != 0) {
        *error = "the daemon does not list users (reply \"" + reply + "\")";
        return false;
    }
    for (const std::string& entry :
         SplitAt(reply.substr(sizeof(order::kUlPrefix) - 1), order::kUserSeparator)) {
        User u;
        if (!ParseUser(entry, &u)) {
            *error = "malformed entry \"" + entry + "\"";
            users->clear();
            return false;
        }
        users->push_back(u);
    }
    return true;
}

void UserList::Print(FILE* out, int channel, const std::vector<User>& users, bool json) {
    if (json) {
        for (const User& u : users) {
            std::string requests;
            for (std::size_t m = 0; m < u.request_lens.size(); ++m) {
                if (u.request_lens[m] > 0) {
                    requests += (requests.empty() ? "\"" : ",\"") + std::to_string(m + 1) +
                                "\":" + std::to_string(u.request_lens[m]);
                }
            }
            std::fprintf(out,
                         "{\"channel\":%d,\"user\":%u,\"pid\":%ld,\"bit_rate\":%ld,"
                         "\"machines\":\"%s\",\"request_bytes\":{%s},\"last_cycle_ms\":%lld}\n",
                         channel, static_cast<unsigned>(u.id), u.pid, BitRate(u.baud_index),
                         Machines(u.mask).c_str(), requests.c_str(), u.last_cycle_ms);
        }
        return;
    }
    std::fprintf(out, "channel %d: %zu process%s with settings of its own\n", channel,
                 users.empty() ? 0 : users.size() - 1, users.size() == 2 ? "" : "es");
    std::fprintf(out, "%-8s %-8s %-7s %-16s %-24s %s\n", "user", "process", "bit/s", "machines",
                 "requests (machine:bytes)", "last cycle");
    for (const User& u : users) {
        const std::string id = u.id == 0 ? "shared" : std::to_string(u.id);
        const std::string pid = u.id == 0 ? "-" : std::to_string(u.pid);
        std::fprintf(out, "%-8s %-8s %-7ld %-16s %-24s %s\n", id.c_str(), pid.c_str(),
                     BitRate(u.baud_index), Machines(u.mask).c_str(), Requests(u).c_str(),
                     When(u.last_cycle_ms).c_str());
    }
}

}  // namespace rs485ctl
