// Field conversions and text helpers shared by both sides of the order channel.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TextUtil.h"

using namespace vel::text;

TEST(TextUtil, SplitDropsEmptyPieces) {
    EXPECT_EQ(Split("open,,0,1,3", ','), (std::vector<std::string>{"open", "0", "1", "3"}));
    EXPECT_EQ(Split(",,,", ','), std::vector<std::string>{});
    EXPECT_EQ(Split("|||", '|'), std::vector<std::string>{});
    EXPECT_EQ(Split("close,0|open,0,0,3|", '|'),
              (std::vector<std::string>{"close,0", "open,0,0,3"}));
    EXPECT_EQ(Split("", ','), std::vector<std::string>{});
    EXPECT_EQ(Split(",a,", ','), std::vector<std::string>{"a"});
}

TEST(TextUtil, Int32ConversionAndFailureValue) {
    EXPECT_EQ(ToInt32("0"), 0);
    EXPECT_EQ(ToInt32("  -17xyz"), -17);
    EXPECT_EQ(ToInt32("+5"), 5);
    EXPECT_EQ(ToInt32("2147483647"), 2147483647);
    EXPECT_EQ(ToInt32("-2147483648"), INT32_MIN);
    EXPECT_EQ(ToInt32("2147483648"), INT32_MIN);
    EXPECT_EQ(ToInt32("99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(ToInt32("x"), INT32_MIN);
    EXPECT_EQ(ToInt32(""), INT32_MIN);
    EXPECT_EQ(ToInt32("-"), INT32_MIN);
    EXPECT_EQ(ToInt32(" "), INT32_MIN);
    EXPECT_EQ(ToInt32("\t\n 12 "), 12);
    EXPECT_EQ(ToInt32("+-5"), INT32_MIN);
    EXPECT_EQ(ToInt32("-+5"), INT32_MIN);
    EXPECT_EQ(ToInt32("++5"), INT32_MIN);
    EXPECT_EQ(ToInt32("+"), INT32_MIN);
    EXPECT_EQ(ToInt32("- 5"), INT32_MIN);
    EXPECT_EQ(ToInt32("0x1F"), 0);
    EXPECT_EQ(ToInt32("-0"), 0);
    EXPECT_EQ(ToInt32("00000000000000000042"), 42);
    EXPECT_EQ(ToInt32("-2147483649"), INT32_MIN);
    EXPECT_EQ(ToInt32("12,34"), 12);
}

TEST(TextUtil, ShortAndByteConversions) {
    EXPECT_EQ(ToInt16("3000"), 3000);
    EXPECT_EQ(ToInt16("-1"), -1);
    EXPECT_EQ(ToInt16("65535"), -1);
    EXPECT_EQ(ToInt16("32768"), -32768);
    EXPECT_EQ(ToInt16("x"), -128);
    EXPECT_EQ(ToUint8("255"), 255);
    EXPECT_EQ(ToUint8("256"), 0);
    EXPECT_EQ(ToUint8("-1"), 255);
    EXPECT_EQ(ToUint8("259"), 3);
    EXPECT_EQ(ToUint8("x"), 0);
}

TEST(TextUtil, MaskAndHex) {
    EXPECT_EQ(MaskToBinary(0), "0");
    EXPECT_EQ(MaskToBinary(5), "101");
    EXPECT_EQ(MaskToBinary(INT32_MIN), "1" + std::string(31, '0'));
    EXPECT_EQ(MaskToBinary(-1), std::string(32, '1'));
    EXPECT_EQ(MaskToBinary(0x4000), "100000000000000");
    const uint8_t bytes[] = {0x01, 0xab, 0x00, 0xff};
    EXPECT_EQ(BytesToHex(bytes, 2), "01AB");
    EXPECT_EQ(BytesToHex(bytes, 4), "01AB00FF");
    EXPECT_EQ(BytesToHex(bytes, 0), "");
}

TEST(TextUtil, MakeDirsCreatesParentsWithMode) {
    const std::string dir = "/var/local/sandbox/mk/a/b/c";
    ASSERT_EQ(MakeDirs(dir, 0775), 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0775U);
    EXPECT_EQ(MakeDirs(dir, 0775), 0);  // existing directories are accepted
    EXPECT_EQ(MakeDirs("/var/local/sandbox/mk/a/b/c/", 0775), 0);
    ASSERT_EQ(system("touch /var/local/sandbox/mk/file"), 0);
    EXPECT_EQ(MakeDirs("/var/local/sandbox/mk/file/sub", 0775), -1);
    EXPECT_EQ(MakeDirs("", 0775), -1);
}
