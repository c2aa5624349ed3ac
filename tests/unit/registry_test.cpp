// Reading the installation directory from the registry: what counts as missing, buffer limits, values without
// their NUL.
#include "run_update.h"

#include "guarded_buffer.h"
#include "registry_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class RegistryTest : public RegistryFileTest {
protected:
    // The directory read, or "(none)"; never a byte written past the buffer.
    std::string Read()
    {
        GuardedBuffer<InstallPathCapacity> guarded;
        char *buffer = Arm(&guarded);
        int read = ReadInstallationDirectory(buffer, InstallPathCapacity);
        if (!GuardIntact(guarded))
            return "(written past the buffer!)";
        if (!read)
            return buffer[0] == '\0' ? "(none)" : "(refused, not empty!)";
        return buffer;
    }
    static std::string Hex(const std::string &bytes)
    {
        std::string out;
        char two[4];
        for (unsigned char c : bytes) {
            snprintf(two, sizeof two, "%s%02x", out.empty() ? "" : ",", c);
            out += two;
        }
        return out;
    }
};

TEST_F(RegistryTest, MissingFileKeyValueOrEmptyValueReadsNothing)
{
    unsetenv("WINSTUB_REGISTRY");
    EXPECT_EQ(Read(), "(none)");
    setenv("WINSTUB_REGISTRY", "/nonexistent/registry.reg", 1);
    EXPECT_EQ(Read(), "(none)");
    setenv("WINSTUB_REGISTRY", path.c_str(), 1);
    Write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"Path\"=\"C:\\\\K\"\r\n");
    EXPECT_EQ(Read(), "(none)");
    Write(std::string("REGEDIT4\r\n\r\n") + ProductKeyLine + "\"Other\"=\"C:\\\\K\"\r\n");
    EXPECT_EQ(Read(), "(none)");
    Write(std::string("REGEDIT4\r\n\r\n") + ProductKeyLine + "\"Path\"=\"\"\r\n");
    EXPECT_EQ(Read(), "(none)");
}

TEST_F(RegistryTest, BufferLimitsAt259CharactersWithTheNul)
{
    std::string fits = "C:\\" + std::string(256, 'A');
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=\"C:\\\\" + std::string(256, 'A') + "\"\r\n");
    EXPECT_EQ(Read(), fits);
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=\"C:\\\\" + std::string(257, 'A') + "\"\r\n");
    EXPECT_EQ(Read(), "(none)");
}

TEST_F(RegistryTest, ValuesWithoutNulAreEndedOrRefusedWhenTheyFillTheBuffer)
{
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=hex:" + Hex("C:\\Karyom") + "\r\n");
    EXPECT_EQ(Read(), "C:\\Karyom");
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=hex(1):" + Hex("C:\\K") + "\r\n");
    EXPECT_EQ(Read(), "C:\\K");
    std::string longest(259, 'B');
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=hex:" + Hex(longest) + "\r\n");
    EXPECT_EQ(Read(), longest);
    Write(std::string("REGEDIT4\r\n") + ProductKeyLine + "\"Path\"=hex:" + Hex(std::string(260, 'B')) + "\r\n");
    EXPECT_EQ(Read(), "(none)");
}

}  // namespace
