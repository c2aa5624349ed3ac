// Peer tools as independent oracles: msexpand and libmspack read our streams, we read mscompress's,
// and ours are never larger.
#include <cstdlib>
#include <unistd.h>

#include <gtest/gtest.h>

#ifdef HAVE_MSPACK
#include <mspack.h>
#endif

#include "test_support.h"

namespace {

// Generated samples plus PE files up to pe_limit bytes.
std::vector<Sample> PeerCorpus(size_t peLimit)
{
    std::vector<Sample> corpus = GeneratedCorpus();
    for (const std::string &path : PeFiles(peLimit)) {
        Sample s;
        s.name = path;
        if (ReadFileBytes(path, &s.data))
            corpus.push_back(s);
    }
    return corpus;
}

bool Have(const char *program)
{
    return program[0] != '\0';
}

}  // namespace

TEST(Peers, MsexpandExpandsOurStreams)
{
    if (!Have(MSEXPAND_PATH))
        GTEST_SKIP() << "msexpand not installed";
    TempDir dir;
    // msexpand takes about a second per 500 KB: PE files stay small here.
    for (const Sample &s : PeerCorpus(300 * 1024)) {
        ASSERT_TRUE(WriteFileBytes(dir.File("in.szdd"), Compress(s.data)));
        std::string command = std::string(MSEXPAND_PATH) + " < " + dir.File("in.szdd") + " > " + dir.File("out");
        ASSERT_EQ(system(command.c_str()), 0) << s.name;
        Bytes back;
        ASSERT_TRUE(ReadFileBytes(dir.File("out"), &back));
        EXPECT_TRUE(back == s.data) << s.name;
    }
}

#ifdef HAVE_MSPACK
TEST(Peers, LibmspackExpandsOurStreams)
{
    msszdd_decompressor *peer = mspack_create_szdd_decompressor(NULL);
    ASSERT_TRUE(peer != NULL);
    TempDir dir;
    for (const Sample &s : PeerCorpus(2 << 20)) {
        Bytes stream = Compress(s.data);
        ASSERT_TRUE(WriteFileBytes(dir.File("in.szdd"), stream));
        msszddd_header *header = peer->open(peer, dir.File("in.szdd").c_str());
        ASSERT_TRUE(header != NULL) << s.name;
        EXPECT_EQ(header->format, MSSZDD_FMT_NORMAL) << s.name;
        EXPECT_EQ(static_cast<size_t>(header->length), s.data.size()) << s.name;
        EXPECT_EQ(header->missing_char, 0) << s.name;
        EXPECT_EQ(peer->extract(peer, header, dir.File("out").c_str()), MSPACK_ERR_OK) << s.name;
        peer->close(peer, header);
        Bytes back;
        ASSERT_TRUE(ReadFileBytes(dir.File("out"), &back));
        EXPECT_TRUE(back == s.data) << s.name;
    }
    mspack_destroy_szdd_decompressor(peer);
}
#endif

TEST(Peers, WeExpandMscompressStreamsAndAreNeverLarger)
{
    if (!Have(MSCOMPRESS_PATH))
        GTEST_SKIP() << "mscompress not installed";
    TempDir dir;
    for (const Sample &s : PeerCorpus(2 << 20)) {
        // mscompress 0.4 writes undecodable streams for inputs under 16 bytes (msexpand fails on them
        // too): only longer inputs make it an oracle.
        if (s.data.size() < 16)
            continue;
        ASSERT_TRUE(WriteFileBytes(dir.File("in.bin"), s.data));
        unlink(dir.File("in.bin_").c_str());
        std::string command = "cd " + dir.path + " && " + MSCOMPRESS_PATH + " in.bin";
        ASSERT_EQ(system(command.c_str()), 0) << s.name;
        Bytes theirs;
        ASSERT_TRUE(ReadFileBytes(dir.File("in.bin_"), &theirs)) << s.name;
        // The peer writes mode 'A' and no missing character, as we do.
        SzddHeader header;
        ASSERT_EQ(SzddParseHeader(theirs.data(), theirs.size(), &header), SZDD_OK) << s.name;
        EXPECT_EQ(header.missingChar, 0) << s.name;
        Bytes back;
        uint64_t written = 0;
        EXPECT_EQ(Expand(theirs, &back, &written), SZDD_OK) << s.name;
        EXPECT_TRUE(back == s.data) << s.name;
        EXPECT_LE(Compress(s.data).size(), theirs.size()) << s.name;
    }
}
