// Polling cycles against a pseudo-terminal whose other end answers like the slave machines:
// reply framing, time-outs, statuses, sniffer mode and the faults of a cycle.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Emulation.h"
#include "PtyPair.h"
#include "TestSupport.h"
#include "rs485_test_driver.h"

using rs485test::Driver;
using testsupport::PtyPair;
using testsupport::PtyResponder;
using testsupport::ReplyStep;

namespace {

constexpr int kArea = 436;
constexpr unsigned char kUntouched = 0xEE;

std::vector<ReplyStep> Steps(std::initializer_list<ReplyStep> steps) {
    return steps;
}

// A driver whose output-queue query can be made to fail or to report bytes that never leave.
class FaultDriver : public Driver {
  public:
    using Driver::Driver;
    std::atomic<int> queries_left{-1};  // queries that still succeed; -1 without limit
    // Queries that report bytes stuck in the queue; finite, so that a driver without a drain
    // bound fails the test instead of hanging in it.
    std::atomic<int> stuck_queries{0};

  protected:
    int _outputQueue(int* queued) override {
        if (queries_left == 0) {
            return -1;
        }
        if (queries_left > 0) {
            --queries_left;
        }
        const int ret = Driver::_outputQueue(queued);
        if (stuck_queries > 0) {
            --stuck_queries;
            *queued = 7;
        }
        return ret;
    }
};

class Rs485Cycle : public rs485test::SandboxTest {
  protected:
    void SetUp() override {
        rs485test::SandboxTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(pty_.Ok());
        std::fill(std::begin(lens_), std::end(lens_), 999);
        std::memset(areas_, kUntouched, sizeof(areas_));
    }

    // A GPIO-mode driver on the pty, opened at baud index baud with machines configured by
    // the caller afterwards.
    void OpenDriver(unsigned char baud = 5, bool sniffer = false, int max_machine = 15) {
        drv_ = std::make_unique<FaultDriver>(pty_.SlavePath(), "de", 3, max_machine, 0);
        ASSERT_EQ(drv_->Open(sniffer, baud), 0);
    }

    void Request(int mc, const std::string& bytes) {
        ASSERT_EQ(drv_->SetSendData(mc, reinterpret_cast<const unsigned char*>(bytes.data()),
                                    static_cast<int>(bytes.size())),
                  1);
    }

    std::string Area(int mc, int len) const {
        return std::string(reinterpret_cast<const char*>(areas_ + mc * kArea),
                           static_cast<std::size_t>(len));
    }

    bool AreaUntouched(int mc, int from) const {
        for (int i = from; i < kArea; ++i) {
            if (areas_[mc * kArea + i] != kUntouched) {
                return false;
            }
        }
        return true;
    }

    int Status(int mc) { return drv_->GetMachine(mc).com_flag; }

    void TearDown() override {
        if (drv_) {
            EXPECT_EQ(drv_->Close(), 0);
        }
    }

    PtyPair pty_;
    std::unique_ptr<FaultDriver> drv_;
    int lens_[15];
    unsigned char areas_[15 * kArea];
};

TEST_F(Rs485Cycle, DelimiterWithTrailingByteInOnePiece) {
    PtyResponder responder(pty_, 1, [](const std::string&) { return Steps({{"AB\x03\x1c"}}); });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 500, 0x03, 1, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "AB");
    EXPECT_TRUE(AreaUntouched(0, 2));
    EXPECT_EQ(Status(0), 2);
}

TEST_F(Rs485Cycle, DelimiterWithTrailingByteSplit) {
    // The trailing byte is sent only once the driver has read the delimiter.
    PtyResponder responder(pty_, 1, [](const std::string&) {
        return Steps({{"AB\x03"}, {"\x1c", true, 20}});
    });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 500, 0x03, 1, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "AB");
    EXPECT_EQ(Status(0), 2);
}

TEST_F(Rs485Cycle, TrailingBytesThatNeverComeTimeOutKeepingTheBody) {
    PtyResponder responder(pty_, 1, [](const std::string&) { return Steps({{"AB\x03"}}); });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 30, 0x03, 1, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "AB");
    EXPECT_EQ(Status(0), 4);
}

TEST_F(Rs485Cycle, CarriageReturnEndsReplyAndSurplusIsDiscarded) {
    std::atomic<int> round{0};
    PtyResponder responder(pty_, 1, [&](const std::string&) {
        return ++round == 1 ? Steps({{"OK\rXYZ"}}) : Steps({{"NEW\r"}});
    });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 500, 0x0d, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "OK");
    EXPECT_EQ(Status(0), 2);
    // The surplus of the first reply must not show up in the next one.
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 3);
    EXPECT_EQ(Area(0, 3), "NEW");
}

TEST_F(Rs485Cycle, SilenceEndsReplyWithoutDelimiter) {
    PtyResponder responder(pty_, 1, [](const std::string&) { return Steps({{"1234567"}}); });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 500, 1, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 7);
    EXPECT_EQ(Area(0, 7), "1234567");
    EXPECT_EQ(Status(0), 2);
}

TEST_F(Rs485Cycle, FixedReplyLengthEndsAtItsLastByte) {
    std::atomic<int> round{0};
    // The machine sends two bytes more than its reply length; later it stops short.
    PtyResponder responder(pty_, 1, [&](const std::string&) {
        return ++round == 1 ? Steps({{"ABCDEXY"}}) : Steps({{"AB"}});
    });
    OpenDriver();
    drv_->SetReplyFraming(0, 1, 5);
    // A "port" order keeps the framing; its delimiter and silence rules do not apply.
    drv_->SetPortParams(0, 0x03, 30, 'C', 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 5);
    EXPECT_EQ(Area(0, 5), "ABCDE");
    EXPECT_TRUE(AreaUntouched(0, 5));
    EXPECT_EQ(Status(0), 2);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "AB");
    EXPECT_EQ(Status(0), 4);
    EXPECT_EQ(drv_->SetReplyFraming(0, 1, 0), -2);
    EXPECT_EQ(drv_->SetReplyFraming(0, 1, 437), -2);
    EXPECT_EQ(drv_->SetReplyFraming(0, 3, 0), -2);
    EXPECT_EQ(drv_->SetReplyFraming(15, 2, 0), -1);
}

TEST_F(Rs485Cycle, ModbusRtuReplyEndsByItsFunctionCodeAndItsCrcIsChecked) {
    // Machine 0: a read reply of 7 bytes; machine 1: an exception reply; machine 2: a read
    // reply with a wrong CRC; each followed by bytes that are no part of the frame.
    PtyResponder responder(pty_, 1, [&](const std::string& req) {
        if (req == "\x01") {
            return Steps({{std::string("\x01\x03\x02\x12\x34\xB5\x33", 7) + "ZZ"}});
        }
        if (req == "\x02") {
            return Steps({{std::string("\x02\x83\x02\x30\xF1", 5) + "ZZ"}});
        }
        return Steps({{std::string("\x03\x03\x02\x12\x34\x00\x00", 7)}});
    });
    OpenDriver();
    for (int m = 0; m < 3; ++m) {
        drv_->SetPortParams(m, 0x03, 200, 1, 0, 0);
        EXPECT_EQ(drv_->SetReplyFraming(m, 2, 0), 0);
    }
    drv_->SetComFlags(0x7);
    Request(0, "\x01");
    Request(1, "\x02");
    Request(2, "\x03");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(lens_[0], 7);
    EXPECT_EQ(Area(0, 7), std::string("\x01\x03\x02\x12\x34\xB5\x33", 7));
    EXPECT_EQ(Status(0), 2);
    EXPECT_EQ(lens_[1], 5);
    EXPECT_EQ(Area(1, 5), std::string("\x02\x83\x02\x30\xF1", 5));
    EXPECT_EQ(Status(1), 2);
    EXPECT_EQ(lens_[2], 0);
    EXPECT_EQ(Status(2), 24);
}

TEST_F(Rs485Cycle, NoReplyTimesOut) {
    PtyResponder responder(pty_, 1, [](const std::string&) { return Steps({}); });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 20, 1, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(lens_[0], 0);
    EXPECT_TRUE(AreaUntouched(0, 0));
    EXPECT_EQ(Status(0), 4);
    EXPECT_EQ(responder.Requests(), std::vector<std::string>{"\x01"});
}

TEST_F(Rs485Cycle, NegativeTimeOutWaitsLongerThanAnyPositiveOne) {
    PtyResponder responder(pty_, 1, [](const std::string&) {
        return Steps({{"late", false, 300}});
    });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, -1, 1, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(Area(0, lens_[0]), "late");
}

TEST_F(Rs485Cycle, TimeOutZeroExpiresAtFirstSilentPollKeepingBytes) {
    // A long request at 1200 bit/s gives the answer over half a second to arrive before the
    // reply wait starts, so "AB" is there at the first poll.
    const std::string request(60, 'Q');
    PtyResponder responder(pty_, request.size(),
                           [](const std::string&) { return Steps({{"AB"}}); });
    OpenDriver(0);
    drv_->SetPortParams(0, 0x03, 0, 0x03, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, request);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(Status(0), 4);
    EXPECT_EQ(lens_[0], 2);
    EXPECT_EQ(Area(0, 2), "AB");
}

TEST_F(Rs485Cycle, DelimiterAsFirstByte) {
    std::atomic<int> round{0};
    PtyResponder responder(pty_, 1, [&](const std::string&) {
        return ++round == 1 ? Steps({{"\x02XY"}}) : Steps({{"\x02X"}, {"YZ", true, 10}});
    });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 300, 0x02, 0, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 0);
    EXPECT_EQ(Status(0), 2);
    // With trailing bytes the ones after the delimiter are counted, not stored.
    drv_->SetPortParams(0, 0x03, 300, 0x02, 2, 0);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(lens_[0], 0);
    EXPECT_EQ(Status(0), 2);
}

TEST_F(Rs485Cycle, OneMachineTimesOutAnotherAnswers) {
    PtyResponder responder(pty_, 2, [](const std::string& req) {
        return req[0] == 1 ? Steps({{"M1\x03"}}) : Steps({});
    });
    OpenDriver();
    for (int mc = 0; mc < 3; ++mc) {
        drv_->SetPortParams(mc, 0x03, 30, 0x03, 0, 0);
        Request(mc, std::string(1, static_cast<char>(mc)) + "?");
    }
    drv_->SetComFlags(0x3);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(Status(0), 4);
    EXPECT_EQ(lens_[0], 0);
    EXPECT_EQ(Status(1), 2);
    EXPECT_EQ(lens_[1], 2);
    EXPECT_EQ(Area(1, 2), "M1");
    // Machine 2 was not selected: its length and area stay as they were.
    EXPECT_EQ(Status(2), 0);
    EXPECT_EQ(lens_[2], 999);
    EXPECT_TRUE(AreaUntouched(2, 0));
    EXPECT_EQ(responder.Requests(), (std::vector<std::string>{std::string("\x00?", 2), "\x01?"}));
    // A cycle without a new mask polls the same machines and replaces their statuses.
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(responder.Requests().size(), 4u);
}

TEST_F(Rs485Cycle, OnlyMachinesBelowMaxMachineArePolled) {
    PtyResponder responder(pty_, 1, [](const std::string&) { return Steps({{"R\x03"}}); });
    OpenDriver(5, false, 2);
    drv_->SetPortParams(0, 0x03, 200, 0x03, 0, 0);
    EXPECT_EQ(drv_->SetPortParams(2, 0x03, 200, 0x03, 0, 0), 0);
    Request(0, std::string(1, '\0'));
    Request(2, "\x02");
    drv_->SetComFlags(0x5);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(Status(0), 2);
    EXPECT_EQ(Status(2), 1);
    EXPECT_EQ(responder.Requests().size(), 1u);
}

TEST_F(Rs485Cycle, SnifferModeWritesNothing) {
    OpenDriver(5, true);
    drv_->SetPortParams(0, 0x03, 20, 1, 0, 0);
    Request(0, "\x01\x02\x03");
    drv_->SetComFlags(0x1);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 1);
    EXPECT_EQ(pty_.ReadAvailable(200), "");
    EXPECT_EQ(Status(0), 1);
    EXPECT_EQ(lens_[0], 999);
    EXPECT_EQ(testsupport::ReadFile(testsupport::kGpioValue), "");
}

TEST_F(Rs485Cycle, ZeroLengthRequestWritesNothingButWaitsForReply) {
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 20, 1, 0, 0);
    ASSERT_EQ(drv_->SetSendData(0, nullptr, 0), 1);
    drv_->SetComFlags(0x1);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    EXPECT_EQ(pty_.ReadAvailable(200), "");
    EXPECT_EQ(Status(0), 4);
    EXPECT_EQ(lens_[0], 0);
    EXPECT_EQ(testsupport::ReadFile(testsupport::kGpioValue), "10");
}

std::string LongBody(int n) {
    std::string body;
    for (int i = 0; i < n; ++i) {
        body += static_cast<char>('a' + i % 26);
    }
    return body;
}

TEST_F(Rs485Cycle, ReplyLongerThanTheAreaIsAReadErrorAndTheNextMachineAnswers) {
    const std::string body = LongBody(500);
    PtyResponder responder(pty_, 1, [&](const std::string& req) {
        return req[0] == 0   ? Steps({{body}})
               : req[0] == 1 ? Steps({{body + "\x03Z"}})
                             : Steps({{"OK"}});
    });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 500, 1, 0, 0);
    drv_->SetPortParams(1, 0x03, 500, 0x03, 1, 0);
    drv_->SetPortParams(2, 0x03, 500, 1, 0, 0);
    for (int mc = 0; mc < 3; ++mc) {
        Request(mc, std::string(1, static_cast<char>(mc)));
    }
    drv_->SetComFlags(0x7);
    EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
    for (int mc = 0; mc < 2; ++mc) {
        EXPECT_EQ(Status(mc), 24) << mc;
        EXPECT_EQ(lens_[mc], 0) << mc;
    }
    EXPECT_EQ(Status(2), 2);
    EXPECT_EQ(lens_[2], 2);
    EXPECT_EQ(Area(2, 2), "OK");
}

// A machine (or a floating bus) that never falls silent, as fast as the line takes it or a
// byte now and then, well inside its time-out.
TEST_F(Rs485Cycle, BabblingMachineEndsWithReadErrorAndTheCycleGoesOn) {
    for (const int pause_ms : {0, 2}) {
        SCOPED_TRACE(pause_ms);
        PtyResponder responder(pty_, 1, [&](const std::string& req) {
            return req[0] == 0 ? Steps({{pause_ms == 0 ? "bbbb" : "b", false, pause_ms, true}})
                               : Steps({{"OK\x03"}});
        });
        OpenDriver();
        drv_->SetPortParams(0, 0x03, 300, 0x03, 0, 0);
        drv_->SetPortParams(1, 0x03, 500, 0x03, 0, 0);
        Request(0, std::string(1, '\0'));
        Request(1, "\x01");
        drv_->SetComFlags(0x3);
        EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
        EXPECT_EQ(Status(0), 24);
        EXPECT_EQ(lens_[0], 0);
        // A last piece of babble may still precede the next machine's reply.
        EXPECT_EQ(Status(1), 2);
        ASSERT_GE(lens_[1], 2);
        EXPECT_EQ(Area(1, lens_[1]).substr(static_cast<std::size_t>(lens_[1] - 2)), "OK");
        EXPECT_EQ(drv_->Close(), 0);
        drv_.reset();
    }
}

TEST_F(Rs485Cycle, EarlyEndsLeaveNoBytesOfTheLastCycle) {
    PtyResponder responder(pty_, 2, [](const std::string&) { return Steps({{"OK"}}); });
    OpenDriver();
    drv_->SetPortParams(0, 0x03, 50, 1, 0, 0);
    Request(0, "\x01\x02");
    drv_->SetComFlags(0x1);
    auto good_cycle = [&] {
        ASSERT_EQ(drv_->StartCom(lens_, areas_), 1);
        ASSERT_EQ(lens_[0], 2);
        ASSERT_EQ(Status(0), 2);
    };
    struct Fault {
        const char* name;
        std::function<void()> set;
        std::function<void()> clear;
        bool request_sent;
    };
    const Fault faults[] = {
        // Suspended output makes the non-blocking write fail.
        {"write", [&] { ASSERT_EQ(::tcflow(pty_.Slave(), TCOOFF), 0); },
         [&] { ASSERT_EQ(::tcflow(pty_.Slave(), TCOON), 0); }, false},
        // The first query (before the transaction) succeeds, the one after the write fails.
        {"queue query", [&] { drv_->queries_left = 1; }, [&] { drv_->queries_left = -1; }, true},
        {"queue not drained", [&] { drv_->stuck_queries = 200; }, [&] { drv_->stuck_queries = 0; },
         true},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        good_cycle();
        f.set();
        EXPECT_EQ(drv_->StartCom(lens_, areas_), 0);
        f.clear();
        EXPECT_EQ(Status(0), 24);
        EXPECT_EQ(lens_[0], 0);
        // The transceiver was handed back to receive.
        EXPECT_EQ(testsupport::ReadFile(testsupport::kGpioValue).back(), '0');
        // The answer to a request that went out comes in the end; the next cycle discards it.
        if (f.request_sent) {
            ASSERT_TRUE(testsupport::WaitUntil([&] { return pty_.SlaveUnread() == 2; }, 5000));
        }
    }
    good_cycle();
}

TEST_F(Rs485Cycle, ComptDuringACycleChangesTheTableNotTheCyclesResults) {
    OpenDriver();
    // The order comes from the responder's thread while machine 0 is being answered.
    FaultDriver* drv = drv_.get();
    PtyResponder responder(pty_, 1, [drv](const std::string& req) {
        if (req[0] == 0) {
            drv->SetComFlags(0x4);
        }
        return Steps({{std::string("R") + static_cast<char>('0' + req[0])}});
    });
    unsigned char statuses[15];
    for (int mc = 0; mc < 3; ++mc) {
        drv_->SetPortParams(mc, 0x03, 100, 1, 0, 0);
        Request(mc, std::string(1, static_cast<char>(mc)));
    }
    drv_->SetComFlags(0x3);
    EXPECT_EQ(drv_->StartCom(lens_, areas_, statuses), 1);
    // The mask read at the start: machines 0 and 1 polled, each with its own reply.
    for (int mc = 0; mc < 2; ++mc) {
        EXPECT_EQ(statuses[mc], 2) << mc;
        EXPECT_EQ(Area(mc, lens_[mc]), "R" + std::to_string(mc));
    }
    EXPECT_EQ(statuses[2], 0);
    EXPECT_EQ(lens_[2], 999);
    // The table shows the order's selection; the next cycle polls machine 2 alone.
    EXPECT_EQ(Status(0), 0);
    EXPECT_EQ(Status(1), 0);
    EXPECT_EQ(Status(2), 1);
    EXPECT_EQ(drv_->StartCom(lens_, areas_, statuses), 1);
    // Machine 0, not polled this time, keeps the reply of the cycle before.
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(Area(0, lens_[0]), "R0");
    EXPECT_EQ(statuses[2], 2);
    EXPECT_EQ(Area(2, lens_[2]), "R2");
}

TEST_F(Rs485Cycle, ConcurrentOrderSeesEachMachineWithOneRecord) {
    // Record A ends at 0x03 with two trailing bytes, record B at 0x04 with none; both frame
    // the reply completely. A mixture of the two would wait for trailing bytes after 0x04
    // and time out.
    PtyResponder responder(pty_, 1, [](const std::string&) {
        return Steps(
            {{"AB\x03"
              "CD\x04"}});
    });
    // The spinning order thread can keep the responder waiting under emulation.
    const short time_out = static_cast<short>(100 * testsupport::EmulationSlowdown());
    OpenDriver();
    drv_->SetPortParams(0, 0x03, time_out, 0x03, 2, 0);
    drv_->SetComFlags(0x1);
    Request(0, "\x01");
    std::atomic<bool> stop{false};
    std::thread order([&] {
        bool a = false;
        while (!stop) {
            drv_->SetPortParams(0, 0x03, time_out, a ? 0x03 : 0x04, a ? 2 : 0, 0);
            a = !a;
        }
    });
    bool all_complete = true;
    for (int i = 0; i < 20; ++i) {
        drv_->StartCom(lens_, areas_);
        all_complete = all_complete && Status(0) == 2 && (lens_[0] == 2 || lens_[0] == 5);
    }
    stop = true;
    order.join();
    EXPECT_TRUE(all_complete);
}

}  // namespace

namespace {

// Where the hardware switches direction, the reply wait starts right after the write and its
// time-out counts from the end of the request's wire time: a reply that comes after the
// time-out but before the request would have left a real line is taken.
TEST(Rs485SelfSwitching, ReplyTimeOutCountsFromTheEndOfTheWireTime) {
    if (!rs485test::InSandbox()) {
        GTEST_SKIP() << "runs only inside scripts/sandbox";
    }
    rs485test::ResetSandboxFiles();
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    // 60 bytes at 1200 bit/s are 554 ms on the line; the reply comes 150 ms after the write.
    const std::string request(60, 'Q');
    PtyResponder responder(pty, request.size(), [](const std::string&) {
        return Steps({{"LATE", false, 150}});
    });
    veldw485::line::DirectionSettings settings;
    settings.mode = veldw485::line::DirectionMode::kAuto;
    Driver drv(pty.SlavePath(), veldw485::line::DirectionControl::Create(settings, 0), 0, 15, 0);
    ASSERT_EQ(drv.Open(false, 0), 0);
    ASSERT_EQ(drv.SetPortParams(0, 0x03, 20, 1, 0, 0), 0);
    drv.SetComFlags(0x1);
    ASSERT_EQ(drv.SetSendData(0, reinterpret_cast<const unsigned char*>(request.data()), 60), 1);
    int lens[15] = {};
    unsigned char areas[15 * kArea] = {};
    EXPECT_EQ(drv.StartCom(lens, areas), 1);
    EXPECT_EQ(drv.GetMachine(0).com_flag, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(areas), static_cast<std::size_t>(lens[0])),
              "LATE");
    // Nothing was switched: the GPIO stand-in and the SPI tool were not touched.
    EXPECT_EQ(testsupport::ReadFile(testsupport::kGpioValue), "");
    EXPECT_EQ(testsupport::ReadFile(testsupport::kSpiLog), "");
    EXPECT_EQ(drv.Close(), 0);
}

}  // namespace
