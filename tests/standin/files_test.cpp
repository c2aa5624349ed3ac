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

// The LZ library's handle on a file opened for reading; negative when either fails.
INT OpenLz(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    return file == INVALID_HANDLE_VALUE ? -1 : LZInit((INT)(INT_PTR)file);
}

// Has the file deleted on close through ntdll's call; 1 when the system took it.
int MarkForDeletion(HANDLE file)
{
    FILE_DISPOSITION_INFORMATION disposition = {TRUE};
    IO_STATUS_BLOCK status;
    return NtSetInformationFile(file, &status, &disposition, sizeof disposition, FileDispositionInformation) == 0;
}

// The system's name for the handle, its wide characters narrowed (the tests' names are ASCII); "" when none.
std::string FinalPath(HANDLE h)
{
    WCHAR wide[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(h, wide, MAX_PATH, 0);
    return length == 0 || length >= MAX_PATH ? "" : std::string(wide, wide + length);
}

// Renames the file of the handle to name (ASCII) in folder through ntdll's call; its status.
LONG RenameInto(HANDLE file, const char *folder, const char *name)
{
    HANDLE directory = CreateFileA(folder, GENERIC_READ, 7, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    union {
        FILE_RENAME_INFORMATION info;
        unsigned char bytes[sizeof(FILE_RENAME_INFORMATION) + 2 * MAX_PATH];
    } rename = {};
    rename.info.ReplaceIfExists = TRUE;
    rename.info.RootDirectory = directory;
    size_t length = strlen(name);
    for (size_t i = 0; i < length; ++i) {
        WCHAR c = (WCHAR)name[i];
        memcpy(rename.bytes + offsetof(FILE_RENAME_INFORMATION, FileName) + 2 * i, &c, 2);
    }
    rename.info.FileNameLength = (ULONG)(2 * length);
    IO_STATUS_BLOCK status;
    LONG result = NtSetInformationFile(file, &status, &rename, sizeof rename, FileRenameInformation);
    CloseHandle(directory);
    return result;
}

// A second process that holds the file (exclusive: sharing nothing; else sharing everything) until the
// returned pipe is closed.
pid_t HoldFromAnotherProcess(const std::string &path, int *release, int exclusive = 1)
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
        flock(fd, exclusive ? LOCK_EX : LOCK_SH);
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
    EXPECT_EQ(CreateFileA("C:\\HELD.EXE", DELETE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
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
    HANDLE doomed = CreateFileA("C:\\RO.INI", DELETE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(doomed, INVALID_HANDLE_VALUE);
    EXPECT_EQ(MarkForDeletion(doomed), 0);
    CloseHandle(doomed);
    HANDLE moved = CreateFileA("C:\\NEW.TMP", DELETE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(RenameInto(moved, "C:\\", "RO.INI"), STATUS_ACCESS_DENIED);
    CloseHandle(moved);
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

// Windows refuses to rename over a file that any process has open, whatever its sharing.
TEST_F(Files, RenameRefusesATargetThatAnotherProcessHoldsEvenWhenItSharesEverything)
{
    Put("DAY.INI", "old");
    Put("DAY.I$_", "new");
    int release = -1;
    pid_t child = HoldFromAnotherProcess(Host("DAY.INI"), &release, 0);
    ASSERT_GT(child, 0);
    HANDLE h = CreateFileA("C:\\DAY.I$_", GENERIC_READ | DELETE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RenameInto(h, "C:\\", "DAY.INI"), STATUS_ACCESS_DENIED);
    close(release);
    waitpid(child, NULL, 0);
    EXPECT_EQ(RenameInto(h, "C:\\", "DAY.INI"), 0);
    CloseHandle(h);
    EXPECT_EQ(Get("DAY.INI"), "new");
    EXPECT_EQ(Get("DAY.I$_"), "(absent)");
}

// A file to be deleted on close is deleted only while its name still leads to it; a link at a name is
// named by the system where it leads, so that nobody mistakes it for the file it stands in for.
TEST_F(Files, DeletionOnCloseAndFinalPathsFollowTheFileNotTheName)
{
    HANDLE h = CreateFileA("C:\\S.EX_", GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FinalPath(h), "\\\\?\\C:\\S.EX_");
    Put("VICTIM.TXT", "keep");
    ASSERT_EQ(rename(Host("S.EX_").c_str(), Host("AWAY").c_str()), 0);
    ASSERT_EQ(symlink(Host("VICTIM.TXT").c_str(), Host("S.EX_").c_str()), 0);
    CloseHandle(h);
    EXPECT_EQ(Get("VICTIM.TXT"), "keep");
    EXPECT_EQ(Get("S.EX_"), "keep");

    EXPECT_EQ(CreateFileA("C:\\S.EX_", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    h = CreateFileA("C:\\S.EX_", FILE_READ_ATTRIBUTES, 7, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(FinalPath(h), "");
    EXPECT_NE(FinalPath(h), "\\\\?\\C:\\S.EX_");
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

    INT source = OpenLz("C:\\A.IN_");
    HANDLE target = CreateFileA("C:\\A.INI", GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_GE(source, 0);
    ASSERT_NE(target, INVALID_HANDLE_VALUE);
    EXPECT_EQ(LZCopy(source, (INT)(INT_PTR)target), (LONG)text.size());
    LZClose(source);
    CloseHandle(target);
    EXPECT_EQ(Get("A.INI"), text);
    struct stat st;
    ASSERT_EQ(stat(Host("A.INI").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1429613450);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);

    source = OpenLz("C:\\PLAIN.TXT");
    target = CreateFileA("C:\\COPY.TXT", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    EXPECT_EQ(LZCopy(source, (INT)(INT_PTR)target), 14);
    LZClose(source);
    CloseHandle(target);
    EXPECT_EQ(Get("COPY.TXT"), "not compressed");

    // LZRead hands out the same bytes in order, as far as asked, then nothing.
    source = OpenLz("C:\\A.IN_");
    std::string read(text.size() + 10, '\0');
    EXPECT_EQ(LZRead(source, &read[0], 7), 7);
    EXPECT_EQ(LZRead(source, &read[7], (INT)text.size()), (INT)text.size() - 7);
    EXPECT_EQ(LZRead(source, &read[0], 1), 0);
    LZClose(source);
    EXPECT_EQ(read.substr(0, text.size()), text);

    EXPECT_EQ(LZCopy(12345, 12346), LZERROR_BADINHANDLE);
    source = OpenLz("C:\\PLAIN.TXT");
    EXPECT_EQ(LZCopy(source, 12346), LZERROR_BADOUTHANDLE);
    LZClose(source);
    EXPECT_LT(LZInit(12345), 0);
}

TEST_F(Files, ACutStreamCopiesWhatItHasWithoutAnError)
{
    std::string text(20000, 'z');
    std::string stream;
    ASSERT_EQ(SzddCompress(reinterpret_cast<const unsigned char *>(text.data()), text.size(), AppendTo, &stream),
              SZDD_OK);
    Put("CUT.IN_", stream.substr(0, stream.size() / 2));
    INT source = OpenLz("C:\\CUT.IN_");
    HANDLE target = CreateFileA("C:\\CUT.INI", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    LONG copied = LZCopy(source, (INT)(INT_PTR)target);
    LZClose(source);
    CloseHandle(target);
    EXPECT_GE(copied, 0);
    EXPECT_LT(copied, (LONG)text.size());
}

}  // namespace
