// The order server over real TCP on the sandbox's loopback, with a recording callback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "DaemonLogger.h"
#include "ServerSocket.h"
#include "TestSupport.h"

using veldw485::conn::ISocketCallback;
using veldw485::conn::ServerSocket;
using namespace testsupport;

namespace {

constexpr int kWait = 10000;

// Answers like the daemon's order dispatch would, by order name, and records every order.
class RecordingCallback : public ISocketCallback {
  public:
    std::string CallOrderFromLibrary(std::string order) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            orders_.push_back(order);
        }
        if (hook) {
            hook(order);
        }
        const std::string name = order.substr(0, order.find(','));
        if (name == "open") {
            return "opsuc";
        }
        if (name == "close") {
            return "clsuc";
        }
        if (name == "compt") {
            return "cpsuc";
        }
        if (name == "port") {
            return "";
        }
        if (name == "shut") {
            return "finish";
        }
        if (name == "drop") {
            return "close-fd";
        }
        return "err1";
    }

    std::vector<std::string> Orders() {
        std::lock_guard<std::mutex> lock(mutex_);
        return orders_;
    }

    // Runs on the server's thread before the answer is returned.
    std::function<void(const std::string&)> hook;

  private:
    std::mutex mutex_;
    std::vector<std::string> orders_;
};

// Reads until exactly `length` bytes arrived (replies may come in several pieces).
std::string RecvExactly(TcpClient& client, std::size_t length) {
    std::string text;
    WaitUntil(
        [&] {
            text += client.Recv(50);
            return text.size() >= length;
        },
        kWait);
    return text;
}

// The descriptor the server logged for the n-th connection in `log` (0-based), -1 if none.
int ServerFd(const std::string& log, std::size_t n) {
    static const std::regex pattern("client connect : fd = (\\d+)");
    std::size_t i = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), pattern);
         it != std::sregex_iterator(); ++it, ++i) {
        if (i == n) {
            return std::stoi((*it)[1].str());
        }
    }
    return -1;
}

// True when nothing (not even an end of stream) is waiting on the socket right now.
bool QuietNow(const TcpClient& client) {
    pollfd pfd{client.Fd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 0;
}

class OrderServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InstallDaemonLogger(); }

    void TearDown() override {
        if (thread_.joinable()) {
            server_.Stop();
            thread_.join();
        }
    }

    void Serve(int port, const std::string& host = "localhost", int timeout_ms = 100) {
        server_.SetCallback(&callback_);
        ASSERT_EQ(server_.Bind(port, host), 0);
        StartLoop(timeout_ms);
    }

    void StartLoop(int timeout_ms) {
        thread_ = std::thread([this, timeout_ms] {
            result_.store(server_.WaitAndReceive(timeout_ms));
            done_.store(true);
        });
    }

    bool WaitDone() {
        const bool done = WaitUntil([this] { return done_.load(); }, kWait);
        if (done) {
            thread_.join();
        }
        return done;
    }

    LogMark mark_;
    RecordingCallback callback_;
    ServerSocket server_;
    std::thread thread_;
    std::atomic<int> result_{INT_MIN};
    std::atomic<bool> done_{false};
};

TEST_F(OrderServerTest, SeveralOrdersInOneReceiveRunInOrderAndRepliesComeBackToBack) {
    Serve(12001);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12001));
    ASSERT_TRUE(client.Send("close,0|open,0,0,3|compt,0,5|"));
    EXPECT_EQ(RecvExactly(client, 15), "clsucopsuccpsuc");
    EXPECT_EQ(callback_.Orders(), (std::vector<std::string>{"close,0", "open,0,0,3", "compt,0,5"}));

    // The client can hold the last reply before the server has logged sending it.
    ASSERT_TRUE(
        WaitUntil([&] { return CountLines(mark_.Since(), "] response end : fd = ") == 3; }, kWait));
    const std::string log = mark_.Since();
    EXPECT_NE(log.find("] receive : data = close,0|open,0,0,3|compt,0,5| : length = 29"),
              std::string::npos);
    EXPECT_NE(log.find("]    analyze : data = open,0,0,3 : length = 10"), std::string::npos);
    EXPECT_NE(log.find("]    analyze end : result = opsuc : length = 5"), std::string::npos);
    EXPECT_NE(log.find(" : ret = 5 : message = cpsuc"), std::string::npos);
    EXPECT_NE(log.find("I : [ServerSocket.cpp:"), std::string::npos);
}

TEST_F(OrderServerTest, BarsAloneCallNothingAndSendNothing) {
    Serve(12002);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12002));
    ASSERT_TRUE(client.Send("|"));
    ASSERT_TRUE(mark_.WaitFor("receive : data = | : length = 1", kWait));
    ASSERT_TRUE(client.Send("|||"));
    ASSERT_TRUE(mark_.WaitFor("receive : data = ||| : length = 3", kWait));
    EXPECT_TRUE(callback_.Orders().empty());
    // The first bytes the client ever gets are the answer to its next order.
    ASSERT_TRUE(client.Send("compt,0,1|"));
    EXPECT_EQ(RecvExactly(client, 5), "cpsuc");
    EXPECT_EQ(CountLines(mark_.Since(), "analyze : data"), 1);
}

TEST_F(OrderServerTest, EmptyResultIsLoggedButNotSent) {
    Serve(12003);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12003));
    ASSERT_TRUE(client.Send("port,0,0,0,3000,0,0,0|"));
    ASSERT_TRUE(mark_.WaitFor("response end", kWait));
    ASSERT_TRUE(client.Send("compt,0,1|"));
    EXPECT_EQ(RecvExactly(client, 5), "cpsuc");
    ASSERT_TRUE(WaitUntil([&] { return CountLines(mark_.Since(), "response end") == 2; }, kWait));
    const std::string log = mark_.Since();
    EXPECT_NE(log.find("]    analyze end : result =  : length = 0"), std::string::npos);
    EXPECT_EQ(CountLines(log, "response send"), 1);
}

TEST_F(OrderServerTest, ShutEndsTheLoopAndClosesOnlyTheShuttingConnection) {
    Serve(12004);
    TcpClient other;
    ASSERT_TRUE(other.Connect(12004));
    ASSERT_TRUE(other.Send("open,0,0,3|"));
    ASSERT_EQ(RecvExactly(other, 5), "opsuc");
    TcpClient shutter;
    ASSERT_TRUE(shutter.Connect(12004));
    ASSERT_TRUE(shutter.Send("shut|open,1,0,3|"));

    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(result_.load(), -2);
    EXPECT_TRUE(shutter.WaitClosed(kWait));
    EXPECT_EQ(callback_.Orders(), (std::vector<std::string>{"open,0,0,3", "shut"}));
    const std::string log = mark_.Since();
    EXPECT_NE(log.find("]    analyze end : result = finish : length = 6"), std::string::npos);
    EXPECT_EQ(CountLines(log, "response end"), 1);

    // The other connection lives until the server is torn down.
    EXPECT_TRUE(QuietNow(other));
    server_.CloseAll();
    EXPECT_TRUE(other.WaitClosed(kWait));
}

TEST_F(OrderServerTest, CloseFdResultClosesWithoutReplyAndDropsTheRestOfTheReceive) {
    Serve(12005);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12005));
    ASSERT_TRUE(client.Send("drop|open,0,0,3|"));
    EXPECT_TRUE(client.WaitClosed(kWait));
    EXPECT_EQ(callback_.Orders(), std::vector<std::string>{"drop"});
    EXPECT_EQ(CountLines(mark_.Since(), "response send"), 0);

    TcpClient next;
    ASSERT_TRUE(next.Connect(12005));
    ASSERT_TRUE(next.Send("compt,0,1|"));
    EXPECT_EQ(RecvExactly(next, 5), "cpsuc");
}

TEST_F(OrderServerTest, ClientThatConnectsAndClosesIsForgotten) {
    Serve(12006);
    {
        TcpClient client;
        ASSERT_TRUE(client.Connect(12006));
        ASSERT_TRUE(mark_.WaitFor("client connect", kWait));
    }
    const int fd = ServerFd(mark_.Since(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(mark_.WaitFor("W : [ServerSocket.cpp:", kWait));
    EXPECT_TRUE(mark_.WaitFor("] socket close : fd = " + std::to_string(fd), kWait));

    TcpClient next;
    ASSERT_TRUE(next.Connect(12006));
    ASSERT_TRUE(next.Send("open,0,0,3|"));
    EXPECT_EQ(RecvExactly(next, 5), "opsuc");
    EXPECT_FALSE(done_.load());
}

TEST_F(OrderServerTest, ResponseToAClosedClientIsLoggedAndTheServerLivesOn) {
    // Without MSG_NOSIGNAL the second failed send would end this process.
    ::signal(SIGPIPE, SIG_DFL);
    std::atomic<bool> client_gone{false};
    std::atomic<int> server_fd{-1};
    callback_.hook = [&](const std::string& order) {
        if (order.rfind("close", 0) != 0) {
            return;
        }
        WaitUntil([&] { return client_gone.load(); }, kWait);
        // Answer only once the reset has reached the server's end of the connection.
        WaitUntil(
            [&] {
                pollfd pfd{server_fd.load(), POLLIN, 0};
                return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
            },
            kWait);
    };
    Serve(12007);

    TcpClient client;
    ASSERT_TRUE(client.Connect(12007));
    ASSERT_TRUE(mark_.WaitFor("client connect", kWait));
    server_fd.store(ServerFd(mark_.Since(), 0));
    ASSERT_TRUE(client.Send("close,0|close,0|close,0|"));
    ASSERT_TRUE(WaitUntil([&] { return !callback_.Orders().empty(); }, kWait));
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(client.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    client.Close();
    client_gone.store(true);

    const std::string needle = "] response error : fd = " + std::to_string(server_fd.load());
    ASSERT_TRUE(WaitUntil([&] { return CountLines(mark_.Since(), needle) == 3; }, kWait));

    TcpClient next;
    ASSERT_TRUE(next.Connect(12007));
    ASSERT_TRUE(next.Send("compt,0,1|"));
    EXPECT_EQ(RecvExactly(next, 5), "cpsuc");
    EXPECT_NE(mark_.Since().find("W : [ServerSocket.cpp:"), std::string::npos);
}

TEST_F(OrderServerTest, MissingCallbackDropsTheDataAndKeepsTheConnection) {
    ASSERT_EQ(server_.Bind(12008, "localhost"), 0);
    StartLoop(100);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12008));
    ASSERT_TRUE(client.Send("open,0,0,3|"));
    ASSERT_TRUE(mark_.WaitFor("] callback interface is not set!", kWait));
    EXPECT_TRUE(QuietNow(client));
    EXPECT_EQ(CountLines(mark_.Since(), "analyze"), 0);
}

TEST_F(OrderServerTest, StopFlagEndsTheLoopWithZero) {
    Serve(12009);
    server_.Stop();
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(result_.load(), 0);
    const std::string log = mark_.Since();
    const std::size_t stop = log.find("W : [ServerSocket.cpp:");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(log.find("] stop order", stop), std::string::npos);
    EXPECT_NE(log.find("] wait & receive : loop out 1"), std::string::npos);
}

std::atomic<int> g_pendingSignal{0};

void StoreSignal(int signo) {
    g_pendingSignal.store(signo);
}

TEST_F(OrderServerTest, PendingSignalIsHandedToTheLoopThreadWhichStops) {
    struct sigaction sa {};
    sa.sa_handler = StoreSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    std::atomic<int> seen{0};
    std::thread::id handler_thread;
    server_.SetSignalSource(&g_pendingSignal, [&](int signo) {
        handler_thread = std::this_thread::get_id();
        seen.store(signo);
        server_.Stop();
    });
    // A wait far longer than the test: only the interrupted poll can end the loop in time.
    Serve(12010, "localhost", 3600 * 1000);
    const std::thread::id loop_thread = thread_.get_id();
    ASSERT_TRUE(WaitUntil(
        [&] {
            ::pthread_kill(thread_.native_handle(), SIGUSR1);
            return done_.load();
        },
        kWait));
    thread_.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(result_.load(), 0);
    EXPECT_EQ(seen.load(), SIGUSR1);
    EXPECT_EQ(handler_thread, loop_thread);
    const std::string log = mark_.Since();
    const std::size_t stop = log.find("] stop order");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(log.find("] wait & receive : loop out 1", stop), std::string::npos);
}

TEST_F(OrderServerTest, DescriptorsAboveTheSelectLimitAreServed) {
    rlimit lim{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 2048) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    const rlimit saved = lim;
    lim.rlim_cur = 2048;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
    std::vector<int> fillers{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    ASSERT_GE(fillers[0], 0);
    while (fillers.back() >= 0 && fillers.back() < FD_SETSIZE + 16) {
        fillers.push_back(::dup(fillers[0]));
    }
    ASSERT_GE(fillers.back(), FD_SETSIZE);

    Serve(12011);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12011));
    ASSERT_TRUE(client.Send("open,0,0,3|"));
    EXPECT_EQ(RecvExactly(client, 5), "opsuc");
    EXPECT_GE(ServerFd(mark_.Since(), 0), FD_SETSIZE);

    for (const int f : fillers) {
        ::close(f);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(OrderServerTest, LocalhostListensOnLoopbackOnlyAndAnyAddressEverywhere) {
    Serve(12012, "localhost");
    TcpClient client;
    EXPECT_TRUE(client.Connect(12012, "127.0.0.1"));
    EXPECT_FALSE(client.Connect(12012, "127.0.0.2"));

    ServerSocket all;
    ASSERT_EQ(all.Bind(12013, "0.0.0.0"), 0);
    EXPECT_TRUE(client.Connect(12013, "127.0.0.2"));
}

// The other process's listener, made the way any server would make it.
class ForeignListener {
  public:
    explicit ForeignListener(int port) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_ANY);
            const char ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                                    ::listen(fd, 1) == 0
                                ? 'y'
                                : 'n';
            (void)!::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char ok = 'n';
        listening_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~ForeignListener() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Listening() const { return listening_; }

  private:
    pid_t pid_{-1};
    bool listening_{false};
};

TEST_F(OrderServerTest, BindOnAPortHeldByAnotherProcessFails) {
    ForeignListener holder(12014);
    ASSERT_TRUE(holder.Listening());
    EXPECT_EQ(server_.Bind(12014, "localhost"), -2);
    ServerSocket all;
    EXPECT_EQ(all.Bind(12014, "0.0.0.0"), -2);
    const std::string log = mark_.Since();
    EXPECT_EQ(CountLines(log, "E : [ServerSocket.cpp:"), 2);
    EXPECT_EQ(CountLines(log, "] bind error : fd = "), 2);
}

TEST_F(OrderServerTest, UnresolvableHostOrPortIsABindError) {
    EXPECT_EQ(server_.Bind(12015, "no-such-host.invalid"), -2);
    ServerSocket zero;
    EXPECT_EQ(zero.Bind(0, "localhost"), -2);
    ServerSocket big;
    EXPECT_EQ(big.Bind(65536, "localhost"), -2);
    EXPECT_EQ(CountLines(mark_.Since(), "] bind error : fd = "), 3);
}

TEST_F(OrderServerTest, EmptyOrForeignServerSaysWhyItCannotListen) {
    EXPECT_EQ(server_.Bind(12016, ""), -2);
    ServerSocket foreign;
    EXPECT_EQ(foreign.Bind(12016, "192.0.2.1"), -2);  // no address of this machine
    const std::string log = mark_.Since();
    EXPECT_EQ(CountLines(log, "cannot listen on server \"\" port 12016 : not an IPv4"), 1) << log;
    EXPECT_EQ(CountLines(log, "cannot listen on server \"192.0.2.1\" port 12016 : " +
                                  std::string(std::strerror(EADDRNOTAVAIL))),
              1)
        << log;
}

TEST_F(OrderServerTest, RestartBindsAgainAfterConnectionsWereClosed) {
    Serve(12016);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12016));
    ASSERT_TRUE(client.Send("open,0,0,3|shut|"));
    ASSERT_EQ(RecvExactly(client, 5), "opsuc");
    ASSERT_TRUE(WaitDone());
    // The server closed first, so its end of the connection now waits in TIME_WAIT.
    ASSERT_TRUE(client.WaitClosed(kWait));
    client.Close();
    server_.CloseAll();

    server_ = ServerSocket();
    server_.SetCallback(&callback_);
    ASSERT_EQ(server_.Bind(12016, "localhost"), 0);
    done_.store(false);
    StartLoop(100);
    TcpClient again;
    ASSERT_TRUE(again.Connect(12016));
    ASSERT_TRUE(again.Send("compt,0,1|"));
    EXPECT_EQ(RecvExactly(again, 5), "cpsuc");
}

TEST_F(OrderServerTest, MovingHandsTheSocketsOverAndClosesTheTargetsOwn) {
    ServerSocket first;
    ASSERT_EQ(first.Bind(12017, "localhost"), 0);
    ASSERT_EQ(server_.Bind(12018, "localhost"), 0);
    server_ = std::move(first);
    // 12018 was closed by the assignment, 12017 is served by server_ now.
    std::optional<ServerSocket> reuse(std::in_place);
    EXPECT_EQ(reuse->Bind(12018, "localhost"), 0);

    // The moved-from object closes nothing when it goes.
    ServerSocket moved(std::move(*reuse));
    reuse.reset();
    TcpClient probe;
    EXPECT_TRUE(probe.Connect(12018));
    probe.Close();

    server_.SetCallback(&callback_);
    StartLoop(100);
    TcpClient client;
    ASSERT_TRUE(client.Connect(12017));
    ASSERT_TRUE(client.Send("open,0,0,3|"));
    EXPECT_EQ(RecvExactly(client, 5), "opsuc");
}

}  // namespace
