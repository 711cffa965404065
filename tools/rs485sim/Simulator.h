// The simulated bus: one port (a pseudo-terminal or a given tty) on which the configured
// slave machines answer the master's requests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SimConfig.h"
#include "SimLog.h"

namespace rs485sim {

struct SimOptions {
    std::string link;  // symbolic link to the port, made once the simulator is ready
    std::string tty;   // answer on this tty instead of a new pseudo-terminal
    std::string config;
    std::string log;
    int baud{3};  // baud index 0..5 (1200..38400 bit/s)
    bool pacing{true};
    long gap_us{-1};           // silence that ends a request; -1: 3.5 character times
    std::string settings_dir;  // where the preload shim leaves the master's line settings
    bool echo{false};          // the master hears its own bytes, as on some adapters
};

class Simulator {
  public:
    using Clock = std::chrono::steady_clock;

    Simulator(const SimOptions& options, std::vector<MachineSpec> machines, SimLog& log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the port, takes SIGINT and SIGTERM, and makes the link. False with a message.
    bool Start(std::string* error);
    // Serves requests until SIGINT or SIGTERM. False when the port failed.
    bool Run();

    // Character time of a baud index: 11 bits a character.
    static std::chrono::microseconds CharTime(int baud);

  private:
    bool OpenPort(std::string* error);
    bool MakeLink(std::string* error);
    void RemoveLink();
    // Handles every request that is complete in pending_; now is the time of the call.
    bool Serve(Clock::time_point now, bool silence);
    bool Answer(int index, const std::string& request, Clock::time_point first_byte);
    // Whether machine index takes the request at all; logs why not.
    bool Understands(int index, const std::string& request);
    std::string ReplyBytes(const MachineSpec& m, const std::string& request);
    // Writes machine index's reply bytes, paced or at once. False when a signal asked to stop
    // or the port failed.
    bool Send(int index, const std::string& bytes);
    // Reads and drops what the master sent while machine index is answering.
    void DropCollision(int index);
    // With --echo, gives the master's bytes back; collided: as two transmitters on the bus at
    // once garble them (every bit inverted).
    void Echo(const char* data, std::size_t len, bool collided);
    // Sleeps until t unless a stop signal comes first; false then.
    bool SleepUntil(Clock::time_point t);

    SimOptions options_;
    std::vector<MachineSpec> machines_;
    SimLog& log_;
    std::chrono::microseconds char_time_;
    std::chrono::microseconds gap_;
    int port_{-1};
    int slave_{-1};  // kept open so that the pseudo-terminal survives its users
    int signal_fd_{-1};
    std::string slave_path_;
    bool link_made_{false};
    bool stop_{false};
    bool port_failed_{false};
    std::string pending_;
    Clock::time_point first_byte_{};
    Clock::time_point last_byte_{};
    LineSettings line_;  // the master's settings when the first byte of pending_ came
    uint32_t garbage_state_{0x12345678u};
};

}  // namespace rs485sim
