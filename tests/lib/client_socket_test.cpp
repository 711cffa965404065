// The blocking TCP client against a small TCP server in the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ClientSocket.h"
#include "LibFakes.h"

using testsupport::FakeOrderServer;
using testsupport::WaitUntil;
using veldwlib::conn::ClientSocket;

namespace {

constexpr int kPort = 10001;

class ClientSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start(kPort, [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            // Orders sent back to back may arrive in one receive.
            return text.find("ping|") != std::string::npos ? reply_ : std::string();
        }));
    }
    // The server's thread reads the members below: it ends before they are destroyed.
    void TearDown() override { server_.Stop(); }
    void SetReply(const std::string& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = r;
    }

    FakeOrderServer server_;
    std::mutex mutex_;
    std::string reply_{"pong"};
};

TEST(ClientSocketNoServer, RefusedConnectLeavesNoDescriptor) {
    ClientSocket s;
    EXPECT_EQ(s.getReadyStatus(), 0);
    EXPECT_EQ(s.connectServer("localhost", kPort), -4);
    EXPECT_EQ(s.getReadyStatus(), -4);
    EXPECT_EQ(s.getDescriptor(), -1);
    EXPECT_EQ(s.SendData("x"), -1);
}

TEST(ClientSocketNoServer, UnresolvedHostClosesTheSocket) {
    ClientSocket s;
    EXPECT_EQ(s.connectServer("no-such-host.invalid", kPort), -2);
    EXPECT_EQ(s.getReadyStatus(), -2);
    EXPECT_EQ(s.getDescriptor(), -1);
}

TEST_F(ClientSocketTest, ExchangesOneOrderAndReply) {
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    EXPECT_EQ(s.getReadyStatus(), 2);
    EXPECT_GE(s.getDescriptor(), 0);
    std::string reply;
    EXPECT_EQ(s.SendAndRecvData("ping|", 10000, reply), 4);
    EXPECT_EQ(reply, "pong");
    ASSERT_TRUE(WaitUntil([this] { return server_.AllReceived() == "ping|"; }, 10000));
}

TEST_F(ClientSocketTest, ReplyIsCutAtTheFirstNulButCountsAllBytes) {
    SetReply(std::string("ab\0cd", 5));
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    std::string reply;
    EXPECT_EQ(s.SendAndRecvData("ping|", 10000, reply), 5);
    EXPECT_EQ(reply, "ab");
}

TEST_F(ClientSocketTest, NoReplyWithinTheWaitGivesZeroAndALateReplyStaysPending) {
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    std::string reply = "untouched";
    EXPECT_EQ(s.SendAndRecvData("quiet|", 0, reply), 0);
    EXPECT_EQ(reply, "untouched");
    EXPECT_EQ(s.RecvData(0, reply), 0);
    // The reply to this order arrives; a later read takes it.
    EXPECT_EQ(s.SendData("ping|"), 5);
    EXPECT_EQ(s.RecvData(10000, reply), 4);
    EXPECT_EQ(reply, "pong");
}

TEST_F(ClientSocketTest, PeerCloseIsReportedAndClosesTheDescriptor) {
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() == 1; }, 10000));
    server_.DropClients();
    std::string reply;
    EXPECT_EQ(s.RecvData(10000, reply), -1);
    EXPECT_EQ(s.getDescriptor(), -1);
    EXPECT_EQ(s.getReadyStatus(), 2);  // keeps its last value
    EXPECT_EQ(s.SendAndRecvData("ping|", 100, reply), -1);
}

TEST_F(ClientSocketTest, SendToAVanishedPeerFailsWithoutSigpipe) {
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() == 1; }, 10000));
    server_.Stop();
    // The first sends may still be accepted by the kernel; once the reset is back a send
    // fails. Without MSG_NOSIGNAL that send would end this process with SIGPIPE.
    int r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) {
        r = s.SendData("port,0,0,0,0,0,0,0|");
        usleep(10000);
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(s.getDescriptor(), -1);
}

TEST_F(ClientSocketTest, WorksWithADescriptorAboveTheSelectLimit) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 2 * FD_SETSIZE) {
        lim.rlim_cur = lim.rlim_max < 2 * FD_SETSIZE ? lim.rlim_max : 2 * FD_SETSIZE;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur < FD_SETSIZE + 16) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    std::vector<int> fillers;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE + 4) {
        fillers.push_back(fd);
    }
    ClientSocket s;
    ASSERT_EQ(s.connectServer("localhost", kPort), 0);
    EXPECT_GE(s.getDescriptor(), FD_SETSIZE);
    std::string reply;
    EXPECT_EQ(s.SendAndRecvData("ping|", 10000, reply), 4);
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(s.SendAndRecvData("quiet|", 0, reply), 0);
    if (fd >= 0) {
        close(fd);
    }
    for (int f : fillers) {
        close(f);
    }
}

TEST_F(ClientSocketTest, MovingTransfersTheConnectionAndDestructionClosesIt) {
    ClientSocket a;
    ASSERT_EQ(a.connectServer("localhost", kPort), 0);
    const int fd = a.getDescriptor();
    ClientSocket b(std::move(a));
    EXPECT_EQ(a.getDescriptor(), -1);
    EXPECT_EQ(b.getDescriptor(), fd);
    std::string reply;
    EXPECT_EQ(b.SendAndRecvData("ping|", 10000, reply), 4);
    {
        ClientSocket c;
        c = std::move(b);
        EXPECT_EQ(c.getDescriptor(), fd);
    }
    // The descriptor was closed exactly once: it is free again for the next socket.
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(b.disconnectServer(), 0);
}

}  // namespace
