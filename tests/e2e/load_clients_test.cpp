// Load on the real daemon: many client processes cycling on three channels at once next to
// connections that flood valid and malformed orders, and a long run of cycles after which
// the daemon holds no more memory, descriptors or System V objects than before.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BusRig.h"
#include "GroupClient.h"
#include "TestSupport.h"

using namespace testsupport;
namespace shm = vel::shm;

namespace {

constexpr char kMachines[] = R"({"machines": [
  {"name": "m0", "match": {"prefix_text": "00"}, "reply_hex": "4d30031c"},
  {"name": "m1", "match": {"prefix_text": "01"}, "reply_hex": "4d31031c"},
  {"name": "m2", "match": {"prefix_text": "02"}, "reply_hex": "4d32031c"},
  {"name": "m3", "match": {"prefix_text": "03"}, "reply_hex": "4d33031c"}
]})";

constexpr int kChannels = 3;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitized = true;
#else
constexpr bool kAddressSanitized = false;
#endif

std::string Reply(shm::ReceiveSegment* rcv, int m) {
    const shm::ReceiveRecord& r = rcv->records[m];
    return std::string(reinterpret_cast<const char*>(r.da), r.dalen);
}

// One client's whole life on a channel while it holds the channel's lock file: open,
// configure its machine, transmit, cycle, check the reply, close. "" or what went wrong.
std::string ClientRound(int channel, int machine, int cycles) {
    const std::string ch = std::to_string(channel);
    const std::string mc = std::to_string(machine);
    TcpClient c;
    if (!c.Connect(10001)) {
        return "connect";
    }
    const std::string open = BusRig::Order(c, "open," + ch + ",0,5|", 20000);
    if (open != "opsuc" && open != "opalr") {
        return "open answered " + open;
    }
    if (!c.Send("port," + ch + "," + mc + ",3,3000,3,1,0|")) {
        return "port";
    }
    const std::string compt =
        BusRig::Order(c, "compt," + ch + "," + std::to_string(1 << machine) + "|", 20000);
    if (compt != "cpsuc") {
        return "compt answered " + compt;
    }
    GroupClient g;
    if (!g.Attach(BusRig::kKeyDir, channel)) {
        return "attach";
    }
    const std::string req = "0" + mc + "CH" + ch;
    if (g.Transmit(machine, std::vector<uint8_t>(req.begin(), req.end())) != 0) {
        return "transmit";
    }
    for (int i = 0; i < cycles; ++i) {
        const int r = g.Communicate();
        if (r != 0) {
            return "cycle answered " + std::to_string(r);
        }
        g.LockReceive();
        const std::string got = Reply(g.Receive(), machine);
        const int status = g.Receive()->records[machine].statu;
        g.UnlockReceive();
        if (got != "M" + mc || status != shm::kStatusComplete) {
            return "machine " + mc + " on channel " + ch + " gave \"" + got + "\" status " +
                   std::to_string(status);
        }
    }
    g.Detach();
    const std::string close = BusRig::Order(c, "close," + ch + "|", 20000);
    if (close != "clsuc" && close != "cluse") {
        return "close answered " + close;
    }
    return "";
}

// Connection that sends orders with known answers as fast as they come back.
std::string Flood(int seed, std::chrono::steady_clock::time_point until) {
    struct Pair {
        std::string order;
        std::vector<std::string> answers;
    };
    const std::vector<Pair> orders = {
        {"hello|", {"err1"}},     {"open,9,0,5|", {"err1"}}, {"open,x,0,5|", {"err1"}},
        {"open,0,0|", {"err1"}},  {"compt,1|", {"err1"}},    {"port,2,0,0|", {"err1"}},
        {",,,|", {"err1"}},       {"OPEN,0,0,3|", {"err1"}}, {"open,-1,0,5|", {"err1"}},
        {"compt,3,1|", {"err1"}},
    };
    TcpClient c;
    if (!c.Connect(10001)) {
        return "flood connect";
    }
    std::size_t i = static_cast<std::size_t>(seed);
    int sent = 0;
    while (std::chrono::steady_clock::now() < until) {
        const Pair& p = orders[i++ % orders.size()];
        const std::string got = BusRig::Order(c, p.order, 20000);
        bool ok = false;
        for (const std::string& a : p.answers) {
            ok = ok || got == a;
        }
        if (!ok) {
            return p.order + " answered \"" + got + "\"";
        }
        ++sent;
    }
    return sent > 0 ? "" : "flood sent nothing";
}

// Runs fn in a child process; its result text goes to a file, the exit status tells success.
pid_t Spawn(const std::string& report, const std::function<std::string()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string r = fn();
        WriteFile(report, r);
        ::_exit(r.empty() ? 0 : 1);
    }
    return pid;
}

long ProcStatusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

int CountFds(pid_t pid) {
    int n = 0;
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) {
        return -1;
    }
    while (const dirent* e = ::readdir(d)) {
        n += e->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(d);
    return n;
}

class LoadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Env("RS485SIM_BIN").empty()) {
            GTEST_SKIP() << "the bus simulator was not built";
        }
        ASSERT_TRUE(rig_.Start(kChannels, kMachines));
        ASSERT_TRUE(rig_.WaitServing());
    }
    void TearDown() override {
        rig_.StopDaemon();
        std::system("ipcrm -a 2>/dev/null; true");
    }

    BusRig rig_;
};

TEST_F(LoadTest, ThirtyTwoClientsOnThreeChannelsAndAnOrderFlood) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::seconds(20);
    std::vector<pid_t> children;
    for (int p = 0; p < 32; ++p) {
        const std::string report = "/var/local/sandbox/client" + std::to_string(p) + ".txt";
        children.emplace_back(Spawn(report, [p, until]() -> std::string {
            const int channel = p % kChannels;
            const int machine = (p / kChannels) % 4;
            const std::string lock = "/var/local/sandbox/channel" + std::to_string(channel);
            const int fd = ::open(lock.c_str(), O_CREAT | O_RDWR, 0600);
            int rounds = 0;
            // Every process gets at least one round; then as many as fit in the time.
            do {
                ::flock(fd, LOCK_EX);
                const std::string r = ClientRound(channel, machine, 3);
                ::flock(fd, LOCK_UN);
                if (!r.empty()) {
                    return "client " + std::to_string(p) + " round " + std::to_string(rounds) +
                           ": " + r;
                }
                ++rounds;
            } while (Clock::now() < until);
            return "";
        }));
    }
    for (int f = 0; f < 4; ++f) {
        const std::string report = "/var/local/sandbox/flood" + std::to_string(f) + ".txt";
        children.emplace_back(Spawn(report, [f, until] { return Flood(f * 3, until); }));
    }
    int index = 0;
    for (const auto& child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        const std::string report =
            index < 32 ? "/var/local/sandbox/client" + std::to_string(index) + ".txt"
                       : "/var/local/sandbox/flood" + std::to_string(index - 32) + ".txt";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(report);
        ++index;
    }
    // Every open was matched by a close: a fresh open is the channel's only user.
    for (int ch = 0; ch < kChannels; ++ch) {
        TcpClient c;
        ASSERT_TRUE(c.Connect(10001));
        const std::size_t before = rig_.GetDaemon().NewLog().size();
        ASSERT_EQ(BusRig::Order(c, "open," + std::to_string(ch) + ",0,5|"), "opsuc") << ch;
        EXPECT_NE(rig_.GetDaemon().NewLog().find("use count = 1", before), std::string::npos) << ch;
        EXPECT_EQ(BusRig::Order(c, "close," + std::to_string(ch) + "|"), "clsuc") << ch;
    }
    EXPECT_TRUE(rig_.GetDaemon().Process().Running());
}

TEST_F(LoadTest, SoakOfTenThousandCyclesLeavesNothingBehind) {
    const pid_t daemon = rig_.GetDaemon().Process().Pid();
    std::vector<std::unique_ptr<TcpClient>> conns;
    for (int ch = 0; ch < kChannels; ++ch) {
        conns.push_back(std::make_unique<TcpClient>());
        ASSERT_TRUE(conns.back()->Connect(10001));
        const std::string c = std::to_string(ch);
        ASSERT_EQ(BusRig::Order(*conns.back(), "open," + c + ",0,5|"), "opsuc");
        ASSERT_TRUE(conns.back()->Send("port," + c + ",0,3,3000,3,1,0|"));
        ASSERT_EQ(BusRig::Order(*conns.back(), "compt," + c + ",1|"), "cpsuc");
    }
    // Three channels cycle side by side: the 10 ms poll of each worker sets the pace.
    constexpr int kWarmUp = 100;
    constexpr int kCyclesPerChannel = 3334;
    std::atomic<int> warmed{0};
    std::atomic<bool> measured{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int ch = 0; ch < kChannels; ++ch) {
        threads.emplace_back([&, ch] {
            GroupClient g;
            if (!g.Attach(BusRig::kKeyDir, ch) || g.Transmit(0, {'0', '0', 'S'}) != 0) {
                std::printf("channel %d: attach or transmit failed\n", ch);
                ++failures;
                return;
            }
            for (int i = 0; i < kCyclesPerChannel + kWarmUp; ++i) {
                if (i == kWarmUp) {
                    ++warmed;
                    while (!measured.load()) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                }
                const int r = g.Communicate();
                if (r != 0) {
                    std::printf("channel %d: cycle %d answered %d\n", ch, i, r);
                    ++failures;
                    return;
                }
                g.LockReceive();
                const bool ok = Reply(g.Receive(), 0) == "M0";
                g.UnlockReceive();
                if (!ok) {
                    std::printf("channel %d: cycle %d gave another reply\n", ch, i);
                    ++failures;
                    return;
                }
            }
        });
    }
    ASSERT_TRUE(
        WaitUntil([&] { return warmed.load() == kChannels || failures.load() > 0; }, 120000));
    const long rss_before = ProcStatusKb(daemon, "VmRSS");
    const int fds_before = CountFds(daemon);
    const int shm_before = CountShmSegments();
    const int sem_before = CountSemaphoreSets();
    measured = true;
    for (std::thread& t : threads) {
        t.join();
    }
    ASSERT_EQ(failures.load(), 0);
    const long rss_after = ProcStatusKb(daemon, "VmRSS");
    std::printf("soak: %d cycles, dwmid VmRSS %ld kB -> %ld kB, fds %d -> %d\n",
                kChannels * kCyclesPerChannel, rss_before, rss_after, fds_before, CountFds(daemon));
    EXPECT_EQ(CountFds(daemon), fds_before);
    EXPECT_EQ(CountShmSegments(), shm_before);
    EXPECT_EQ(CountSemaphoreSets(), sem_before);
    // A leak of even a few bytes per cycle would add hundreds of kilobytes over the run; the
    // allowance covers pages the allocator and the log writer touch once. AddressSanitizer
    // keeps freed blocks in its quarantine (up to 256 MB), so resident memory says nothing
    // there; leaks are left to its leak checker and to the valgrind test.
    if (!kAddressSanitized) {
        EXPECT_LE(rss_after - rss_before, 512) << rss_before << " -> " << rss_after;
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        EXPECT_EQ(BusRig::Order(*conns[static_cast<std::size_t>(ch)],
                                "close," + std::to_string(ch) + "|"),
                  "clsuc");
    }
}

}  // namespace
