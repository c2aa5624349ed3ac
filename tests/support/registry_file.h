// A test's HKEY_LOCAL_MACHINE: a REGEDIT4 file of its own, which the stand-in reads (WINSTUB_REGISTRY).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// The line that opens the product's key in a REGEDIT4 file.
const char ProductKeyLine[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe]\r\n";

class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/updater-registry-XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path = pattern;
        setenv("WINSTUB_REGISTRY", path.c_str(), 1);
        unsetenv("WINSTUB_FAULT");
        unsetenv("WINSTUB_CALLS");
    }
    void TearDown() override
    {
        unsetenv("WINSTUB_REGISTRY");
        remove(path.c_str());
    }
    // Makes the registry hold exactly this text.
    void Write(const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f != NULL);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string path;
};
