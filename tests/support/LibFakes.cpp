#include "LibFakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "TextUtil.h"

namespace testsupport {

FakeOrderServer::~FakeOrderServer() {
    Stop();
}

bool FakeOrderServer::Start(int port, Responder responder) {
    responder_ = std::move(responder);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::pipe(wake_) != 0) {
        return false;
    }
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void FakeOrderServer::Stop() {
    if (thread_.joinable()) {
        const char c = 'x';
        (void)!::write(wake_[1], &c, 1);
        thread_.join();
    }
    for (const auto& c : clients_) {
        ::close(c.first);
    }
    clients_.clear();
    for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void FakeOrderServer::DropClients() {
    drop_ = true;
    const char c = 'd';
    (void)!::write(wake_[1], &c, 1);
    WaitUntil([this] { return !drop_; }, 10000);
}

void FakeOrderServer::Run() {
    while (true) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (const auto& c : clients_) {
            fds.push_back({c.first, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char c = 0;
            (void)!::read(wake_[0], &c, 1);
            if (c == 'x') {
                return;
            }
            for (const auto& cl : clients_) {
                ::close(cl.first);
            }
            clients_.clear();
            drop_ = false;
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients_.emplace_back(fd, ++accepted_);
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const auto client = std::find_if(
                clients_.begin(), clients_.end(),
                [&fds, i](const std::pair<int, int>& c) { return c.first == fds[i].fd; });
            char buf[4096];
            const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                clients_.erase(client);
                continue;
            }
            const std::string text(buf, static_cast<std::size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({client->second, text});
            }
            const std::string reply = responder_(text);
            if (!reply.empty()) {
                ::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
    }
}

std::vector<FakeOrderServer::Receipt> FakeOrderServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string FakeOrderServer::AllReceived() const {
    std::string all;
    for (const Receipt& r : Received()) {
        all += r.text;
    }
    return all;
}

TestShmGroup::~TestShmGroup() {
    Remove();
}

bool TestShmGroup::Create(const ConfigPlan& plan, int group) {
    if (vel::text::MakeDirs(plan.key_dir, 0755) != 0) {
        return false;
    }
    for (int j = 0; j < plan.indata_num; ++j) {
        const std::string suffix = std::to_string(group) + "_" + std::to_string(j) + ".key";
        const std::string shm_file = plan.key_dir + "/shm" + suffix;
        const std::string sem_file = plan.key_dir + "/sem" + suffix;
        if (!WriteFile(shm_file, "") || !WriteFile(sem_file, "")) {
            return false;
        }
        const int id = group * plan.indata_num + j + 1;
        const int size = j == 0 ? plan.receive_size : plan.control_size;
        const int shm = ::shmget(::ftok(shm_file.c_str(), id), static_cast<std::size_t>(size),
                                 IPC_CREAT | IPC_EXCL | 0600);
        const int sem = ::semget(::ftok(sem_file.c_str(), id), 1, IPC_CREAT | 0600);
        if (shm < 0 || sem < 0) {
            return false;
        }
        shm_ids_.push_back(shm);
        sem_ids_.push_back(sem);
        void* addr = ::shmat(shm, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            return false;
        }
        addrs_.push_back(addr);
        ::semctl(sem, 0, SETVAL, 0);
        if (static_cast<std::size_t>(size) >= vel::shm::kMutexSlot &&
            vel::shm::InitSegmentMutex(addr) != 0) {
            return false;
        }
    }
    return true;
}

void TestShmGroup::Remove() {
    for (void* a : addrs_) {
        ::shmdt(a);
    }
    for (int id : shm_ids_) {
        ::shmctl(id, IPC_RMID, nullptr);
    }
    for (int id : sem_ids_) {
        ::semctl(id, 0, IPC_RMID);
    }
    addrs_.clear();
    shm_ids_.clear();
    sem_ids_.clear();
}

vel::shm::ReceiveSegment* TestShmGroup::Receive() const {
    return static_cast<vel::shm::ReceiveSegment*>(addrs_.at(vel::shm::kReceiveEntry));
}

vel::shm::ControlSegment* TestShmGroup::Control() const {
    return static_cast<vel::shm::ControlSegment*>(addrs_.at(vel::shm::kControlEntry));
}

int TestShmGroup::ControlSem() const {
    return sem_ids_.at(vel::shm::kControlEntry);
}

int TestShmGroup::SemValue(int entry) const {
    return ::semctl(sem_ids_.at(static_cast<std::size_t>(entry)), 0, GETVAL);
}

FakeWorker::~FakeWorker() {
    Stop();
}

void FakeWorker::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void FakeWorker::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeWorker::SetReplies(const std::vector<Reply>& replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = replies;
}

std::vector<FakeWorker::Transmit> FakeWorker::Transmits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transmits_;
}

void FakeWorker::Run() {
    while (!stop_) {
        Serve();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FakeWorker::Serve() {
    using namespace vel::shm;
    ControlSegment* ctl = group_.Control();
    LockSegmentMutex(ctl, nullptr);
    if (ctl->data_flags >= kAnswerThreshold) {
        UnlockSegmentMutex(ctl);
        return;
    }
    bool answered = false;
    bool cycle = false;
    if ((ctl->data_flags & kTransmitRequest) != 0) {
        ctl->data_flags ^= kTransmitRequest;
        const int len = std::clamp(ctl->data_len, 0, kSendBufferSize);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            transmits_.push_back({ctl->mode, std::string(reinterpret_cast<const char*>(ctl->data),
                                                         static_cast<std::size_t>(len))});
        }
        ctl->data_len = transmit_result_;
        ctl->data_flags |= kTransmitAnswer;
        answered = true;
    } else if ((ctl->data_flags & kComRequest) != 0) {
        ctl->data_flags ^= kComRequest;
        ctl->mode = com_result_;
        ctl->data_flags |= kComAnswer;
        answered = true;
        cycle = true;
    }
    UnlockSegmentMutex(ctl);
    if (cycle) {
        ReceiveSegment* rcv = group_.Receive();
        LockSegmentMutex(rcv, nullptr);
        ++stamp_;
        rcv->data_flags |= kReceiveWritten;
        rcv->time = stamp_;
        std::lock_guard<std::mutex> lock(mutex_);
        for (int m = 0; m < kMachineCount; ++m) {
            ReceiveRecord& r = rcv->records[m];
            const Reply reply = static_cast<std::size_t>(m) < replies_.size()
                                    ? replies_[static_cast<std::size_t>(m)]
                                    : Reply{"", kStatusNotPolled};
            r.time = stamp_;
            r.dalen = static_cast<uint16_t>(reply.bytes.size());
            r.statu = reply.status;
            std::memcpy(r.da, reply.bytes.data(), reply.bytes.size());
            r.da[reply.bytes.size()] = 0;
        }
        UnlockSegmentMutex(rcv);
        ++cycles_;
    }
    if (answered) {
        sembuf sb{0, 1, 0};
        ::semop(group_.ControlSem(), &sb, 1);
    }
}

}  // namespace testsupport
