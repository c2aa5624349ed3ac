// The stand-in's time and environment: calendar to file time, local to UTC with the bias in force now, and
// environment names in any case.
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

uint64_t Ticks(const FILETIME &t)
{
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

const uint64_t TicksPerSecond = 10000000;
// 2015-04-21 19:50:50 as if it were UTC: 1429645850 seconds after 1970, 11644473600 from 1601 to 1970.
const uint64_t PayloadWallClock = (1429645850ull + 11644473600ull) * TicksPerSecond;

class Time : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("WINSTUB_FAULT");
        const char *tz = getenv("TZ");
        saved = tz != NULL ? tz : "";
        hadTz = tz != NULL;
    }
    void TearDown() override
    {
        if (hadTz)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved;
    bool hadTz = false;
};

TEST_F(Time, CalendarDatesBecomeTicksAndImpossibleDatesAreRefused)
{
    SYSTEMTIME payload = {2015, 4, 0, 21, 19, 50, 50, 0};
    FILETIME t;
    ASSERT_TRUE(SystemTimeToFileTime(&payload, &t));
    EXPECT_EQ(Ticks(t), PayloadWallClock);
    SYSTEMTIME withMilliseconds = {2015, 4, 3, 21, 19, 50, 50, 7};
    ASSERT_TRUE(SystemTimeToFileTime(&withMilliseconds, &t));
    EXPECT_EQ(Ticks(t), PayloadWallClock + 7 * 10000);
    SYSTEMTIME leap = {2016, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &t));
    SYSTEMTIME notLeap = {2015, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&notLeap, &t));
    SYSTEMTIME badMonth = {2015, 13, 0, 1, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&badMonth, &t));
    SYSTEMTIME first = {1601, 1, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&first, &t));
    EXPECT_EQ(Ticks(t), 0u);
}

TEST_F(Time, LocalToUtcUsesTheZoneAndWorksInPlace)
{
    setenv("TZ", "Asia/Tokyo", 1);
    FILETIME t = {(DWORD)(PayloadWallClock & 0xFFFFFFFFu), (DWORD)(PayloadWallClock >> 32)};
    ASSERT_TRUE(LocalFileTimeToFileTime(&t, &t));
    EXPECT_EQ(Ticks(t), PayloadWallClock - 9 * 3600 * TicksPerSecond);
}

TEST_F(Time, LocalToUtcUsesTheBiasInForceNowNotAtTheDate)
{
    // New York in April 2015 was on daylight time; the conversion must use today's offset whatever it is.
    setenv("TZ", "America/New_York", 1);
    tzset();
    time_t now = time(NULL);
    struct tm parts;
    localtime_r(&now, &parts);
    FILETIME local = {(DWORD)(PayloadWallClock & 0xFFFFFFFFu), (DWORD)(PayloadWallClock >> 32)};
    FILETIME utc;
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ((int64_t)(Ticks(utc) - PayloadWallClock), -(int64_t)parts.tm_gmtoff * (int64_t)TicksPerSecond);
}

TEST(Environment, NamesMatchWithoutCase)
{
    unsetenv("TMP");
    setenv("tMp", "C:\\mixed", 1);
    ASSERT_TRUE(CrtGetEnv("TMP") != NULL);
    EXPECT_STREQ(CrtGetEnv("TMP"), "C:\\mixed");
    unsetenv("tMp");
    EXPECT_TRUE(CrtGetEnv("TMP") == NULL);
    setenv("TMP", "", 1);
    ASSERT_TRUE(CrtGetEnv("tmp") != NULL);
    EXPECT_STREQ(CrtGetEnv("tmp"), "");
    unsetenv("TMP");
}

}  // namespace
