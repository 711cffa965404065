// Order texts and result mapping of one channel's order client against a fake daemon.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

#include "LibFakes.h"
#include "SerialLine.h"

using testsupport::FakeOrderServer;
using testsupport::WaitUntil;
using veldwlib::SerialLine;

namespace {

constexpr int kPort = 10001;

class ConfigEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        testsupport::ConfigPlan plan;
        plan.lines = {{"/dev/null"}};
        plan.res_wait_timeout = 2000;
        ASSERT_TRUE(testsupport::InstallConfig(plan));
    }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ConfigEnv);

// Replies by order name; an order without an entry gets no reply.
class SerialLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start(kPort, [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string name = text.substr(0, text.find_first_of(",|"));
            const auto it = replies_.find(name);
            return it == replies_.end() ? std::string() : it->second;
        }));
    }
    // The server's thread reads the replies: it ends before they are destroyed.
    void TearDown() override { server_.Stop(); }
    void Reply(const std::string& order, const std::string& word) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[order] = word;
    }
    void Connect(SerialLine& line, int channel) {
        ASSERT_EQ(line.OpenLine("localhost", kPort, channel), 0);
        ASSERT_TRUE(line.isConnectReady());
    }
    bool Got(const std::string& text) {
        return WaitUntil([&] { return server_.AllReceived() == text; }, 10000);
    }

    FakeOrderServer server_;
    std::mutex mutex_;
    std::map<std::string, std::string> replies_;
};

TEST(SerialLineNoDaemon, ConnectFailureIsNotReady) {
    SerialLine line;
    EXPECT_EQ(line.GetChannel(), -1);
    EXPECT_FALSE(line.isConnectReady());
    EXPECT_EQ(line.OpenLine("localhost", kPort, 0), -4);
    EXPECT_FALSE(line.isConnectReady());
    EXPECT_EQ(line.Socket().getDescriptor(), -1);
    EXPECT_EQ(line.Open(false, 3), -3);
    EXPECT_EQ(line.SetComFlags(1), -1);
}

TEST(SerialLineNoDaemon, CloseAndShutdownOfANeverConnectedLineFailAtTheSend) {
    SerialLine line;
    EXPECT_EQ(line.Close(), -1);
    EXPECT_EQ(line.Shutdown(), -1);
}

TEST_F(SerialLineTest, OpenResultsFollowTheReplyWord) {
    const std::map<std::string, int> expected{
        {"opsuc", 0}, {"opalr", 1}, {"operr", -1}, {"err1", -1}, {"opsucx", -1}};
    for (const auto& [word, result] : expected) {
        Reply("open", word);
        SerialLine line;
        Connect(line, 0);
        EXPECT_EQ(line.Open(false, 3), result) << word;
    }
}

TEST_F(SerialLineTest, OpenOrderText) {
    Reply("open", "opsuc");
    SerialLine line;
    Connect(line, 2);
    EXPECT_EQ(line.GetChannel(), 2);
    EXPECT_EQ(line.Open(true, 5), 0);
    EXPECT_EQ(line.Open(false, 255), 0);
    EXPECT_TRUE(Got("open,2,1,5|open,2,0,255|"));
}

TEST_F(SerialLineTest, OpenWithoutReplyTimesOut) {
    SerialLine line;
    Connect(line, 0);
    EXPECT_EQ(line.Open(false, 3), -2);
    // The connection stays usable.
    Reply("open", "opalr");
    EXPECT_EQ(line.Open(false, 3), 1);
}

TEST_F(SerialLineTest, OpenAnsweredByAClosedConnection) {
    SerialLine line;
    Connect(line, 0);
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() == 1; }, 10000));
    server_.DropClients();
    EXPECT_EQ(line.Open(false, 3), -4);
    EXPECT_EQ(line.Open(false, 3), -3);
}

TEST_F(SerialLineTest, PortOrderTextIsSignedWhereTheFieldIsSigned) {
    SerialLine line;
    Connect(line, 1);
    line.SetPortParams(0, 255, -1, 2, 3, 4);
    EXPECT_TRUE(Got("port,1,0,255,-1,2,3,4|"));
}

TEST_F(SerialLineTest, PortOrderReadsNoReply) {
    Reply("port", "err1");
    Reply("compt", "cpsuc");
    SerialLine line;
    Connect(line, 0);
    line.SetPortParams(14, 0, 3000, 1, 0, 10);
    ASSERT_TRUE(Got("port,0,14,0,3000,1,0,10|"));
    // The unread "err1" is taken as the answer to the next order.
    EXPECT_EQ(line.SetComFlags(1), -99);
}

TEST_F(SerialLineTest, ComptResultsAndText) {
    SerialLine line;
    Connect(line, 0);
    Reply("compt", "cpsuc");
    EXPECT_EQ(line.SetComFlags(5), 0);
    Reply("compt", "cperr");
    EXPECT_EQ(line.SetComFlags(-1), -99);
    Reply("compt", "err1");
    EXPECT_EQ(line.SetComFlags(0), -99);
    EXPECT_TRUE(Got("compt,0,5|compt,0,-1|compt,0,0|"));
    Reply("compt", "");
    EXPECT_EQ(line.SetComFlags(1), -100);
}

TEST_F(SerialLineTest, ComptOnAClosedConnection) {
    SerialLine line;
    Connect(line, 0);
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() == 1; }, 10000));
    server_.DropClients();
    EXPECT_EQ(line.SetComFlags(1), -2);
    EXPECT_EQ(line.SetComFlags(1), -1);
}

TEST_F(SerialLineTest, CloseSendsAndDisconnectsWithoutWaiting) {
    Reply("close", "clsuc");
    SerialLine line;
    Connect(line, 3);
    EXPECT_EQ(line.Close(), 0);
    EXPECT_EQ(line.Socket().getDescriptor(), -1);
    EXPECT_TRUE(Got("close,3|"));
    EXPECT_EQ(line.Close(), -1);
    EXPECT_EQ(line.Open(false, 3), -3);
}

TEST_F(SerialLineTest, ShutdownSendsTheNameAlone) {
    SerialLine line;
    Connect(line, 1);
    EXPECT_EQ(line.Shutdown(), 0);
    EXPECT_EQ(line.Socket().getDescriptor(), -1);
    EXPECT_TRUE(Got("shut|"));
}

TEST_F(SerialLineTest, ReopeningReplacesTheConnection) {
    SerialLine line;
    Connect(line, 0);
    Connect(line, 0);
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() == 2; }, 10000));
    line.SetPortParams(1, 1, 1, 1, 1, 1);
    ASSERT_TRUE(Got("port,0,1,1,1,1,1,1|"));
    EXPECT_EQ(server_.Received().back().connection, 2);
}

}  // namespace
