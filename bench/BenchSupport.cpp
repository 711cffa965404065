#include "BenchSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool WaitFor(const std::function<bool()>& pred, int seconds, std::chrono::milliseconds step) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(step);
    }
    return false;
}

std::string SimulatorProgram() {
    const char* env = std::getenv("RS485SIM_BIN");
#ifdef RS485SIM_DEFAULT
    return env != nullptr ? env : RS485SIM_DEFAULT;
#else
    return env != nullptr ? env : "rs485sim";
#endif
}

pid_t StartSimulator(const std::string& program, const std::string& link, const std::string& config,
                     int baud, const std::string& log) {
    ::unlink(link.c_str());
    std::vector<std::string> args = {
        program, "--link", link, "--config", config, "--baud", std::to_string(baud), "--log", log};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    for (int i = 0; i < 1500; ++i) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

void WriteDaemonConfig(const std::vector<std::string>& devices, long log_max_bytes) {
    std::ostringstream c;
    c << "{\"order_conn\": {\"server\": \"localhost\", \"port\": 10001, \"conenct_timeout\": 200, "
         "\"res_wait_timeout\": 2000},\n\"log\": {\"log_dir\": \"/var/local/vellog\", "
         "\"log_file\": \"dwmid.log\", \"log_max_bytes\": "
      << log_max_bytes << ", \"log_counts\": 2},\n\"line\": [";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        c << (i ? "," : "") << "{\"device\": \"" << devices[i]
          << "\", \"de_line\": \"none\", \"baudrate\": 5, \"max_machine\": 15}";
    }
    c << "],\n\"shared_indata_num\": 2, \"shared_key_dir\": \"/var/local/velkey\",\n\"shared\": [";
    for (std::size_t g = 0; g < devices.size(); ++g) {
        c << (g ? "," : "") << "{\"ipc_key\": [\"s" << g << "a\", \"s" << g << "b\"], \"sh_id\": ["
          << 2 * g + 1 << ", " << 2 * g + 2 << "], \"shmem_size\": [8192, 256], \"sem_key\": [\"m"
          << g << "a\", \"m" << g << "b\"]}";
    }
    c << "],\n\"start_wait_interval\": 0}\n";
    WriteText("/usr/local/etc/vellib/dwmid.conf", c.str());
    WriteText("/usr/local/etc/vellib/dwlib.conf", c.str());
}

int CountArg(int argc, char** argv, int fallback) {
    if (argc < 2) {
        return fallback;
    }
    const std::string text = argv[1];
    int count = 0;
    std::from_chars(text.data(), text.data() + text.size(), count);
    return std::max(1, count);
}

}  // namespace bench
