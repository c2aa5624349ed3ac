// The guard's pure parts: accepted sizes, file-time order, and the declared length of a payload.
#include "install.h"

#include <gtest/gtest.h>

namespace {

TEST(AcceptedSize, OneByteEitherSideOfAnEntryAndNothingElse)
{
    const DWORD table[] = {610361, 0};
    for (DWORD size : {610360u, 610361u, 610362u})
        EXPECT_TRUE(IsAcceptedSize(table, size)) << size;
    for (DWORD size : {0u, 610359u, 610363u, 0xFFFFFFFFu})
        EXPECT_FALSE(IsAcceptedSize(table, size)) << size;
    const DWORD empty[] = {0};
    EXPECT_FALSE(IsAcceptedSize(empty, 0));
    EXPECT_FALSE(IsAcceptedSize(empty, 1));
    // Entries at the ends of the range do not wrap around.
    const DWORD edges[] = {1, 0xFFFFFFFFu, 0};
    EXPECT_TRUE(IsAcceptedSize(edges, 0));
    EXPECT_TRUE(IsAcceptedSize(edges, 0xFFFFFFFEu));
    EXPECT_FALSE(IsAcceptedSize(edges, 3));
}

TEST(FileTimeOrder, HighHalvesDecideBeforeLowHalves)
{
    FILETIME a = {0xFFFFFFFFu, 1};
    FILETIME b = {0, 2};
    EXPECT_LT(CompareFileTimes(&a, &b), 0);
    EXPECT_GT(CompareFileTimes(&b, &a), 0);
    FILETIME c = {5, 2};
    EXPECT_LT(CompareFileTimes(&b, &c), 0);
    EXPECT_EQ(CompareFileTimes(&c, &c), 0);
    // Unsigned: a high half with its top bit set is later, not earlier.
    FILETIME late = {0, 0x80000000u};
    EXPECT_GT(CompareFileTimes(&late, &c), 0);
}

TEST(DeclaredLength, ReadLittleEndianAtOffset138AndOnlyWhenPresent)
{
    unsigned char payload[142] = {};
    payload[138] = 0x39;
    payload[139] = 0x50;
    payload[140] = 0x09;
    payload[141] = 0x80;
    DWORD length = 0;
    ASSERT_TRUE(DeclaredExpandedLength(payload, sizeof payload, &length));
    EXPECT_EQ(length, 0x80095039u);
    EXPECT_FALSE(DeclaredExpandedLength(payload, 141, &length));
    EXPECT_FALSE(DeclaredExpandedLength(payload, 128, &length));
}

}  // namespace
