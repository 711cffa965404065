// The clients of one line that have an identity. Each keeps a machine table of its own
// (parameters, selection, requests, speed), so what one process sets never changes the cycles
// of another. A client is known by the order connection it registered on and lives until it
// closes the channel or that connection ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "MachineTable.h"

namespace veldw485::line {

class ClientViews {
  public:
    // Clients with a table of their own per line; further ones share the channel's settings.
    static constexpr std::size_t kMaxClients = 16;

    struct Summary {
        uint32_t id{0};
        int pid{0};
        int baudrate{-1};
        int mask{0};
        uint16_t lens[vel::shm::kMachineCount]{};
        int64_t last_cycle_ms{0};  // wall clock of the end of its last cycle; 0 never
    };

    // The identity of the client on connection conn, registered now or before (its process id
    // and baud index are updated then). 0 when the line has kMaxClients already.
    uint32_t Register(int conn, int pid, int baudrate);
    // Forgets the client on conn: its identity and process id, or 0 when there was none.
    uint32_t Drop(int conn, int* pid);
    // Forgets every client (the line was opened afresh).
    void Clear();
    // The identity of the client on conn, 0 for a connection without one.
    uint32_t Find(int conn) const;

    // As MachineTable's; -2 for an unknown identity.
    int SetPortParams(uint32_t id, int mc_num, int max_machine, unsigned char ctrl_bit,
                      short time_out, unsigned char delm_type, unsigned char len_after_delm,
                      unsigned char wait_time);
    // As MachineTable's; -3 for an unknown identity.
    int SetReplyFraming(uint32_t id, int mc_num, int max_machine, int kind, int length);
    // 1 stored, 0 unknown identity.
    int SetComFlags(uint32_t id, int mask);
    // 1 stored, 0 refused or unknown identity.
    int SetSendData(uint32_t id, int mc_num, const unsigned char* data, int len);
    // A copy of the client's table; false for an unknown identity.
    bool Table(uint32_t id, MachineTable* out) const;
    // Records the end of a cycle; identity 0: a cycle with the channel's table.
    void CycleDone(uint32_t id, int64_t wall_ms);
    int64_t ChannelLastCycle() const;

    std::vector<Summary> List() const;
    // The summary of one table: its selection and request lengths with the given identity,
    // process id, baud index and end of the last cycle.
    static Summary Summarize(uint32_t id, int pid, int baudrate, const MachineTable& table,
                             int64_t last_cycle_ms);

  private:
    struct Client {
        uint32_t id;
        int conn;
        int pid;
        MachineTable table;
        int64_t last_cycle_ms;
    };
    Client* _find(uint32_t id);
    const Client* _find(uint32_t id) const;

    mutable std::mutex _lock;
    std::vector<Client> _clients;
    uint32_t _nextId{1};
    int64_t _channelLastCycleMs{0};
};

}  // namespace veldw485::line
