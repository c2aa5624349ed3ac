// The szdd tool as the release engineer runs it: results, messages, exit codes, no half-written output.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "szdd_container.h"
#include "test_support.h"

namespace {

struct ToolRun {
    int status;
    std::string out, err;
};

// Runs the tool with the given operands (shell words) from inside dir.
ToolRun Tool(const TempDir &dir, const std::string &operands)
{
    std::string command = "cd " + dir.path + " && " + SZDD_TOOL_PATH + " " + operands + " > .stdout 2> .stderr";
    int raw = system(command.c_str());
    ToolRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    Bytes b;
    if (ReadFileBytes(dir.File(".stdout"), &b))
        r.out.assign(b.begin(), b.end());
    if (ReadFileBytes(dir.File(".stderr"), &b))
        r.err.assign(b.begin(), b.end());
    unlink(dir.File(".stdout").c_str());
    unlink(dir.File(".stderr").c_str());
    return r;
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

TEST(Tool, CompressExpandPackUnpackRoundTrip)
{
    TempDir dir;
    Bytes data = ShiftJisText(50000);
    ASSERT_TRUE(WriteFileBytes(dir.File("KALENDO.INI"), data));
    EXPECT_EQ(Tool(dir, "compress KALENDO.INI k.szdd").status, 0);
    EXPECT_EQ(Tool(dir, "expand k.szdd k.out").status, 0);
    EXPECT_EQ(Tool(dir, "pack KALENDO.INI k.bin").status, 0);
    EXPECT_EQ(Tool(dir, "unpack k.bin k2.out").status, 0);
    Bytes stream, container, back, back2;
    ASSERT_TRUE(ReadFileBytes(dir.File("k.szdd"), &stream));
    ASSERT_TRUE(ReadFileBytes(dir.File("k.bin"), &container));
    ASSERT_TRUE(ReadFileBytes(dir.File("k.out"), &back));
    ASSERT_TRUE(ReadFileBytes(dir.File("k2.out"), &back2));
    EXPECT_TRUE(stream == Compress(data));
    EXPECT_EQ(memcmp(container.data(), SzddContainerPrefix, SzddContainerPrefixSize), 0);
    EXPECT_TRUE(back == data);
    EXPECT_TRUE(back2 == data);
    // Only the outputs: no temporaries left beside them.
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"KALENDO.INI", "k.bin", "k.out", "k.szdd", "k2.out"}));
}

TEST(Tool, InfoReadsStreamsAndContainers)
{
    TempDir dir;
    Bytes data = ShiftJisText(12345);
    ASSERT_TRUE(WriteFileBytes(dir.File("in"), data));
    ASSERT_EQ(Tool(dir, "compress in s").status, 0);
    ASSERT_EQ(Tool(dir, "pack in c").status, 0);
    for (const char *name : {"s", "c"}) {
        ToolRun r = Tool(dir, std::string("info ") + name);
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_NE(r.out.find("mode:            'A' (0x41)"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("missing char:    none"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("declared length: 12345"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("exactly the declared length"), std::string::npos) << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
    EXPECT_NE(Tool(dir, "info c").out.find("128-byte"), std::string::npos);
}

TEST(Tool, InfoFlagsALengthMismatch)
{
    TempDir dir;
    Bytes stream = Compress(ShiftJisText(1000));
    stream[10] ^= 1;
    ASSERT_TRUE(WriteFileBytes(dir.File("odd"), stream));
    ToolRun r = Tool(dir, "info odd");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("expands to:      1000 bytes"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("szdd: odd: expands to 1000 bytes, but the header declares 1001", 0), 0u) << r.err;
}

TEST(Tool, BadInputFailsWithOneLineNamingTheFileAndLeavesNoOutput)
{
    TempDir dir;
    Bytes stream = Compress(ShiftJisText(5000));
    ASSERT_TRUE(WriteFileBytes(dir.File("cut"), Bytes(stream.begin(), stream.begin() + 10)));
    ASSERT_TRUE(WriteFileBytes(dir.File("text"), Bytes(300, 'x')));
    Bytes modeB = stream;
    modeB[8] = 'B';
    ASSERT_TRUE(WriteFileBytes(dir.File("modeb"), modeB));
    Bytes declaresMore = stream;
    declaresMore[10] ^= 1;  // 5000 = 0x1388: declares 5001
    ASSERT_TRUE(WriteFileBytes(dir.File("long"), declaresMore));
    struct Case {
        const char *operands;
        const char *message;
    } cases[] = {
        {"expand cut out", "szdd: cut: stream truncated\n"},
        {"expand text out", "szdd: text: not an SZDD stream\n"},
        {"expand modeb out", "szdd: modeb: unsupported compression mode\n"},
        {"expand long out", "szdd: long: expands to 5000 bytes, but the header declares 5001\n"},
        {"unpack text out", "szdd: text: not an SZDD stream\n"},
        {"info cut", "szdd: cut: stream truncated\n"},
        {"expand missing out", "szdd: missing: No such file or directory\n"},
        {"compress missing out", "szdd: missing: No such file or directory\n"},
        {"compress text nodir/out", "szdd: nodir/out: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        ToolRun r = Tool(dir, c.operands);
        EXPECT_EQ(r.status, 1) << c.operands;
        EXPECT_EQ(r.err, c.message) << c.operands;
        EXPECT_FALSE(Exists(dir.File("out"))) << c.operands;
    }
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"cut", "long", "modeb", "text"}));
}

TEST(Tool, FailedExpansionKeepsAnExistingOutputUntouched)
{
    TempDir dir;
    Bytes stream = Compress(ShiftJisText(100000));
    // Cut inside the data: the expander writes what it decoded, but only to the temporary.
    ASSERT_TRUE(WriteFileBytes(dir.File("cut"), Bytes(stream.begin(), stream.begin() + stream.size() / 2)));
    ASSERT_TRUE(WriteFileBytes(dir.File("out"), Bytes{'o', 'l', 'd'}));
    ToolRun r = Tool(dir, "expand cut out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("szdd: cut: "), std::string::npos) << r.err;
    Bytes kept;
    ASSERT_TRUE(ReadFileBytes(dir.File("out"), &kept));
    EXPECT_TRUE(kept == (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"cut", "out"}));
}

TEST(Tool, WrongUsageExitsTwoAndHelpListsEveryCommand)
{
    TempDir dir;
    EXPECT_EQ(Tool(dir, "").status, 2);
    EXPECT_EQ(Tool(dir, "frobnicate a b").status, 2);
    EXPECT_EQ(Tool(dir, "compress onlyone").status, 2);
    EXPECT_EQ(Tool(dir, "info a b").status, 2);
    ToolRun usage = Tool(dir, "expand");
    EXPECT_EQ(usage.err, "usage: szdd expand IN OUT\n");
    ToolRun help = Tool(dir, "--help");
    EXPECT_EQ(help.status, 0);
    for (const char *command : {"compress", "expand", "info", "pack", "unpack"})
        EXPECT_NE(help.out.find(std::string("szdd ") + command + " "), std::string::npos) << command;
}
