// A pseudo-terminal pair for driving a tty user from the other end, and a thread that
// answers its requests like a slave machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && slave_ >= 0; }
    int Master() const { return master_; }
    // The slave side stays open here so the master never sees a hang-up between users.
    int Slave() const { return slave_; }
    const std::string& SlavePath() const { return slave_path_; }

    bool Write(const std::string& bytes);
    // Whatever the master can read within timeout_ms, read until a pause of quiet_ms.
    std::string ReadAvailable(int timeout_ms, int quiet_ms = 50);
    // Bytes written to the master that the slave's user has not read yet.
    int SlaveUnread() const;

  private:
    int master_{-1};
    int slave_{-1};
    std::string slave_path_;
};

// One piece of an answer: optionally wait until the slave's user has read everything sent so
// far, then pause, then write the bytes. A repeated step writes the bytes again and again (after
// each pause, or without one as fast as the slave's user reads them) until the next request
// comes, at most kMaxRepeatBytes in all.
struct ReplyStep {
    std::string bytes;
    bool after_drained{false};
    int pause_ms{0};
    bool repeat{false};
};
inline constexpr std::size_t kMaxRepeatBytes = 1200;

// Answers requests on the master side: a request is request_len bytes; the answer function
// gets it and returns the steps to play.
class PtyResponder {
  public:
    using Answer = std::function<std::vector<ReplyStep>(const std::string& request)>;

    PtyResponder(PtyPair& pty, std::size_t request_len, Answer answer);
    ~PtyResponder();
    PtyResponder(const PtyResponder&) = delete;
    PtyResponder& operator=(const PtyResponder&) = delete;

    std::vector<std::string> Requests();

  private:
    void Run();
    void Repeat(const ReplyStep& step);

    PtyPair& pty_;
    std::size_t request_len_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace testsupport
