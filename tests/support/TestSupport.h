// Helpers for tests that run the real programs inside the sandbox.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

std::string Env(const char* name, const std::string& fallback = "");
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Polls pred every 10 ms until it is true or timeout_ms has passed.
bool WaitUntil(const std::function<bool()>& pred, int timeout_ms);
// Number of lines of text that contain needle.
int CountLines(const std::string& text, const std::string& needle);
std::vector<std::string> Lines(const std::string& text);

// A child process whose standard output and error go to files. Killed (SIGKILL) and reaped
// on destruction if it still runs.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program path. Output goes to out_file and err_file.
    bool Start(const std::vector<std::string>& argv, const std::string& out_file,
               const std::string& err_file, const std::vector<std::string>& extra_env = {});
    pid_t Pid() const { return pid_; }
    bool Signal(int signo) const;
    bool Running();
    // Waits up to timeout_ms; returns true when the process ended. ExitStatus/TermSignal then
    // tell how.
    bool Wait(int timeout_ms);
    int ExitStatus() const { return exit_status_; }
    int TermSignal() const { return term_signal_; }
    std::string Stdout() const { return ReadFile(out_file_); }
    std::string Stderr() const { return ReadFile(err_file_); }

  private:
    pid_t pid_{-1};
    bool ended_{false};
    int exit_status_{-1};
    int term_signal_{0};
    std::string out_file_;
    std::string err_file_;
};

// A blocking TCP client over loopback.
class TcpClient {
  public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool Connect(int port, const std::string& host = "127.0.0.1");
    bool Send(const std::string& text);
    // Whatever arrives within timeout_ms (one receive); empty on time-out or close.
    std::string Recv(int timeout_ms);
    // True when the peer closed the connection within timeout_ms.
    bool WaitClosed(int timeout_ms);
    void Close();
    int Fd() const { return fd_; }

  private:
    int fd_{-1};
};

// Describes one configured line and builds the JSON configuration files.
struct LinePlan {
    // keys: further keys of the entry as JSON text, e.g. "\"direction\": \"auto\"".
    LinePlan(std::string device_path, std::string de = "none", int baud = 3, int machines = 15,
             std::string more_keys = "")
        : device(std::move(device_path)), de_line(std::move(de)), baudrate(baud),
          max_machine(machines), keys(std::move(more_keys)) {}
    std::string device;
    std::string de_line;
    int baudrate;
    int max_machine;
    std::string keys;
};

struct ConfigPlan {
    std::vector<LinePlan> lines;
    int groups{-1};  // -1: one group per line
    int indata_num{2};
    std::string key_dir{"/var/local/velkey"};
    int start_wait_ms{0};
    int port{10001};
    int connect_timeout{200};
    int res_wait_timeout{1000};
    std::string log_dir{"/var/local/vellog"};
    int receive_size{8192};
    int control_size{256};
    std::string trace;  // the "trace" key; empty: not written
};

std::string MakeConfig(const ConfigPlan& plan);
// Writes /usr/local/etc/vellib/dwmid.conf and dwlib.conf from the plan.
bool InstallConfig(const ConfigPlan& plan);

inline constexpr char kConfDir[] = "/usr/local/etc/vellib";
inline constexpr char kDaemonConf[] = "/usr/local/etc/vellib/dwmid.conf";
inline constexpr char kLibConf[] = "/usr/local/etc/vellib/dwlib.conf";
inline constexpr char kLogFile[] = "/var/local/vellog/dwmid.log";
inline constexpr char kSpiLog[] = "/var/local/sandbox/spitool.log";
inline constexpr char kGpioValue[] = "/sys/class/gpio/gpio86/value";

// The daemon under test, started from DWMID_BIN with its output in /var/local/sandbox.
class Daemon {
  public:
    // extra_env: "NAME=value" entries added to the daemon's environment.
    bool Start(const std::vector<std::string>& extra_env = {});
    // Waits until the log shows that the order server is bound.
    bool WaitServing(int timeout_ms = 15000);
    ChildProcess& Process() { return proc_; }
    std::string Log() const { return ReadFile(kLogFile); }
    // The part of the log written since the last Start.
    std::string NewLog() const { return Log().substr(log_offset_); }

  private:
    ChildProcess proc_;
    std::size_t log_offset_{0};
};

// Number of System V shared memory segments and semaphore sets in this IPC namespace.
int CountShmSegments();
int CountSemaphoreSets();

}  // namespace testsupport
