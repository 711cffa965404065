// The private receive copy and the xfer_data records handed to applications.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ReceiveDataMem.h"

using veldwlib::shmem::ReceiveDataMem;

namespace {
const unsigned char* Bytes(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}
}  // namespace

TEST(ReceiveDataMem, RecordsHaveADefinedStateBeforeAnyCopy) {
    ReceiveDataMem mem;
    EXPECT_EQ(mem.Count(), 15);
    xfer_data** table = mem.Table();
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(table[i], mem.Transfer(i));
        EXPECT_EQ(table[i]->len, 0);
        EXPECT_EQ(table[i]->status, 0);
        ASSERT_NE(table[i]->data, nullptr);
        EXPECT_EQ(table[i]->data[0], 0);
    }
    EXPECT_FALSE(mem.IsUpdateDatas(0));
    EXPECT_TRUE(mem.IsUpdateDatas(7));
}

TEST(ReceiveDataMem, CopyThenReturnHandsOutTheBytesWithATerminator) {
    ReceiveDataMem mem;
    mem.DataCopy(3, 5, 2, Bytes("AB\0CD"), 77);
    // Copied, but not handed out until ReturnDataCopy.
    EXPECT_EQ(mem.Transfer(3)->len, 0);
    mem.ReturnDataCopy(3);
    const xfer_data* x = mem.Transfer(3);
    ASSERT_EQ(x->len, 5);
    EXPECT_EQ(x->status, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(x->data), 5), std::string("AB\0CD", 5));
    EXPECT_EQ(x->data[5], 0);
    EXPECT_FALSE(mem.IsNewestDateAndUpdate(3, 77));
    EXPECT_TRUE(mem.IsNewestDateAndUpdate(3, 78));
    EXPECT_TRUE(mem.IsNewestDateAndUpdate(4, 77));
}

TEST(ReceiveDataMem, NewestCheckStoresNothing) {
    ReceiveDataMem mem;
    for (int k = 0; k < 3; ++k) {
        EXPECT_FALSE(mem.IsNewestDateAndUpdate(0, 0));
        EXPECT_TRUE(mem.IsNewestDateAndUpdate(0, 5));
    }
    mem.UpdateDatas(9);
    EXPECT_FALSE(mem.IsUpdateDatas(9));
    EXPECT_TRUE(mem.IsUpdateDatas(0));
}

TEST(ReceiveDataMem, EmptyCopySetsStampAndEmptyText) {
    ReceiveDataMem mem;
    mem.DataCopy(1, 3, 2, Bytes("xyz"), 10);
    mem.DataCopy(1, 0, 4, nullptr, 11);
    mem.ReturnDataCopy(1);
    EXPECT_EQ(mem.Transfer(1)->len, 0);
    EXPECT_EQ(mem.Transfer(1)->status, 4);
    EXPECT_EQ(mem.Transfer(1)->data[0], 0);
    EXPECT_FALSE(mem.IsNewestDateAndUpdate(1, 11));
}

TEST(ReceiveDataMem, PointerSeesTheNextCopyOfTheSameMachine) {
    ReceiveDataMem mem;
    mem.DataCopy(0, 2, 2, Bytes("ok"), 1);
    mem.ReturnDataCopy(0);
    const unsigned char* before = mem.Transfer(0)->data;
    mem.DataCopy(0, 3, 2, Bytes("new"), 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(before), "new");
}

TEST(ReceiveDataMem, OverlongLengthAndBadIndexesAreContained) {
    ReceiveDataMem mem;
    static unsigned char big[600];
    std::memset(big, 'Q', sizeof big);
    mem.DataCopy(14, 600, 2, big, 3);
    mem.ReturnDataCopy(14);
    EXPECT_EQ(mem.Transfer(14)->len, 436);
    EXPECT_EQ(mem.Transfer(14)->data[436], 0);
    mem.DataCopy(15, 2, 2, Bytes("no"), 3);
    mem.DataCopy(-1, 2, 2, Bytes("no"), 3);
    mem.ReturnDataCopy(15);
    EXPECT_EQ(mem.Transfer(15), nullptr);
    EXPECT_EQ(mem.Transfer(-1), nullptr);
    EXPECT_FALSE(mem.IsNewestDateAndUpdate(15, 3));
}
