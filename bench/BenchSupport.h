// What the benchmarks share: child processes and bounded waits, text files, the simulator and
// the configuration of the daemon they start.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d);

// The count given as the first argument, fallback without one; at least 1.
int CountArg(int argc, char** argv, int fallback);

bool WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Starts args[0] with args, its standard output and error to the file out (truncated).
pid_t Spawn(const std::vector<std::string>& args, const std::string& out);

// Checks pred every step until it holds (true) or seconds have passed (false).
bool WaitFor(const std::function<bool()>& pred, int seconds, std::chrono::milliseconds step);

// The simulator named by RS485SIM_BIN, else the one built with the benchmarks.
std::string SimulatorProgram();

// Starts the simulator at baud index baud on link with the machine file config, logging to
// log, and waits up to 15 s for the link; the simulator's pid, or -1.
pid_t StartSimulator(const std::string& program, const std::string& link, const std::string& config,
                     int baud, const std::string& log);

// Writes the daemon's and the library's configuration: one line at baud index 5 per device,
// each with its own pair of shared areas.
void WriteDaemonConfig(const std::vector<std::string>& devices, long log_max_bytes);

}  // namespace bench
