// The facade against a fake daemon: orders over real TCP, data through segments created here
// and served by a worker thread of the test.
#include <gtest/gtest.h>

#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "LibFakes.h"
#include "ShmLayout.h"
#include "dw485if.h"

using testsupport::FakeOrderServer;
using testsupport::FakeWorker;
using testsupport::TestShmGroup;
using testsupport::WaitUntil;
using veldwlib::dw485_if;

namespace {

constexpr int kPort = 10001;

testsupport::ConfigPlan TestPlan() {
    testsupport::ConfigPlan plan;
    plan.lines = {{"/dev/null", "none", 3, 4}, {"/dev/null"}, {"/dev/null"}};
    plan.groups = 2;  // the daemon may have more lines than the library has groups
    // Control segments without room for identities: the facade never asks for one ("user"),
    // so the fake daemon sees the orders of the channel-wide protocol alone.
    plan.control_size = static_cast<int>(vel::shm::kControlSegmentMin);
    return plan;
}

class ConfigEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(testsupport::InstallConfig(TestPlan())); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ConfigEnv);

int g_calls = 0;
void CountCall() {
    ++g_calls;
}
int g_otherCalls = 0;
void OtherCall() {
    ++g_otherCalls;
}

class FacadeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls = 0;
        g_otherCalls = 0;
        ASSERT_TRUE(server_.Start(kPort, [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (text.rfind("open,", 0) == 0) {
                return openReply_;
            }
            return text.rfind("compt,", 0) == 0 ? std::string("cpsuc") : std::string();
        }));
        ASSERT_TRUE(group0_.Create(TestPlan(), 0));
    }
    // The server's thread reads the members below: it ends before they are destroyed.
    void TearDown() override { server_.Stop(); }
    void OpenReply(const std::string& w) {
        std::lock_guard<std::mutex> lock(mutex_);
        openReply_ = w;
    }
    bool Got(const std::string& text) {
        return WaitUntil([&] { return server_.AllReceived() == text; }, 10000);
    }
    static xfer_data Request(const char* text, unsigned short len) {
        xfer_data x{};
        x.len = len;
        x.data = reinterpret_cast<unsigned char*>(const_cast<char*>(text));
        return x;
    }

    FakeOrderServer server_;
    std::mutex mutex_;
    std::string openReply_{"opsuc"};
    TestShmGroup group0_;
};

TEST_F(FacadeTest, OpenAttachesAndARepeatedOpenReportsIt) {
    dw485_if f;
    EXPECT_EQ(f.readyStatus(0), 0);
    EXPECT_EQ(f.rs485_open(0, false, 3), 0);
    EXPECT_EQ(f.readyStatus(0), 1);
    EXPECT_EQ(f.ConnectLine(0), 2);
    OpenReply("opalr");
    EXPECT_EQ(f.rs485_open(0, true, 5), -2);
    EXPECT_TRUE(Got("open,0,0,3|open,0,1,5|"));
    EXPECT_EQ(server_.Accepted(), 1);
}

TEST_F(FacadeTest, RefusedOpenKeepsTheConnectionForTheNextOpen) {
    dw485_if f;
    OpenReply("operr");
    EXPECT_EQ(f.rs485_open(0, false, 3), -3);
    EXPECT_EQ(f.readyStatus(0), 1);
    OpenReply("opsuc");
    EXPECT_EQ(f.rs485_open(0, false, 3), 0);
    EXPECT_EQ(server_.Accepted(), 1);
}

TEST_F(FacadeTest, NoDaemonGivesMinusThreeAndTheNextOpenConnectsAgain) {
    server_.Stop();
    dw485_if f;
    EXPECT_EQ(f.rs485_open(0, false, 3), -3);
    EXPECT_EQ(f.readyStatus(0), 0);
    FakeOrderServer again;
    ASSERT_TRUE(again.Start(kPort, [](const std::string&) { return std::string("opsuc"); }));
    EXPECT_EQ(f.rs485_open(0, false, 3), 0);
}

TEST_F(FacadeTest, ChannelWithoutALibraryGroupIsOpenButNotAttached) {
    dw485_if f;
    EXPECT_EQ(f.rs485_open(2, false, 3), -1);
    EXPECT_EQ(f.rs485_startCom(2), 0);
    xfer_data x = Request("A", 1);
    EXPECT_EQ(f.rs485_putOutputStream(2, 0, &x), 0);
    EXPECT_EQ(f.rs485_getReceiveStream(2, -1), nullptr);
    f.rs485_close(2);
    EXPECT_TRUE(Got("open,2,0,3|close,2|"));
}

TEST_F(FacadeTest, FailedAttachIsNeverLockedOrAddressedAndIsRetried) {
    dw485_if f;
    f.rs485_addEventListener(1, CountCall);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(f.rs485_open(1, false, 3), -1);
    ::testing::internal::GetCapturedStderr();
    xfer_data x = Request("A", 1);
    EXPECT_EQ(f.rs485_putOutputStream(1, 0, &x), 0);
    EXPECT_EQ(f.rs485_startCom(1), 0);
    EXPECT_EQ(g_calls, 0);
    auto** table = static_cast<xfer_data**>(f.rs485_getReceiveStream(1, -1));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0]->len, 0);
    EXPECT_EQ(table[0]->status, 0);
    EXPECT_EQ(table[0]->data[0], 0);

    // Once the daemon's segments are there, the next open attaches.
    TestShmGroup group1;
    ASSERT_TRUE(group1.Create(TestPlan(), 1));
    EXPECT_EQ(f.rs485_open(1, false, 3), 0);
    EXPECT_EQ(f.rs485_open(1, false, 3), -2);
}

TEST_F(FacadeTest, OrdersOfAChannelNotOpened) {
    dw485_if f;
    f.rs485_setPortParams(0, 0, 1, 2, 3, 4, 5);
    EXPECT_EQ(f.rs485_setComFlags(0, 1), 0);
    EXPECT_EQ(f.rs485_startCom(0), 0);
    f.rs485_close(0);
    f.rs485_shutdown();
    EXPECT_EQ(server_.Accepted(), 0);
    EXPECT_EQ(f.rs485_getPortStatus(), 0);
    EXPECT_EQ(f.rs485_verGet(), 0);
}

TEST_F(FacadeTest, OrdersGoOutWithTheChannelsNumbers) {
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    f.rs485_setPortParams(0, 1, 2, -3, 4, 5, 6);
    EXPECT_TRUE(Got("open,0,0,3|port,0,1,2,-3,4,5,6|"));
    EXPECT_EQ(f.rs485_setComFlags(0, 5), 1);
    f.rs485_close(0);
    EXPECT_TRUE(Got("open,0,0,3|port,0,1,2,-3,4,5,6|compt,0,5|close,0|"));
    EXPECT_EQ(f.readyStatus(0), 0);
    EXPECT_EQ(f.rs485_setComFlags(0, 5), 0);
}

TEST_F(FacadeTest, ShutdownTravelsOnTheLowestChannelsConnection) {
    TestShmGroup group1;
    ASSERT_TRUE(group1.Create(TestPlan(), 1));
    dw485_if f;
    ASSERT_EQ(f.rs485_open(1, false, 3), 0);  // connection 1
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);  // connection 2
    f.rs485_shutdown();
    ASSERT_TRUE(WaitUntil(
        [this] { return server_.AllReceived().find("shut|") != std::string::npos; }, 10000));
    const auto received = server_.Received();
    EXPECT_EQ(received.back().text, "shut|");
    EXPECT_EQ(received.back().connection, 2);
    // Both entries stay; channel 0's orders now fail.
    EXPECT_EQ(f.readyStatus(0), 1);
    EXPECT_EQ(f.rs485_setComFlags(0, 1), 0);
    EXPECT_EQ(f.rs485_setComFlags(1, 1), 1);
}

TEST_F(FacadeTest, TransmitRequestsReachTheWorker) {
    FakeWorker worker(group0_);
    worker.Start();
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    xfer_data x = Request("ABC", 3);
    EXPECT_EQ(f.rs485_putOutputStream(0, 14, &x), 1);
    xfer_data empty = Request("", 0);
    EXPECT_EQ(f.rs485_putOutputStream(0, 0, &empty), 1);
    worker.SetTransmitResult(1);
    EXPECT_EQ(f.rs485_putOutputStream(0, 2, &x), 0);
    const auto sent = worker.Transmits();
    ASSERT_EQ(sent.size(), 3U);
    EXPECT_EQ(sent[0].mc, 14);
    EXPECT_EQ(sent[0].bytes, "ABC");
    EXPECT_EQ(sent[1].mc, 0);
    EXPECT_EQ(sent[1].bytes, "");
    EXPECT_EQ(group0_.Control()->data[3], 0);
    EXPECT_EQ(group0_.Control()->data_flags, 0U);
    EXPECT_EQ(group0_.SemValue(1), 0);
}

TEST_F(FacadeTest, RequestsOutOfRangeAreRefusedWithoutTouchingTheSegment) {
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    static char big[65] = {};
    xfer_data over = Request(big, 65);
    xfer_data ok = Request("A", 1);
    xfer_data nodata{};
    nodata.len = 2;
    EXPECT_EQ(f.rs485_putOutputStream(0, 0, &over), 0);
    EXPECT_EQ(f.rs485_putOutputStream(0, 15, &ok), 0);
    EXPECT_EQ(f.rs485_putOutputStream(0, -1, &ok), 0);
    EXPECT_EQ(f.rs485_putOutputStream(0, 0, nullptr), 0);
    EXPECT_EQ(f.rs485_putOutputStream(0, 0, &nodata), 0);
    EXPECT_EQ(f.rs485_putOutputStream(-1, 0, &ok), 0);
    EXPECT_EQ(f.rs485_putOutputStream(5, 0, &ok), 0);
    EXPECT_EQ(group0_.Control()->data_flags, 0U);
    EXPECT_EQ(f.rs485_startCom(-1), 0);
    EXPECT_EQ(f.rs485_startCom(7), 0);
    EXPECT_EQ(f.rs485_getReceiveStream(0, 15), nullptr);
    EXPECT_EQ(f.rs485_getReceiveStream(0, -2), nullptr);
    EXPECT_EQ(f.rs485_getReceiveStream(-1, 0), nullptr);
    EXPECT_EQ(f.rs485_getReceiveStream(2, 0), nullptr);
    EXPECT_NE(f.rs485_getReceiveStream(0, 14), nullptr);
}

TEST_F(FacadeTest, CycleCallsTheListenerAlsoWhenItFails) {
    FakeWorker worker(group0_);
    worker.Start();
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    f.rs485_addEventListener(0, OtherCall);
    f.rs485_addEventListener(0, CountCall);  // the last one wins
    EXPECT_EQ(f.rs485_startCom(0), 1);
    EXPECT_EQ(g_calls, 1);
    worker.SetComResult(1);
    EXPECT_EQ(f.rs485_startCom(0), 0);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(g_otherCalls, 0);
    f.rs485_removeEventListener(0);
    worker.SetComResult(0);
    EXPECT_EQ(f.rs485_startCom(0), 1);
    EXPECT_EQ(g_calls, 2);
    f.rs485_addEventListener(0, CountCall);
    f.rs485_addEventListener(0, nullptr);  // removes
    EXPECT_EQ(f.rs485_startCom(0), 1);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(worker.Cycles(), 4);
}

// With an identity, a request is marked with it, and an answer naming another requester is
// left in place with its semaphore post given back: the waiting call never takes it.
TEST_F(FacadeTest, AnswerOfAnotherRequesterIsLeftToItsOwner) {
    testsupport::ConfigPlan room = TestPlan();
    room.control_size = static_cast<int>(vel::shm::kControlSegmentWithIdentity);
    group0_.Remove();
    ASSERT_TRUE(group0_.Create(room, 0));
    server_.Stop();
    ASSERT_TRUE(server_.Start(kPort, [](const std::string& text) {
        if (text.rfind("open,", 0) == 0) {
            return std::string("opsuc");
        }
        return text.rfind("user,", 0) == 0 ? std::string("us5") : std::string();
    }));
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 4), 0);
    EXPECT_TRUE(Got("open,0,0,4|user,0," + std::to_string(::getpid()) + ",4|"));
    vel::shm::ControlSegment* ctl = group0_.Control();
    std::atomic<int> result{-1};
    std::thread cycle([&] { result = f.rs485_startCom(0); });
    const uint32_t marked = vel::shm::kComRequest | vel::shm::kIdentifiedRequest;
    ASSERT_TRUE(WaitUntil(
        [&] { return (__atomic_load_n(&ctl->data_flags, __ATOMIC_ACQUIRE) & marked) == marked; },
        10000));
    ASSERT_EQ(pthread_mutex_lock(&ctl->mutex), 0);
    EXPECT_EQ(vel::shm::IdentityOf(ctl)->request_id, 5U);
    // Served and answered for requester 9: this request's answer never comes.
    ctl->data_flags = vel::shm::kComAnswer;
    ctl->mode = vel::shm::kRequestSuccess;
    vel::shm::IdentityOf(ctl)->answer_id = 9;
    vel::shm::IdentityOf(ctl)->answer_records = 0;
    ASSERT_EQ(pthread_mutex_unlock(&ctl->mutex), 0);
    sembuf post{0, 1, 0};
    ASSERT_EQ(::semop(group0_.ControlSem(), &post, 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return result != -1; }, 10000));
    cycle.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ctl->data_flags, vel::shm::kComAnswer);
    EXPECT_EQ(group0_.SemValue(vel::shm::kControlEntry), 1);
}

TEST_F(FacadeTest, ReceivedFramesAreCopiedOnlyWhenNew) {
    FakeWorker worker(group0_);
    worker.SetReplies({{"R0\r", 2},
                       {"", 4},
                       {std::string("B\0\x7F", 3), 2},
                       {"R3", 24},
                       {"beyond max_machine", 2}});
    worker.Start();
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);

    auto** table = static_cast<xfer_data**>(f.rs485_getReceiveStream(0, -1));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0]->len, 0);  // nothing written yet

    ASSERT_EQ(f.rs485_startCom(0), 1);
    ASSERT_EQ(f.rs485_getReceiveStream(0, -1), table);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(table[0]->data), table[0]->len), "R0\r");
    EXPECT_EQ(table[0]->status, 2);
    EXPECT_EQ(table[1]->len, 0);
    EXPECT_EQ(table[1]->status, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(table[2]->data), table[2]->len),
              std::string("B\0\x7F", 3));
    EXPECT_EQ(table[2]->data[3], 0);
    EXPECT_EQ(table[3]->status, 24);
    // The line has four machines: the fifth is not refreshed by the whole-table form...
    EXPECT_EQ(table[4]->len, 0);
    // ...but by its own.
    auto* fifth = static_cast<xfer_data*>(f.rs485_getReceiveStream(0, 4));
    EXPECT_EQ(fifth, table[4]);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(fifth->data), fifth->len), "beyond max_machine");

    // A second read without a cycle copies nothing: changes in the segment stay unseen.
    group0_.Receive()->records[0].da[0] = 'X';
    EXPECT_EQ(f.rs485_getReceiveStream(0, -1), table);
    EXPECT_EQ(table[0]->data[0], 'R');
    worker.SetReplies({{"next", 2}});
    ASSERT_EQ(f.rs485_startCom(0), 1);
    EXPECT_EQ(table[0]->data[0], 'R');  // copied only when asked for
    f.rs485_getReceiveStream(0, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(table[0]->data), table[0]->len), "next");
    EXPECT_EQ(table[2]->len, 3);  // not asked for yet
    f.rs485_getReceiveStream(0, -1);
    EXPECT_EQ(table[2]->len, 0);
    EXPECT_EQ(table[2]->status, 0);
}

TEST_F(FacadeTest, CloseDetachesAndKeepsListenerAndReceivedData) {
    FakeWorker worker(group0_);
    worker.SetReplies({{"kept", 2}});
    worker.Start();
    dw485_if f;
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    f.rs485_addEventListener(0, CountCall);
    ASSERT_EQ(f.rs485_startCom(0), 1);
    auto** table = static_cast<xfer_data**>(f.rs485_getReceiveStream(0, -1));
    f.rs485_close(0);
    EXPECT_EQ(f.rs485_startCom(0), 0);
    xfer_data x = Request("A", 1);
    EXPECT_EQ(f.rs485_putOutputStream(0, 0, &x), 0);
    EXPECT_EQ(f.rs485_getReceiveStream(0, -1), table);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(table[0]->data), table[0]->len), "kept");
    ASSERT_EQ(f.rs485_open(0, false, 3), 0);
    EXPECT_EQ(f.rs485_startCom(0), 1);
    EXPECT_EQ(g_calls, 2);
}

}  // namespace
