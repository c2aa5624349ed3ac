// The stand-in's registry: a REGEDIT4 file read as Windows imports it, and values read as RegQueryValueExA
// returns them.
#include "platform.h"

#include "registry_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const char ProductKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe";

class Registry : public RegistryFileTest {
protected:
    // The bytes of the product key's "Path" value as stored, or "(missing)".
    std::string PathValue()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "(missing)";
        char data[512];
        DWORD size = sizeof data;
        LONG status = RegQueryValueExA(key, "Path", NULL, NULL, (LPBYTE)data, &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::string(data, size) : "(missing)";
    }
};

TEST_F(Registry, StringValuesUnescapeAndKeysAndNamesMatchInAnyCase)
{
    Write(std::string("REGEDIT4\r\n\r\n") + ProductKeyLine + "\"Path\"=\"C:\\\\Program Files\\\\Karyom\"\r\n");
    EXPECT_EQ(PathValue(), std::string("C:\\Program Files\\Karyom", 24));
    Write("REGEDIT4\r\n\r\n[hkey_local_machine\\software\\microsoft\\windows\\currentversion\\app paths\\"
          "KARYOMWIN.EXE]\r\n\"PATH\"=\"D:\\\\K\"\r\n");
    EXPECT_EQ(PathValue(), std::string("D:\\K", 5));
}

TEST_F(Registry, HexListsContinueOverLinesAndShiftJisTrailBytesAreNoEscapes)
{
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=hex:43,3a,\\\r\n  5c,4b,00\r\n");
    EXPECT_EQ(PathValue(), std::string("C:\\K", 5));
    // 表 is 0x95 0x5C in Shift-JIS: its second byte is no backslash escape.
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=\"C:\\\\\x95\x5C\"\r\n");
    EXPECT_EQ(PathValue(), std::string("C:\\\x95\x5C", 6));
}

TEST_F(Registry, TooSmallABufferGetsMoreDataAndTheSizeItNeeds)
{
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=\"C:\\\\Karyom\"\r\n");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char small[4];
    DWORD size = sizeof small;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Path", NULL, &type, (LPBYTE)small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", NULL, &type, (LPBYTE)small, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
