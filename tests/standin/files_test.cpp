// What the logic relies on from the stand-in's files, paths and LZ library, as Windows provides them.
#include "platform.h"

#include "szdd.h"
#include "szdd_io.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-standin-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern) != NULL);
        root = pattern;
        setenv("WINSTUB_DRIVE_C", root.c_str(), 1);
        unsetenv("WINSTUB_FAULT");
        unsetenv("WINSTUB_CALLS");
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string Host(const std::string &name)
    {
        return root + "/" + name;
    }
    void Put(const std::string &name, const std::string &bytes)
    {
        FILE *f = fopen(Host(name).c_str(), "wb");
        ASSERT_TRUE(f != NULL);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    std::string Get(const std::string &name)
    {
        std::string out;
        FILE *f = fopen(Host(name).c_str(), "rb");
        if (f == NULL)
            return "(absent)";
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            out.append(buffer, n);
        fclose(f);
        return out;
    }
    std::string root;
};

// A second process that holds the file with an exclusive lock until the returned pipe is closed.
pid_t HoldFromAnotherProcess(const std::string &path, int *release)
{
    int ready[2], done[2];
    if (pipe(ready) != 0 || pipe(done) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        // Only the parent's end may keep the pipe open, or the child never sees it closed.
        close(done[1]);
        close(ready[0]);
        int fd = open(path.c_str(), O_RDONLY);
        flock(fd, LOCK_EX);
        char c = 1;
        ssize_t ignored = write(ready[1], &c, 1);
        ignored = read(done[0], &c, 1);
        (void)ignored;
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char c;
    ssize_t got = read(ready[0], &c, 1);
    (void)got;
    close(ready[0]);
    *release = done[1];
    return child;
}

TEST_F(Files, ExclusiveOpenFailsWhileAnotherProcessHoldsTheFile)
{
    Put("HELD.EXE", "x");
    int release = -1;
    pid_t child = HoldFromAnotherProcess(Host("HELD.EXE"), &release);
    ASSERT_GT(child, 0);
    HANDLE h = CreateFileA("C:\\HELD.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA("C:\\HELD.EXE"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    close(release);
    waitpid(child, NULL, 0);
    h = CreateFileA("C:\\HELD.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Our own exclusive open refuses a second one, as Windows does.
    HANDLE second = CreateFileA("C:\\HELD.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, ReadOnlyFilesRefuseWritingReplacingAndDeletingEvenToRoot)
{
    Put("RO.INI", "old");
    Put("NEW.TMP", "new");
    chmod(Host("RO.INI").c_str(), 0444);
    HANDLE h =
        CreateFileA("C:\\RO.INI", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CrtOpenForWriting("C:\\RO.INI") == NULL);
    EXPECT_FALSE(DeleteFileA("C:\\RO.INI"));
    EXPECT_NE(CrtRemove("C:\\RO.INI"), 0);
    EXPECT_FALSE(MoveFileExA("C:\\NEW.TMP", "C:\\RO.INI", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetFileAttributesA("C:\\RO.INI"), (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesA("C:\\NEW.TMP"), (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA("C:\\NONE.TMP"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Get("RO.INI"), "old");
    h = CreateFileA("C:\\RO.INI", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(Files, PathsTranslateWithDriveAndNamesInAnyCase)
{
    mkdir(Host("Karyom").c_str(), 0755);
    Put("Karyom/Perna.exe", "tool");
    HANDLE h = CreateFileA("c:\\KARYOM\\PERNA.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, NULL), 4u);
    CloseHandle(h);
    unsetenv("WINSTUB_DRIVE_Q");
    EXPECT_EQ(CreateFileA("Q:\\X", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\Karyom\\NONE.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\None\\NONE.EXE", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(Files, LastWriteTimesKeep100NanosecondsAndSizeIsItsLow32Bits)
{
    Put("T.BIN", "");
    ASSERT_EQ(truncate(Host("T.BIN").c_str(), (off_t)0x100000005LL), 0);
    HANDLE h =
        CreateFileA("C:\\T.BIN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, NULL), 5u);
    FILETIME when = {0x12345677u, 0x01D07C1Fu};
    ASSERT_TRUE(SetFileTime(h, NULL, NULL, &when));
    FILETIME read = {0, 0};
    ASSERT_TRUE(GetFileTime(h, NULL, NULL, &read));
    EXPECT_EQ(read.dwLowDateTime, when.dwLowDateTime);
    EXPECT_EQ(read.dwHighDateTime, when.dwHighDateTime);
    CloseHandle(h);
    // Setting a time needs write access.
    h = CreateFileA("C:\\T.BIN", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_FALSE(SetFileTime(h, NULL, NULL, &when));
    CloseHandle(h);
}

int AppendTo(void *sink, const unsigned char *bytes, size_t length)
{
    static_cast<std::string *>(sink)->append(reinterpret_cast<const char *>(bytes), length);
    return 1;
}

TEST_F(Files, LzCopyExpandsSzddCopiesOtherFilesAsTheyAreAndStampsTheDestination)
{
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += "line " + std::to_string(i % 7) + "\r\n";
    std::string stream;
    ASSERT_EQ(SzddCompress(reinterpret_cast<const unsigned char *>(text.data()), text.size(), AppendTo, &stream),
              SZDD_OK);
    Put("A.IN_", stream);
    Put("PLAIN.TXT", "not compressed");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1429613450, 123456700}};
    utimensat(AT_FDCWD, Host("A.IN_").c_str(), times, 0);

    OFSTRUCT a, b;
    INT source = LZOpenFileA((LPSTR) "C:\\A.IN_", &a, OF_READ | OF_SHARE_DENY_NONE);
    INT target = LZOpenFileA((LPSTR) "C:\\A.INI", &b, OF_CREATE | OF_WRITE);
    ASSERT_GE(source, 0);
    ASSERT_GE(target, 0);
    EXPECT_EQ(LZCopy(source, target), (LONG)text.size());
    LZClose(source);
    LZClose(target);
    EXPECT_EQ(Get("A.INI"), text);
    struct stat st;
    ASSERT_EQ(stat(Host("A.INI").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1429613450);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);

    source = LZOpenFileA((LPSTR) "C:\\PLAIN.TXT", &a, OF_READ | OF_SHARE_DENY_NONE);
    target = LZOpenFileA((LPSTR) "C:\\COPY.TXT", &b, OF_CREATE | OF_WRITE);
    EXPECT_EQ(LZCopy(source, target), 14);
    LZClose(source);
    LZClose(target);
    EXPECT_EQ(Get("COPY.TXT"), "not compressed");

    EXPECT_EQ(LZCopy(12345, 12346), LZERROR_BADINHANDLE);
    source = LZOpenFileA((LPSTR) "C:\\PLAIN.TXT", &a, OF_READ | OF_SHARE_DENY_NONE);
    EXPECT_EQ(LZCopy(source, 12346), LZERROR_BADOUTHANDLE);
    LZClose(source);
    EXPECT_LT(LZOpenFileA((LPSTR) "C:\\NONE.IN_", &a, OF_READ | OF_SHARE_DENY_NONE), 0);
}

// The LZ library tries a name it cannot open once more as the compressed file's name, in every mode.
TEST_F(Files, LzOpenFallsBackToTheCompressedNameEvenWhenCreating)
{
    OFSTRUCT of;
    Put("ONLY.EX_", "compressed");
    INT h = LZOpenFileA((LPSTR) "C:\\ONLY.EXE", &of, OF_READ | OF_SHARE_DENY_NONE);
    ASSERT_GE(h, 0);
    LZClose(h);

    Put("RO.INI", "old");
    chmod(Host("RO.INI").c_str(), 0444);
    h = LZOpenFileA((LPSTR) "C:\\RO.INI", &of, OF_CREATE | OF_WRITE);
    ASSERT_GE(h, 0);  // created RO.IN_ instead
    LZClose(h);
    EXPECT_EQ(Get("RO.INI"), "old");
    EXPECT_EQ(Get("RO.IN_"), "");

    // A short extension gains '_', a name without one gains "._"; a name ending in '_' is itself.
    h = LZOpenFileA((LPSTR) "C:\\NOWHERE\\X.AB", &of, OF_READ);
    EXPECT_LT(h, 0);
    Put("X.AB_", "x");
    Put("NOEXT._", "y");
    h = LZOpenFileA((LPSTR) "C:\\X.AB", &of, OF_READ);
    EXPECT_GE(h, 0);
    LZClose(h);
    h = LZOpenFileA((LPSTR) "C:\\NOEXT", &of, OF_READ);
    EXPECT_GE(h, 0);
    LZClose(h);
    Put("RO.E$_", "stale");
    chmod(Host("RO.E$_").c_str(), 0444);
    EXPECT_LT(LZOpenFileA((LPSTR) "C:\\RO.E$_", &of, OF_CREATE | OF_WRITE), 0);
    EXPECT_EQ(Get("RO.E$_"), "stale");
}

TEST_F(Files, ACutStreamCopiesWhatItHasWithoutAnError)
{
    std::string text(20000, 'z');
    std::string stream;
    ASSERT_EQ(SzddCompress(reinterpret_cast<const unsigned char *>(text.data()), text.size(), AppendTo, &stream),
              SZDD_OK);
    Put("CUT.IN_", stream.substr(0, stream.size() / 2));
    OFSTRUCT a, b;
    INT source = LZOpenFileA((LPSTR) "C:\\CUT.IN_", &a, OF_READ | OF_SHARE_DENY_NONE);
    INT target = LZOpenFileA((LPSTR) "C:\\CUT.INI", &b, OF_CREATE | OF_WRITE);
    LONG copied = LZCopy(source, target);
    LZClose(source);
    LZClose(target);
    EXPECT_GE(copied, 0);
    EXPECT_LT(copied, (LONG)text.size());
}

}  // namespace
