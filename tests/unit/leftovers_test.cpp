// What an interrupted run left in the installation folder is cleared only when it is the run's own, and an
// open never waits for another process's oplock (on the stand-in).
#include "run_update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Leftovers : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-unit-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern) != NULL);
        root = pattern;
        setenv("WINSTUB_DRIVE_C", root.c_str(), 1);
        setenv("TMP", "C:\\TEMP", 1);
        mkdir((root + "/Karyom").c_str(), 0755);
        mkdir((root + "/TEMP").c_str(), 0755);
        ASSERT_TRUE(OpenCheckedFolder("C:\\Karyom", &installFolder));
        ASSERT_TRUE(OpenStageFolder("C:\\TEMP", &stageFolder));
    }
    void TearDown() override
    {
        CloseHandle(installFolder);
        CloseHandle(stageFolder);
        unsetenv("WINSTUB_OPLOCKED");
        ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
    }
    // Puts bytes at the tool's temporary name and lets the clean-up judge them; whether they were deleted.
    bool Removed(const std::string &bytes)
    {
        FILE *f = fopen((root + "/Karyom/PERNA.E$_").c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        int removed = RemoveOwnExpansion(installFolder, "PERNA.E$_", stageFolder, &PayloadTable[ToolRow]);
        // The stream staged for the comparison is gone again either way.
        EXPECT_NE(access((root + "/TEMP/PERNA.EX_").c_str(), F_OK), 0);
        unlink((root + "/Karyom/PERNA.E$_").c_str());
        return removed;
    }
    std::string root;
    HANDLE installFolder = INVALID_HANDLE_VALUE, stageFolder = INVALID_HANDLE_VALUE;
};

std::string ReadAll(const char *path)
{
    std::string bytes;
    FILE *f = fopen(path, "rb");
    char buffer[65536];
    for (size_t n; f != NULL && (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        bytes.append(buffer, n);
    if (f != NULL)
        fclose(f);
    return bytes;
}

TEST_F(Leftovers, OnlyTheExpansionOrAStartOfItIsTheRunsOwn)
{
    const std::string expansion = ReadAll(PERNA_PAYLOAD_FILE);
    ASSERT_GT(expansion.size(), 3u * 4096);
    EXPECT_TRUE(Removed(expansion));
    EXPECT_TRUE(Removed(expansion.substr(0, 10000)));
    EXPECT_TRUE(Removed(""));
    std::string changed = expansion.substr(0, 10000);
    changed[9000] ^= 1;
    EXPECT_FALSE(Removed(changed));
    EXPECT_FALSE(Removed(expansion + "x"));
    EXPECT_FALSE(Removed("another program's file"));
}

TEST_F(Leftovers, AnOplockedFileCountsAsHeldAndNoHandleStays)
{
    const std::string tool = root + "/Karyom/PERNA.EXE";
    fclose(fopen(tool.c_str(), "wb"));
    setenv("WINSTUB_OPLOCKED", tool.c_str(), 1);
    // Another process holds it, sharing everything, with an oplock it never gives up.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        flock(open(tool.c_str(), O_RDONLY), LOCK_SH);
        ssize_t ignored = write(ready[1], "x", 1);
        (void)ignored;
        pause();
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    // An open that shares with it would complete with the break in progress: it is given up, as a hold.
    HANDLE file;
    EXPECT_EQ(
        OpenInFolder(installFolder, "PERNA.EXE", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &file),
        STATUS_SHARING_VIOLATION);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenInFolder(installFolder, "PERNA.EXE", GENERIC_READ, 0, FILE_OPEN, 0, &file), STATUS_SHARING_VIOLATION);
    kill(holder, SIGKILL);
    waitpid(holder, NULL, 0);
    // Nothing of ours is left open on it either: an open that shares nothing goes through.
    EXPECT_EQ(OpenInFolder(installFolder, "PERNA.EXE", GENERIC_READ, 0, FILE_OPEN, 0, &file), 0);
    CloseHandle(file);
}

}  // namespace
