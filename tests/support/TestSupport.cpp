#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "Emulation.h"

extern char** environ;

namespace testsupport {

std::string Env(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : fallback;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

int CountLines(const std::string& text, const std::string& needle) {
    int count = 0;
    for (const std::string& line : Lines(text)) {
        if (line.find(needle) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !ended_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& out_file,
                         const std::string& err_file, const std::vector<std::string>& extra_env) {
    out_file_ = out_file;
    err_file_ = err_file;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    // Cross-built programs (the example, the C client) run under the emulator.
    const std::vector<std::string> command = WithEmulator(argv);
    std::vector<char*> args;
    for (const std::string& a : command) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
        }
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
        }
        if (in >= 0) {
            ::dup2(in, STDIN_FILENO);
        }
        ::setpgid(0, 0);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    pid_ = pid;
    ended_ = false;
    exit_status_ = -1;
    term_signal_ = 0;
    return true;
}

bool ChildProcess::Signal(int signo) const {
    return pid_ > 0 && !ended_ && ::kill(pid_, signo) == 0;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || ended_) {
        return false;
    }
    return !Wait(0);
}

bool ChildProcess::Wait(int timeout_ms) {
    if (pid_ <= 0) {
        return true;
    }
    if (ended_) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            ended_ = true;
            if (WIFEXITED(status)) {
                exit_status_ = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                term_signal_ = WTERMSIG(status);
            }
            return true;
        }
        if (r < 0) {
            ended_ = true;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TcpClient::~TcpClient() {
    Close();
}

bool TcpClient::Connect(int port, const std::string& host) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    return true;
}

bool TcpClient::Send(const std::string& text) {
    return fd_ >= 0 &&
           ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string TcpClient::Recv(int timeout_ms) {
    if (fd_ < 0) {
        return std::string();
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) {
        return std::string();
    }
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        return std::string();
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

bool TcpClient::WaitClosed(int timeout_ms) {
    if (fd_ < 0) {
        return true;
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) {
        return false;
    }
    char buf[256];
    return ::recv(fd_, buf, sizeof buf, MSG_PEEK) == 0;
}

void TcpClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::string MakeConfig(const ConfigPlan& plan) {
    std::ostringstream out;
    out << "{\n  \"order_conn\": {\"server\": \"localhost\", \"port\": " << plan.port
        << ", \"conenct_timeout\": " << plan.connect_timeout
        << ", \"res_wait_timeout\": " << plan.res_wait_timeout << "},\n";
    out << "  \"log\": {\"log_dir\": \"" << plan.log_dir
        << "\", \"log_file\": \"dwmid.log\", \"log_max_bytes\": 1000000, \"log_counts\": 3},\n";
    out << "  \"line\": [";
    for (std::size_t i = 0; i < plan.lines.size(); ++i) {
        const LinePlan& l = plan.lines[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"device\": \"" << l.device << "\", \"de_line\": \""
            << l.de_line << "\", \"baudrate\": " << l.baudrate
            << ", \"max_machine\": " << l.max_machine << (l.keys.empty() ? "" : ", ") << l.keys
            << "}";
    }
    out << "\n  ],\n";
    out << "  \"shared_indata_num\": " << plan.indata_num << ",\n";
    out << "  \"shared_key_dir\": \"" << plan.key_dir << "\",\n";
    const int groups = plan.groups >= 0 ? plan.groups : static_cast<int>(plan.lines.size());
    out << "  \"shared\": [";
    for (int g = 0; g < groups; ++g) {
        out << (g == 0 ? "\n" : ",\n") << "    {";
        std::ostringstream ipc;
        std::ostringstream ids;
        std::ostringstream sizes;
        std::ostringstream sems;
        for (int j = 0; j < plan.indata_num; ++j) {
            const char* sep = j == 0 ? "" : ", ";
            ipc << sep << "\"shm" << g << "_" << j << ".key\"";
            ids << sep << (g * plan.indata_num + j + 1);
            sizes << sep << (j == 0 ? plan.receive_size : plan.control_size);
            sems << sep << "\"sem" << g << "_" << j << ".key\"";
        }
        out << "\"ipc_key\": [" << ipc.str() << "], \"sh_id\": [" << ids.str()
            << "], \"shmem_size\": [" << sizes.str() << "], \"sem_key\": [" << sems.str() << "]}";
    }
    out << "\n  ],\n";
    if (!plan.trace.empty()) {
        out << "  \"trace\": \"" << plan.trace << "\",\n";
    }
    out << "  \"start_wait_interval\": " << plan.start_wait_ms << "\n}\n";
    return out.str();
}

bool InstallConfig(const ConfigPlan& plan) {
    const std::string text = MakeConfig(plan);
    return WriteFile(kDaemonConf, text) && WriteFile(kLibConf, text);
}

bool Daemon::Start(const std::vector<std::string>& extra_env) {
    // Counted over every Daemon of the process, so that two daemons write to files of their own.
    static int runs = 0;
    log_offset_ = Log().size();
    const std::string base = "/var/local/sandbox/dwmid." + std::to_string(++runs);
    return proc_.Start({Env("DWMID_BIN")}, base + ".out", base + ".err", extra_env);
}

bool Daemon::WaitServing(int timeout_ms) {
    return WaitUntil(
        [this] {
            const std::string log = NewLog();
            return log.find("accept end") != std::string::npos && proc_.Running();
        },
        timeout_ms);
}

namespace {
int CountIpcs(const char* proc_file) {
    std::ifstream in(proc_file);
    std::string line;
    int count = -1;  // header line
    while (std::getline(in, line)) {
        ++count;
    }
    return count < 0 ? 0 : count;
}
}  // namespace

int CountShmSegments() {
    return CountIpcs("/proc/sysvipc/shm");
}

int CountSemaphoreSets() {
    return CountIpcs("/proc/sysvipc/sem");
}

}  // namespace testsupport
