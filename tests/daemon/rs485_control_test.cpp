// Opening and closing a line, the transceiver commands, the GPIO direction history, the
// character formats and the machine table.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ClientViews.h"
#include "PtyPair.h"
#include "TestSupport.h"
#include "rs485_test_driver.h"

using rs485test::Driver;
using rs485test::SpiCommands;
using testsupport::PtyPair;
using testsupport::ReadFile;
using veldw485::line::Rs485Machine;

namespace {

class Rs485Open : public rs485test::SandboxTest {};

TEST_F(Rs485Open, SecondOpenReturnsMinusOneAndRunsNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    Driver drv(pty.SlavePath(), "none", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 5), 0);
    const int fd = drv.FdTty();
    const std::vector<std::string> before = SpiCommands();
    EXPECT_EQ(drv.Open(true, 2), -1);
    EXPECT_EQ(drv.FdTty(), fd);
    EXPECT_EQ(drv.Settings().baudrate, 5);
    EXPECT_EQ(drv.Settings().sniffer, 0);
    EXPECT_EQ(drv.Settings().sleep_time, 297);
    EXPECT_EQ(SpiCommands(), before);
    EXPECT_EQ(drv.Close(), 0);
}

TEST_F(Rs485Open, BaudIndexSixIsRejectedWithNothingRun) {
    PtyPair pty;
    Driver drv(pty.SlavePath(), "none", 3, 15, 1);
    EXPECT_EQ(drv.Open(false, 6), -2);
    EXPECT_EQ(drv.Settings().baudrate, 6);
    EXPECT_EQ(drv.FdTty(), -1);
    EXPECT_TRUE(SpiCommands().empty());
    EXPECT_EQ(drv.Close(), 16);
}

TEST_F(Rs485Open, BaudTableSetsCharacterTime) {
    PtyPair pty;
    const int expected[] = {9240, 4620, 2310, 1155, 583, 297};
    for (int baud = 0; baud <= 5; ++baud) {
        Driver drv(pty.SlavePath(), "gpio", 3, 15, 0);
        ASSERT_EQ(drv.Open(false, static_cast<unsigned char>(baud)), 0);
        EXPECT_EQ(drv.Settings().char_time, expected[baud]);
        EXPECT_EQ(drv.Settings().sleep_time, expected[baud]);
        EXPECT_EQ(drv.Close(), 0);
    }
}

TEST_F(Rs485Open, MissingTtyGivesMinusThreeWithTransmitterOff) {
    Driver drv("/var/local/sandbox/no-such-tty", "none", 3, 15, 2);
    EXPECT_EQ(drv.Open(false, 3), -3);
    EXPECT_EQ(drv.FdTty(), -1);
    EXPECT_EQ(SpiCommands(), std::vector<std::string>{"/usr/sbin/spitool -d /dev/fpga -w 00 86"});
    EXPECT_EQ(drv.Close(), 16);
}

TEST_F(Rs485Open, MissingGpioValueLeavesTtyOpenUntilClose) {
    PtyPair pty;
    ASSERT_EQ(::unlink(testsupport::kGpioValue), 0);
    Driver drv(pty.SlavePath(), "DE86", 3, 15, 0);
    EXPECT_EQ(drv.Open(false, 3), -4);
    EXPECT_GE(drv.FdTty(), 0);
    EXPECT_LT(drv.FdDe(), 0);
    EXPECT_EQ(drv.Open(false, 3), -1);
    EXPECT_EQ(drv.Close(), 0);
    EXPECT_EQ(drv.FdTty(), -1);
    EXPECT_TRUE(SpiCommands().empty());
    // The export and direction steps ran although the value file was missing.
    EXPECT_EQ(ReadFile(rs485test::kGpioExport), "86");
    EXPECT_EQ(ReadFile(rs485test::kGpioDirection), "out");
}

TEST_F(Rs485Open, CloseOfNeverOpenedDriverReturnsSixteen) {
    Driver drv("/dev/null", "none", 3, 15, 0);
    EXPECT_EQ(drv.Close(), 16);
    EXPECT_EQ(drv.Close(), 16);
}

TEST_F(Rs485Open, ClosedDriverOpensAgain) {
    PtyPair pty;
    Driver drv(pty.SlavePath(), "gpio", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 3), 0);
    ASSERT_EQ(drv.Close(), 0);
    ASSERT_EQ(drv.Open(true, 4), 0);
    EXPECT_EQ(drv.Settings().baudrate, 4);
    EXPECT_EQ(drv.Settings().sniffer, 1);
    EXPECT_EQ(drv.Close(), 0);
}

class Rs485Spi : public rs485test::SandboxTest {};

TEST_F(Rs485Spi, RtsOpenRunsFourCommandsInOrderPerChannel) {
    const char* regs[3][3] = {{"40", "41", "46"}, {"60", "61", "66"}, {"80", "81", "86"}};
    for (int channel = 0; channel < 3; ++channel) {
        rs485test::ResetSandboxFiles();
        PtyPair pty;
        Driver drv(pty.SlavePath(), "none", 3, 15, channel);
        ASSERT_EQ(drv.Open(false, 3), 0);
        const std::string tool = "/usr/sbin/spitool -d /dev/fpga -w ";
        const std::vector<std::string> expected = {
            tool + "00 " + regs[channel][2],
            tool + "03 " + regs[channel][0],
            tool + "01 " + regs[channel][2],
            tool + "01 " + regs[channel][1],
        };
        EXPECT_EQ(SpiCommands(), expected) << "channel " << channel;
        EXPECT_EQ(drv.Close(), 0);
        // Close leaves the transceiver registers alone.
        EXPECT_EQ(SpiCommands(), expected);
    }
}

TEST_F(Rs485Spi, SingleCommandsAndChannelWithoutRegisterBlock) {
    Driver drv("/dev/null", "none", 3, 15, 1);
    ASSERT_NE(drv.Rts(), nullptr);
    EXPECT_EQ(drv.Rts()->setBaudRate(1, 5), 0);
    EXPECT_EQ(drv.Rts()->recvDisable(1), 0);
    EXPECT_EQ(drv.Rts()->recvEnable(3), 0);
    EXPECT_EQ(SpiCommands(), (std::vector<std::string>{
                                 "/usr/sbin/spitool -d /dev/fpga -w 05 60",
                                 "/usr/sbin/spitool -d /dev/fpga -w 00 61",
                                 // the trailing blank gives the tool no register argument
                                 "/usr/sbin/spitool -d /dev/fpga -w 01",
                             }));
}

TEST_F(Rs485Spi, FailingToolIsReportedButOpenSucceeds) {
    ASSERT_TRUE(testsupport::WriteFile(rs485test::kSpiFail, "3"));
    PtyPair pty;
    Driver drv(pty.SlavePath(), "none", 3, 15, 0);
    ASSERT_NE(drv.Rts(), nullptr);
    EXPECT_NE(drv.Rts()->txenOnSetting(0), 0);
    char out[128] = {};
    const int status = drv.Rts()->_runSpiTool("/usr/sbin/spitool -d /dev/fpga -w 01 41", out);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(drv.Open(false, 3), 0);
    EXPECT_EQ(SpiCommands().size(), 6u);
    EXPECT_EQ(drv.Close(), 0);
}

TEST_F(Rs485Spi, GpioModeRunsNoToolAndAnyOtherWordSelectsIt) {
    PtyPair pty;
    Driver drv(pty.SlavePath(), "NONE", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 3), 0);
    EXPECT_GE(drv.FdDe(), 0);
    EXPECT_TRUE(SpiCommands().empty());
    // Nothing is written to the value file at open time.
    EXPECT_EQ(ReadFile(testsupport::kGpioValue), "");
    EXPECT_EQ(drv.Close(), 0);
}

class Rs485Direction : public rs485test::SandboxTest {};

TEST_F(Rs485Direction, OneTransactionWritesTransmitThenReceive) {
    PtyPair pty;
    testsupport::PtyResponder responder(pty, 2, [](const std::string&) {
        return std::vector<testsupport::ReplyStep>{{"OK", false, 0}};
    });
    Driver drv(pty.SlavePath(), "de", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 5), 0);
    ASSERT_EQ(drv.SetPortParams(0, 0x03, 200, 1, 0, 0), 0);
    drv.SetComFlags(0x1);
    const unsigned char req[] = {0x01, 0x02};
    ASSERT_EQ(drv.SetSendData(0, req, 2), 1);
    int lens[15] = {};
    unsigned char areas[15 * 436] = {};
    EXPECT_EQ(drv.StartCom(lens, areas), 1);
    EXPECT_EQ(ReadFile(testsupport::kGpioValue), "10");
    EXPECT_EQ(lens[0], 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(areas), 2), "OK");
    EXPECT_EQ(drv.Close(), 0);
}

class Rs485Format : public rs485test::SandboxTest {};

TEST_F(Rs485Format, CharacterFormatsReadBack) {
    PtyPair pty;
    Driver drv(pty.SlavePath(), "none", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 4), 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_NE(tio.c_oflag & ONOCR, 0u);

    struct Case {
        unsigned char ctrl_bit;
        tcflag_t size;
        bool two_stop;
        bool parity;
        bool odd;
    };
    const Case cases[] = {
        {0x1b, CS8, true, true, false},   {0x03, CS8, false, false, false},
        {0x00, CS5, false, false, false}, {0x01, CS6, false, false, false},
        {0x3a, CS7, true, true, true},    {0x22, CS7, false, false, false},
        {0xff, CS8, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.ctrl_bit));
        drv._setLineFormat(c.ctrl_bit);
        // What was handed to tcsetattr.
        const termios& set = drv.Termios();
        EXPECT_EQ(set.c_cflag & CSIZE, c.size);
        EXPECT_EQ((set.c_cflag & CSTOPB) != 0, c.two_stop);
        EXPECT_EQ((set.c_cflag & PARENB) != 0, c.parity);
        EXPECT_EQ((set.c_cflag & PARODD) != 0, c.odd);
        // What the tty took: a pseudo-terminal always carries 8 bits without parity, so
        // only the stop bits, the parity sense and the input check show there.
        ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.two_stop);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parity);
        EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.odd);
        EXPECT_NE(tio.c_cflag & CREAD, 0u);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
        // Speed and flow control set at open stay in force.
        EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
        EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    }
    EXPECT_EQ(drv.Close(), 0);
}

TEST_F(Rs485Format, SettingTheFormatDiscardsUnreadInput) {
    PtyPair pty;
    Driver drv(pty.SlavePath(), "none", 3, 15, 0);
    ASSERT_EQ(drv.Open(false, 5), 0);
    ASSERT_TRUE(pty.Write("stale"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return pty.SlaveUnread() == 5; }, 5000));
    drv._setLineFormat(0x03);
    EXPECT_EQ(pty.SlaveUnread(), 0);
    EXPECT_EQ(drv.Close(), 0);
}

class Rs485Table : public ::testing::Test {};

TEST_F(Rs485Table, InitialRecordsAndPortParams) {
    Driver drv("/dev/null", "none", 3, 4, 0);
    const Rs485Machine init = drv.GetMachine(7);
    EXPECT_EQ(init.ctrl_bit, 0xff);
    EXPECT_EQ(init.time_out, 1);
    EXPECT_EQ(init.delm_type, 1);
    EXPECT_EQ(init.len_after_delm, 0);
    EXPECT_EQ(init.wait_time, 0);
    EXPECT_EQ(init.com_flag, 0);

    EXPECT_EQ(drv.SetPortParams(3, 0x07, 100, 0x03, 1, 0), 1);
    const Rs485Machine m = drv.GetMachine(3);
    EXPECT_EQ(m.ctrl_bit, 0x0b);
    EXPECT_EQ(m.time_out, 100);
    EXPECT_EQ(m.delm_type, 0x03);
    EXPECT_EQ(m.len_after_delm, 1);
    EXPECT_EQ(drv.SetPortParams(4, 0x1b, -5, 0x0d, 0, 25), 0);
    EXPECT_EQ(drv.GetMachine(4).time_out, -5);
    EXPECT_EQ(drv.GetMachine(4).wait_time, 25);
    EXPECT_EQ(drv.SetPortParams(5, 0x03, 1, 1, 0, 0), -1);
    EXPECT_EQ(drv.SetPortParams(-1, 0x03, 1, 1, 0, 0), -1);
}

// Each client's table is its own; a client registered again keeps its identity; the line
// takes a bounded number of clients and forgets one when its connection goes.
TEST_F(Rs485Table, ClientTablesAreSeparateAndBounded) {
    veldw485::line::ClientViews views;
    const uint32_t a = views.Register(7, 100, 3);
    const uint32_t b = views.Register(8, 200, 5);
    ASSERT_NE(a, 0U);
    ASSERT_NE(b, 0U);
    ASSERT_NE(a, b);
    EXPECT_EQ(views.Register(7, 101, 4), a);
    EXPECT_EQ(views.SetComFlags(a, 0x3), 1);
    EXPECT_EQ(views.SetPortParams(b, 2, 15, 0x07, 500, 13, 0, 0), 1);  // 1.5 stop bits -> 2
    const unsigned char req[] = {1, 2, 3};
    EXPECT_EQ(views.SetSendData(a, 0, req, 3), 1);
    veldw485::line::MachineTable ta;
    veldw485::line::MachineTable tb;
    ASSERT_TRUE(views.Table(a, &ta));
    ASSERT_TRUE(views.Table(b, &tb));
    EXPECT_EQ(ta.Mask(), 0x3);
    EXPECT_EQ(ta.Baudrate(), 4);
    EXPECT_EQ(ta.Send(0).len, 3);
    EXPECT_EQ(ta.Machine(2).time_out, Rs485Machine().time_out);
    EXPECT_EQ(tb.Mask(), 0);
    EXPECT_EQ(tb.Send(0).len, 0);
    EXPECT_EQ(tb.Machine(2).ctrl_bit, 0x0b);
    EXPECT_EQ(tb.Machine(2).time_out, 500);
    int pid = 0;
    EXPECT_EQ(views.Drop(7, &pid), a);
    EXPECT_EQ(pid, 101);
    EXPECT_FALSE(views.Table(a, &ta));
    EXPECT_EQ(views.SetComFlags(a, 1), 0);
    EXPECT_EQ(views.Drop(7, &pid), 0U);
    for (int conn = 100; views.List().size() < veldw485::line::ClientViews::kMaxClients; ++conn) {
        ASSERT_NE(views.Register(conn, conn, 3), 0U);
    }
    EXPECT_EQ(views.Register(999, 999, 3), 0U);
    EXPECT_EQ(views.Find(999), 0U);
    EXPECT_EQ(views.Find(8), b);
}

TEST_F(Rs485Table, ComFlagsFollowTheMask) {
    Driver drv("/dev/null", "none", 3, 15, 0);
    EXPECT_EQ(drv.SetComFlags(0x5), 1);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(drv.GetMachine(i).com_flag, (i == 0 || i == 2) ? 1 : 0) << i;
    }
    EXPECT_EQ(drv.Table().Mask(), 0x5);
}

TEST_F(Rs485Table, OutOfRangeIndexesAndLengthsAreRefused) {
    Driver drv("/dev/null", "none", 3, 40, 0);
    EXPECT_EQ(drv.Settings().max_machine, 15);
    EXPECT_EQ(drv.SetPortParams(14, 0x03, 1, 1, 0, 0), 0);
    EXPECT_EQ(drv.SetPortParams(15, 0x03, 1, 1, 0, 0), -1);
    const unsigned char data[65] = {};
    EXPECT_EQ(drv.SetSendData(-1, data, 1), 0);
    EXPECT_EQ(drv.SetSendData(15, data, 1), 0);
    EXPECT_EQ(drv.SetSendData(0, data, 65), 0);
    EXPECT_EQ(drv.SetSendData(0, data, -1), 0);
    EXPECT_EQ(drv.SetSendData(0, nullptr, 3), 0);
    EXPECT_EQ(drv.SetSendData(0, data, 64), 1);
    EXPECT_EQ(drv.SetSendData(14, data, 0), 1);
    for (int mc : {-1, 15, 1000}) {
        const Rs485Machine m = drv.GetMachine(mc);
        EXPECT_EQ(m.ctrl_bit, 0);
        EXPECT_EQ(m.time_out, 0);
        EXPECT_EQ(m.delm_type, 0);
        EXPECT_EQ(m.com_flag, 0);
    }
}

}  // namespace
