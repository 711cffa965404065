// Measures how long dwmid takes from SIGTERM to its exit with three lines open, once idle and
// once with a long polling cycle in flight on every line (five silent machines of 30 s each),
// against rs485sim. The clients are child processes using librs485. Runs inside
// scripts/sandbox (bench/run-shutdown.sh): it writes the configuration files and starts dwmid.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rs485.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLines = 3;
constexpr char kMachines[] = "/var/local/sandbox/bench-shutdown-machines.json";
constexpr char kLog[] = "/var/local/vellog/dwmid.log";

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

std::string Link(int line) {
    return "/var/local/sandbox/bench-shutdown-tty" + std::to_string(line);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool WaitFor(const std::function<bool()>& pred, int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

std::string Config() {
    std::ostringstream c;
    c << "{\"order_conn\": {\"server\": \"localhost\", \"port\": 10001, \"conenct_timeout\": 200, "
         "\"res_wait_timeout\": 2000},\n\"log\": {\"log_dir\": \"/var/local/vellog\", "
         "\"log_file\": \"dwmid.log\", \"log_max_bytes\": 10000000, \"log_counts\": 2},\n"
         "\"line\": [";
    for (int i = 0; i < kLines; ++i) {
        c << (i ? "," : "") << "{\"device\": \"" << Link(i)
          << "\", \"de_line\": \"none\", \"baudrate\": 5, \"max_machine\": 15}";
    }
    c << "],\n\"shared_indata_num\": 2, \"shared_key_dir\": \"/var/local/velkey\",\n\"shared\": [";
    for (int g = 0; g < kLines; ++g) {
        c << (g ? "," : "") << "{\"ipc_key\": [\"s" << g << "a\", \"s" << g << "b\"], \"sh_id\": ["
          << 2 * g + 1 << ", " << 2 * g + 2 << "], \"shmem_size\": [8192, 256], \"sem_key\": [\"m"
          << g << "a\", \"m" << g << "b\"]}";
    }
    c << "],\n\"start_wait_interval\": 0}\n";
    return c.str();
}

// A client process on channel ch (1-based) that opens it and, when busy, starts a cycle over
// five machines that never answer within their 30 s time-outs; it then waits for ever.
pid_t Client(int ch, bool busy) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (pxa_rs485_open(ch, false, 5) == 0 && busy) {
        for (int m = 6; m <= 10; ++m) {
            pxa_rs485_setPortParams(ch, m, 3, 30000, 3, 1, 0);
        }
        pxa_rs485_setComFlags(ch, 0x3e0);
        pxa_rs485_startCom(ch);
    }
    ::pause();
    ::_exit(0);
}

// Milliseconds from SIGTERM to the daemon's exit, or -1 when something did not come up.
double OneRun(const std::string& daemon, bool busy) {
    const std::size_t from = ReadText(kLog).size();
    const auto log = [from] {
        const std::string text = ReadText(kLog);
        return from < text.size() ? text.substr(from) : std::string();
    };
    const pid_t dw = Spawn({daemon}, "/var/local/sandbox/bench-shutdown-dwmid.out");
    if (!WaitFor([&] { return log().find("accept end") != std::string::npos; }, 30)) {
        return -1;
    }
    std::vector<pid_t> clients;
    for (int ch = 1; ch <= kLines; ++ch) {
        clients.push_back(Client(ch, busy));
    }
    const bool up = WaitFor(
        [&] {
            return Count(log(), busy ? "receive startCom" : "open RS-485 : use count") == kLines;
        },
        30);
    const auto t0 = Clock::now();
    ::kill(dw, SIGTERM);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(dw, &status, WNOHANG) == dw; }, 120);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    for (pid_t c : clients) {
        ::kill(c, SIGKILL);
        ::waitpid(c, nullptr, 0);
    }
    if (!ended) {
        ::kill(dw, SIGKILL);
        ::waitpid(dw, nullptr, 0);
    }
    return up && ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    if (inner == nullptr || std::strcmp(inner, "1") != 0) {
        std::fprintf(stderr, "bench_shutdown: run it through bench/run-shutdown.sh\n");
        return 2;
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string sim = std::getenv("RS485SIM_BIN") ? std::getenv("RS485SIM_BIN") : "";
    const std::string daemon = std::getenv("DWMID_BIN") ? std::getenv("DWMID_BIN") : "";
    WriteText(kMachines, R"({"machines": [{"match": {"prefix_text": "0"}, "fault": "no_reply"}]})");
    std::vector<pid_t> sims;
    for (int i = 0; i < kLines; ++i) {
        sims.push_back(Spawn({sim, "--link", Link(i), "--config", kMachines, "--baud", "5"},
                             Link(i) + ".out"));
    }
    const std::string conf = Config();
    WriteText("/usr/local/etc/vellib/dwmid.conf", conf);
    WriteText("/usr/local/etc/vellib/dwlib.conf", conf);
    if (!WaitFor([] { return ::access(Link(kLines - 1).c_str(), F_OK) == 0; }, 20)) {
        std::fprintf(stderr, "bench_shutdown: simulator did not come up\n");
        return 1;
    }

    std::printf("SIGTERM to exit of dwmid, %d lines open, %d runs\n", kLines, runs);
    std::printf("%-34s %10s %10s %10s\n", "", "median ms", "max ms", "failed");
    for (const bool busy : {false, true}) {
        std::vector<double> ms;
        int failed = 0;
        for (int r = 0; r < runs; ++r) {
            const double t = OneRun(daemon, busy);
            if (t < 0) {
                ++failed;
            } else {
                ms.push_back(t);
            }
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-34s %10.1f %10.1f %10d\n", busy ? "cycles of 150 s in flight" : "idle lines",
                    ms.empty() ? 0.0 : ms[ms.size() / 2], ms.empty() ? 0.0 : ms.back(), failed);
    }
    for (pid_t p : sims) {
        ::kill(p, SIGKILL);
        ::waitpid(p, nullptr, 0);
    }
    return 0;
}
