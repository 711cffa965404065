#include "ClientViews.h"

#include <algorithm>

namespace veldw485::line {

ClientViews::Client* ClientViews::_find(uint32_t id) {
    const auto it = std::find_if(_clients.begin(), _clients.end(),
                                 [id](const Client& c) { return c.id == id; });
    return it != _clients.end() ? &*it : nullptr;
}

const ClientViews::Client* ClientViews::_find(uint32_t id) const {
    const auto it = std::find_if(_clients.begin(), _clients.end(),
                                 [id](const Client& c) { return c.id == id; });
    return it != _clients.end() ? &*it : nullptr;
}

uint32_t ClientViews::Register(int conn, int pid, int baudrate) {
    std::lock_guard<std::mutex> guard(_lock);
    for (Client& c : _clients) {
        if (c.conn == conn) {
            c.pid = pid;
            c.table.SetBaudrate(baudrate);
            return c.id;
        }
    }
    if (_clients.size() >= kMaxClients) {
        return 0;
    }
    // 0 means nobody in the control segment: skipped when the counter wraps.
    uint32_t id = _nextId++;
    if (id == 0) {
        id = _nextId++;
    }
    _clients.push_back(Client{id, conn, pid, MachineTable(baudrate), 0});
    return id;
}

uint32_t ClientViews::Drop(int conn, int* pid) {
    std::lock_guard<std::mutex> guard(_lock);
    const auto it = std::find_if(_clients.begin(), _clients.end(),
                                 [conn](const Client& c) { return c.conn == conn; });
    if (it == _clients.end()) {
        return 0;
    }
    const uint32_t id = it->id;
    if (pid != nullptr) {
        *pid = it->pid;
    }
    _clients.erase(it);
    return id;
}

void ClientViews::Clear() {
    std::lock_guard<std::mutex> guard(_lock);
    _clients.clear();
    _channelLastCycleMs = 0;
}

uint32_t ClientViews::Find(int conn) const {
    std::lock_guard<std::mutex> guard(_lock);
    for (const Client& c : _clients) {
        if (c.conn == conn) {
            return c.id;
        }
    }
    return 0;
}

int ClientViews::SetPortParams(uint32_t id, int mc_num, int max_machine, unsigned char ctrl_bit,
                               short time_out, unsigned char delm_type,
                               unsigned char len_after_delm, unsigned char wait_time) {
    std::lock_guard<std::mutex> guard(_lock);
    Client* c = _find(id);
    if (c == nullptr) {
        return -2;
    }
    return c->table.SetPortParams(mc_num, max_machine, ctrl_bit, time_out, delm_type,
                                  len_after_delm, wait_time);
}

int ClientViews::SetReplyFraming(uint32_t id, int mc_num, int max_machine, int kind, int length) {
    std::lock_guard<std::mutex> guard(_lock);
    Client* c = _find(id);
    return c != nullptr ? c->table.SetReplyFraming(mc_num, max_machine, kind, length) : -3;
}

int ClientViews::SetComFlags(uint32_t id, int mask) {
    std::lock_guard<std::mutex> guard(_lock);
    Client* c = _find(id);
    if (c == nullptr) {
        return 0;
    }
    c->table.SetComFlags(mask);
    return 1;
}

int ClientViews::SetSendData(uint32_t id, int mc_num, const unsigned char* data, int len) {
    std::lock_guard<std::mutex> guard(_lock);
    Client* c = _find(id);
    return c != nullptr ? c->table.SetSendData(mc_num, data, len) : 0;
}

bool ClientViews::Table(uint32_t id, MachineTable* out) const {
    std::lock_guard<std::mutex> guard(_lock);
    const Client* c = _find(id);
    if (c == nullptr) {
        return false;
    }
    *out = c->table;
    return true;
}

void ClientViews::CycleDone(uint32_t id, int64_t wall_ms) {
    std::lock_guard<std::mutex> guard(_lock);
    if (id == 0) {
        _channelLastCycleMs = wall_ms;
        return;
    }
    Client* c = _find(id);
    if (c != nullptr) {
        c->last_cycle_ms = wall_ms;
    }
}

int64_t ClientViews::ChannelLastCycle() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _channelLastCycleMs;
}

ClientViews::Summary ClientViews::Summarize(uint32_t id, int pid, int baudrate,
                                            const MachineTable& table, int64_t last_cycle_ms) {
    Summary s;
    s.id = id;
    s.pid = pid;
    s.baudrate = baudrate;
    s.mask = table.Mask();
    for (int m = 0; m < vel::shm::kMachineCount; ++m) {
        s.lens[m] = table.Send(m).len;
    }
    s.last_cycle_ms = last_cycle_ms;
    return s;
}

std::vector<ClientViews::Summary> ClientViews::List() const {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<Summary> list;
    list.reserve(_clients.size());
    for (const Client& c : _clients) {
        list.push_back(Summarize(c.id, c.pid, c.table.Baudrate(), c.table, c.last_cycle_ms));
    }
    return list;
}

}  // namespace veldw485::line
