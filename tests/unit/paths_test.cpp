// Path arithmetic on fixed buffers: separators, exact fits, one byte over, and the stage directory.
#include "install.h"

#include "guarded_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(Paths, SeparatorIsAddedOnlyWhenMissing)
{
    char buffer[32] = "C:\\TEMP";
    ASSERT_TRUE(AppendFileName(buffer, sizeof buffer, "PERNA.EX_"));
    EXPECT_STREQ(buffer, "C:\\TEMP\\PERNA.EX_");
    strcpy(buffer, "C:\\TEMP\\");
    ASSERT_TRUE(AppendFileName(buffer, sizeof buffer, "PERNA.EX_"));
    EXPECT_STREQ(buffer, "C:\\TEMP\\PERNA.EX_");
    strcpy(buffer, "C:\\");
    ASSERT_TRUE(EnsureTrailingSeparator(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "C:\\");
}

TEST(Paths, ATrailByteOf0x5CIsNoSeparator)
{
    // 表 (0x95 0x5C) and ソ (0x83 0x5C) end in the separator's byte; 予定表\ ends in a real one.
    EXPECT_FALSE(EndsWithSeparator("C:\\\x97\x5C\x92\xE8\x95\x5C"));
    EXPECT_FALSE(EndsWithSeparator("\x83\x5C"));
    EXPECT_TRUE(EndsWithSeparator("C:\\\x97\x5C\x92\xE8\x95\x5C\\"));
    // A lead byte cut off by the end of the string is a character of its own, and no separator.
    EXPECT_FALSE(EndsWithSeparator("A\\\x95"));
    EXPECT_FALSE(EndsWithSeparator(""));
    char buffer[32] = "C:\\\x8D\xEC\x8B\xC6\\\x95\x5C";
    ASSERT_TRUE(AppendFileName(buffer, sizeof buffer, "PERNA.EX_"));
    EXPECT_STREQ(buffer, "C:\\\x8D\xEC\x8B\xC6\\\x95\x5C\\PERNA.EX_");
}

TEST(Paths, ExactFitSucceedsAndOneByteMoreLeavesTheBufferAlone)
{
    // "AB" + "\" + "CD" + NUL = 6 bytes; nothing is ever written behind a buffer.
    GuardedBuffer<6> exact;
    strcpy(Arm(&exact), "AB");
    ASSERT_TRUE(AppendFileName(exact.bytes, sizeof exact.bytes, "CD"));
    EXPECT_STREQ(exact.bytes, "AB\\CD");
    GuardedBuffer<5> small;
    strcpy(Arm(&small), "AB");
    EXPECT_FALSE(AppendFileName(small.bytes, sizeof small.bytes, "CD"));
    EXPECT_STREQ(small.bytes, "AB");
    GuardedBuffer<3> full;
    strcpy(Arm(&full), "AB");
    EXPECT_FALSE(EnsureTrailingSeparator(full.bytes, sizeof full.bytes));
    EXPECT_STREQ(full.bytes, "AB");
    GuardedBuffer<InstallPathCapacity> target;
    Arm(&target);
    std::string directory(InstallPathCapacity - 11, 'D');
    EXPECT_TRUE(FormTargetPath(directory.c_str(), "PERNA.EXE", target.bytes, InstallPathCapacity));
    EXPECT_EQ(strlen(target.bytes), (size_t)InstallPathCapacity - 1);
    EXPECT_FALSE(FormTargetPath(directory.c_str(), "KALENDO.INI", target.bytes, InstallPathCapacity));
    EXPECT_TRUE(GuardIntact(exact) && GuardIntact(small) && GuardIntact(full) && GuardIntact(target));
}

TEST(Paths, TemporaryFileSitsBesideTheTargetUnderAFixedName)
{
    GuardedBuffer<InstallPathCapacity> guarded;
    char *buffer = Arm(&guarded);
    const size_t capacity = InstallPathCapacity;
    ASSERT_TRUE(TemporaryPathFor("C:\\Karyom\\PERNA.EXE", buffer, capacity));
    EXPECT_STREQ(buffer, "C:\\Karyom\\PERNA.E$_");
    ASSERT_TRUE(TemporaryPathFor("C:\\Karyom\\KALENDO.INI", buffer, capacity));
    EXPECT_STREQ(buffer, "C:\\Karyom\\KALENDO.I$_");
    EXPECT_FALSE(TemporaryPathFor("", buffer, capacity));
    EXPECT_FALSE(TemporaryPathFor("A", buffer, capacity));
    std::string longest(InstallPathCapacity - 1, 'A');
    EXPECT_TRUE(TemporaryPathFor(longest.c_str(), buffer, capacity));
    std::string over(InstallPathCapacity, 'A');
    EXPECT_FALSE(TemporaryPathFor(over.c_str(), buffer, capacity));
    EXPECT_TRUE(GuardIntact(guarded));
}

// The stand-in's environment, with TMP and TEMP in any case removed first.
class StageDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : {"TMP", "TEMP", "tmp", "temp", "Tmp", "Temp"})
            unsetenv(name);
        unsetenv("WINSTUB_FAULT");
        unsetenv("WINSTUB_CALLS");
    }
    std::string Stage()
    {
        GuardedBuffer<StagedPathCapacity> guarded;
        char *buffer = Arm(&guarded);
        int staged = StageDirectory(buffer, StagedPathCapacity);
        if (!GuardIntact(guarded))
            return "(written past the buffer!)";
        if (!staged)
            return "(refused)";
        return buffer;
    }
};

TEST_F(StageDirectoryTest, TmpWinsOverTempAndEmptyValuesCountAsSet)
{
    setenv("TEMP", "C:\\B", 1);
    EXPECT_EQ(Stage(), "C:\\B\\");
    setenv("TMP", "C:\\A\\", 1);
    EXPECT_EQ(Stage(), "C:\\A\\");
    setenv("TMP", "", 1);
    EXPECT_EQ(Stage(), "C:\\");
    unsetenv("TMP");
    setenv("TEMP", "", 1);
    EXPECT_EQ(Stage(), "C:\\");
}

TEST_F(StageDirectoryTest, NamesMatchWithoutCaseAndNeitherMeansTheWindowsDirectory)
{
    EXPECT_EQ(Stage(), "C:\\WINDOWS\\");
    setenv("tmp", "D:\\lower", 1);
    EXPECT_EQ(Stage(), "D:\\lower\\");
}

TEST_F(StageDirectoryTest, ValuesThatDoNotFitAreRefused)
{
    // 298 characters and the separator fill the 300-byte buffer; one more does not fit.
    std::string fits = "C:\\" + std::string(295, 'S');
    setenv("TMP", fits.c_str(), 1);
    EXPECT_EQ(Stage(), fits + "\\");
    std::string over = fits + "S";
    setenv("TMP", over.c_str(), 1);
    EXPECT_EQ(Stage(), "(refused)");
    // A TEMP too long for the buffer is replaced by a TMP that fits.
    std::string tooLong(400, 'T');
    setenv("TEMP", tooLong.c_str(), 1);
    setenv("TMP", "C:\\A", 1);
    EXPECT_EQ(Stage(), "C:\\A\\");
}

}  // namespace
