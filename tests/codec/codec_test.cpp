// Round trips over the corpus, hand-built streams for the window rules, and the compressor's optimality.
#include <algorithm>

#include <gtest/gtest.h>

#include "szdd_io.h"
#include "test_support.h"

namespace {

// The smallest stream size the format allows for data, by exhaustive search: every distance 1..4096
// over the space-filled window, every length 3..18, shortest path over 9-bit literals and 17-bit
// matches. Quadratic in the window; for small inputs only.
size_t OptimalStreamSize(const Bytes &data)
{
    Bytes text(SzddWindowSize + data.size(), ' ');
    std::copy(data.begin(), data.end(), text.begin() + SzddWindowSize);
    size_t n = data.size();
    std::vector<unsigned> longest(n, 0);
    for (size_t i = 0; i < n; ++i) {
        size_t v = SzddWindowSize + i;
        size_t cap = std::min<size_t>(18, n - i);
        for (size_t d = 1; d <= SzddWindowSize; ++d) {
            size_t len = 0;
            while (len < cap && text[v - d + len] == text[v + len])
                ++len;
            longest[i] = std::max<unsigned>(longest[i], static_cast<unsigned>(len));
        }
    }
    std::vector<uint64_t> bits(n + 1, 0);
    for (size_t i = n; i-- > 0;) {
        bits[i] = 9 + bits[i + 1];
        for (unsigned len = 3; len <= longest[i]; ++len)
            bits[i] = std::min(bits[i], 17 + bits[i + len]);
    }
    return SzddHeaderSize + (bits[0] + 7) / 8;
}

void ExpectRoundTrip(const std::string &name, const Bytes &data)
{
    Bytes stream = Compress(data);
    SzddHeader header;
    ASSERT_EQ(SzddParseHeader(stream.data(), stream.size(), &header), SZDD_OK) << name;
    EXPECT_EQ(header.mode, SzddModeA) << name;
    EXPECT_EQ(header.missingChar, 0) << name;
    EXPECT_EQ(header.expandedLength, data.size()) << name;
    Bytes back;
    uint64_t written = 0;
    ASSERT_EQ(Expand(stream, &back, &written), SZDD_OK) << name;
    EXPECT_EQ(written, data.size()) << name;
    EXPECT_TRUE(back == data) << name;
}

}  // namespace

TEST(RoundTrip, GeneratedCorpus)
{
    for (const Sample &s : GeneratedCorpus())
        ExpectRoundTrip(s.name, s.data);
}

TEST(RoundTrip, PeFiles)
{
    std::vector<std::string> files = PeFiles(2 << 20);
    if (files.empty())
        GTEST_SKIP() << "no mingw DLLs on this machine";
    for (const std::string &path : files) {
        Bytes data;
        ASSERT_TRUE(ReadFileBytes(path, &data)) << path;
        ExpectRoundTrip(path, data);
    }
}

TEST(RoundTrip, ExpansionIsIndependentOfReadSizes)
{
    Bytes data = ShiftJisText(30000);
    Bytes stream = Compress(data);
    for (size_t chunk : {1, 2, 3, 16, 17, 18, 4095, 65537}) {
        Bytes back;
        uint64_t written = 0;
        ASSERT_EQ(Expand(stream, &back, &written, chunk), SZDD_OK) << chunk;
        EXPECT_TRUE(back == data) << chunk;
    }
}

TEST(RoundTrip, LargeOutputCrossesTheExpanderBuffers)
{
    // Several times the expander's output buffer, with matches straddling every refill.
    Bytes data = ShiftJisText(300000);
    Bytes noise = RandomBytes(data.size(), 5);
    for (size_t i = 0; i < data.size(); i += 61)
        data[i] = noise[i];
    ExpectRoundTrip("large", data);
}

TEST(Compressor, IsDeterministic)
{
    Bytes data = ShiftJisText(50000);
    EXPECT_TRUE(Compress(data) == Compress(data));
}

TEST(Compressor, MatchesTheExhaustiveOptimum)
{
    std::vector<Sample> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"spaces_40", Bytes(40, ' ')});
    cases.push_back({"shift_jis_3000", ShiftJisText(3000)});
    cases.push_back({"random_2000", RandomBytes(2000, 7)});
    // Few symbols: many candidates of equal length, where a greedy or first-found choice loses.
    Bytes few = RandomBytes(5000, 11);
    for (unsigned char &b : few)
        b = "ab "[b % 3];
    cases.push_back({"three_symbols_5000", few});
    Bytes text = ShiftJisText(6000);
    Bytes noise = RandomBytes(6000, 13);
    for (size_t i = 0; i < text.size(); i += 5)
        text[i] = noise[i];
    cases.push_back({"noisy_text_6000", text});
    for (const Sample &s : cases)
        EXPECT_EQ(Compress(s.data).size(), OptimalStreamSize(s.data)) << s.name;
}

TEST(Compressor, RefusesInputsOverFourGibibytes)
{
    // The length is refused before anything is read or written.
    const unsigned char byte = 0;
    SzddBuffer out = {NULL, 0, 0};
    EXPECT_EQ(SzddCompress(&byte, size_t{1} << 32, SzddWriteBuffer, &out), SZDD_ERR_LENGTH);
    EXPECT_EQ(out.length, 0u);
    SzddFreeBuffer(&out);
}

TEST(Compressor, ReportsSinkFailures)
{
    Bytes data = ShiftJisText(200000);
    EXPECT_EQ(SzddCompress(
                  data.data(), data.size(), [](void *, const unsigned char *, size_t) { return 0; }, NULL),
              SZDD_ERR_WRITE);
}

TEST(Expander, DecodesAPeerStreamByteForByte)
{
    // A stream as the peer compressor wrote it: six literals, then one 12-byte match that overlaps itself.
    const Bytes stream = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33, 0x41, 0x00, 0x19, 0x00, 0x00, 0x00, 0xBF, 'h',
                          'e',  'l',  'l',  'o',  ' ',  0xF0, 0xF9, 'w',  '?',  'o',  'r',  'l',  'd',  '\r', '\n'};
    Bytes out;
    uint64_t written = 0;
    ASSERT_EQ(Expand(stream, &out, &written), SZDD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), "hello hello hello world\r\n");
}

TEST(Expander, MatchesReadTheSpaceFilledWindow)
{
    // Position 0 and 4079 hold spaces before anything is written.
    Bytes out;
    uint64_t written = 0;
    ASSERT_EQ(Expand(Stream(21, {0x00, 0x00, 0x00, 0xEF, 0xFF}), &out, &written), SZDD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(21, ' '));
}

TEST(Expander, OverlappingMatchRepeatsTheLastByte)
{
    // Literal 'x' lands at 4080; a match from 4080 of 18 bytes copies it forward one byte at a time.
    Bytes out;
    uint64_t written = 0;
    ASSERT_EQ(Expand(Stream(19, {0x01, 'x', 0xF0, 0xFF}), &out, &written), SZDD_OK);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(19, 'x'));
}

TEST(Expander, MatchAtTheWritePositionCopiesFromAFullWindowBack)
{
    // 4096 literals fill the window; a match at the current write position (4080 again) reads the
    // bytes 4096 back before they are overwritten.
    Bytes body, expected;
    Bytes lits = RandomBytes(4096, 21);
    for (size_t i = 0; i < lits.size(); i += 8) {
        body.push_back(0xFF);
        body.insert(body.end(), lits.begin() + i, lits.begin() + i + 8);
    }
    body.insert(body.end(), {0x00, 0xF0, 0xF2});  // position 0xFF0, length 5
    expected = lits;
    expected.insert(expected.end(), lits.begin(), lits.begin() + 5);
    Bytes out;
    uint64_t written = 0;
    ASSERT_EQ(Expand(Stream(4101, body), &out, &written), SZDD_OK);
    EXPECT_TRUE(out == expected);
}

TEST(Expander, ControlBitsAfterTheLastItemAreIgnored)
{
    Bytes out;
    uint64_t written = 0;
    EXPECT_EQ(Expand(Stream(1, {0x01, 'z'}), &out, &written), SZDD_OK);
    EXPECT_EQ(Expand(Stream(1, {0xFF, 'z'}), &out, &written), SZDD_OK);
    EXPECT_EQ(Expand(Stream(0, {0x00}), &out, &written), SZDD_OK);
    EXPECT_EQ(written, 0u);
}
