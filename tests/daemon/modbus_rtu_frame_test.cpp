// The length of a Modbus RTU reply from its first bytes, and its CRC.
#include <gtest/gtest.h>

#include <vector>

#include "ModbusRtuFrame.h"

using veldw485::line::ModbusRtuFrame;

namespace {

int Expected(std::vector<unsigned char> bytes) {
    return ModbusRtuFrame::ExpectedLength(bytes.data(), static_cast<int>(bytes.size()));
}

// The frame with its CRC appended, low byte first.
std::vector<unsigned char> WithCrc(std::vector<unsigned char> frame) {
    const uint16_t crc = ModbusRtuFrame::Crc(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    return frame;
}

}  // namespace

TEST(ModbusRtuFrame, LengthFollowsFromTheFunctionCode) {
    EXPECT_EQ(Expected({}), ModbusRtuFrame::kNeedMore);
    EXPECT_EQ(Expected({0x11}), ModbusRtuFrame::kNeedMore);
    // Read functions: address, function, byte count, the bytes, CRC.
    EXPECT_EQ(Expected({0x11, 0x03}), ModbusRtuFrame::kNeedMore);
    EXPECT_EQ(Expected({0x11, 0x03, 0x06}), 11);
    EXPECT_EQ(Expected({0x11, 0x01, 0x01}), 6);
    EXPECT_EQ(Expected({0x11, 0x17, 0x04}), 9);
    EXPECT_EQ(Expected({0x11, 0x18, 0x00}), ModbusRtuFrame::kNeedMore);
    EXPECT_EQ(Expected({0x11, 0x18, 0x00, 0x06}), 12);
    // Exception replies, whatever the function.
    EXPECT_EQ(Expected({0x11, 0x83}), 5);
    EXPECT_EQ(Expected({0x11, 0x90}), 5);
    // Writes and diagnostics echo a fixed number of bytes.
    EXPECT_EQ(Expected({0x11, 0x05}), 8);
    EXPECT_EQ(Expected({0x11, 0x06}), 8);
    EXPECT_EQ(Expected({0x11, 0x0F}), 8);
    EXPECT_EQ(Expected({0x11, 0x10}), 8);
    EXPECT_EQ(Expected({0x11, 0x08}), 8);
    EXPECT_EQ(Expected({0x11, 0x16}), 10);
    EXPECT_EQ(Expected({0x11, 0x07}), 5);
    // A function whose reply length the frame does not give.
    EXPECT_EQ(Expected({0x11, 0x2B}), ModbusRtuFrame::kUnknown);
    EXPECT_EQ(Expected({0x11, 0x41}), ModbusRtuFrame::kUnknown);
}

TEST(ModbusRtuFrame, CrcOfAKnownFrameAndItsCheck) {
    // Read two holding registers of slave 1 from address 0: sent with C4 0B.
    const std::vector<unsigned char> request{0x01, 0x03, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(ModbusRtuFrame::Crc(request.data(), 6), 0x0BC4);
    std::vector<unsigned char> frame = WithCrc({0x01, 0x83, 0x02});
    EXPECT_TRUE(ModbusRtuFrame::CrcOk(frame.data(), 5));
    frame[4] ^= 0x01;
    EXPECT_FALSE(ModbusRtuFrame::CrcOk(frame.data(), 5));
    EXPECT_FALSE(ModbusRtuFrame::CrcOk(frame.data(), 3));
}
