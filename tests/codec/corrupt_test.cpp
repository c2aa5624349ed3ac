// Damaged and hostile input: truncation at every point, bad headers, wrong lengths, failing I/O.
#include <gtest/gtest.h>

#include "szdd_io.h"
#include "test_support.h"

namespace {

// Where each item of a stream's data starts and what it yields, found by walking the control bytes.
struct Item {
    size_t offset;     // of the item's first byte in the stream
    size_t size;       // 1 for a literal, 2 for a match
    size_t outputEnd;  // output length once the item is decoded
};

std::vector<Item> WalkItems(const Bytes &stream)
{
    std::vector<Item> items;
    size_t at = SzddHeaderSize, produced = 0;
    while (at < stream.size()) {
        unsigned control = stream[at++];
        for (int bit = 0; bit < 8 && at < stream.size(); ++bit, control >>= 1) {
            if (control & 1) {
                produced += 1;
                items.push_back({at, 1, produced});
                at += 1;
            } else {
                produced += (stream[at + 1] & 0x0F) + 3;
                items.push_back({at, 2, produced});
                at += 2;
            }
        }
    }
    return items;
}

}  // namespace

TEST(Truncation, EveryCutOfAStreamIsReportedPrecisely)
{
    Bytes data = ShiftJisText(700);
    Bytes stream = Compress(data);
    std::vector<Item> items = WalkItems(stream);
    ASSERT_GT(items.size(), 20u);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        Bytes part(stream.begin(), stream.begin() + cut);
        // What a cut at this point leaves: whole items before it, perhaps half a match.
        SzddResult expected = cut < SzddHeaderSize ? SZDD_ERR_TRUNCATED : SZDD_ERR_LENGTH;
        size_t decodable = 0;
        for (const Item &item : items) {
            if (item.offset + item.size <= cut)
                decodable = item.outputEnd;
            else if (item.offset < cut)
                expected = SZDD_ERR_TRUNCATED;
        }
        Bytes out;
        uint64_t written = 99;
        EXPECT_EQ(Expand(part, &out, &written), expected) << "cut at " << cut;
        EXPECT_EQ(written, decodable) << "cut at " << cut;
        EXPECT_EQ(out.size(), decodable) << "cut at " << cut;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin())) << "cut at " << cut;
    }
}

TEST(Header, ShortPrefixesOfTheMagicAreTruncatedOtherBytesAreNotSzdd)
{
    SzddHeader header;
    EXPECT_EQ(SzddParseHeader(NULL, 0, &header), SZDD_ERR_TRUNCATED);
    EXPECT_EQ(SzddParseHeader(SzddMagic, 5, &header), SZDD_ERR_TRUNCATED);
    const unsigned char text[] = "MZ\x90";
    EXPECT_EQ(SzddParseHeader(text, 3, &header), SZDD_ERR_NOT_SZDD);
}

TEST(Header, EveryMagicByteIsChecked)
{
    Bytes stream = Compress(ShiftJisText(100));
    for (size_t i = 0; i < 8; ++i) {
        Bytes bad = stream;
        bad[i] ^= 0x20;
        Bytes out;
        uint64_t written = 99;
        EXPECT_EQ(Expand(bad, &out, &written), SZDD_ERR_NOT_SZDD) << "byte " << i;
        EXPECT_EQ(written, 0u);
        EXPECT_TRUE(out.empty());
    }
}

TEST(Header, OnlyModeAIsAccepted)
{
    Bytes stream = Compress(ShiftJisText(100));
    for (unsigned char mode : {'B', 'a', 'Q', '\0'}) {
        Bytes bad = stream;
        bad[8] = mode;
        Bytes out;
        uint64_t written = 99;
        EXPECT_EQ(Expand(bad, &out, &written), SZDD_ERR_MODE) << int(mode);
        EXPECT_TRUE(out.empty());
        SzddHeader header;
        EXPECT_EQ(SzddParseHeader(bad.data(), 9, &header), SZDD_ERR_MODE);
    }
}

TEST(Header, FieldsAreReadLittleEndian)
{
    Bytes stream = Stream(0x12345678, {});
    stream[9] = 'L';
    SzddHeader header;
    ASSERT_EQ(SzddParseHeader(stream.data(), stream.size(), &header), SZDD_OK);
    EXPECT_EQ(header.missingChar, 'L');
    EXPECT_EQ(header.expandedLength, 0x12345678u);
}

TEST(DeclaredLength, TooLargeAndTooSmallAreToldApartByTheCount)
{
    Bytes data = ShiftJisText(5000);
    Bytes stream = Compress(data);
    for (uint32_t declared : {5001u, 0xFFFFFFFFu, 4999u, 0u}) {
        Bytes bad = stream;
        for (int k = 0; k < 4; ++k)
            bad[10 + k] = static_cast<unsigned char>(declared >> (8 * k));
        Bytes out;
        uint64_t written = 0;
        EXPECT_EQ(Expand(bad, &out, &written), SZDD_ERR_LENGTH) << declared;
        // Everything decoded is still written, as the platform's copy routine would.
        EXPECT_EQ(written, data.size()) << declared;
        EXPECT_TRUE(out == data) << declared;
    }
}

TEST(DeclaredLength, TrailingBytesDecodeAsMoreOutput)
{
    Bytes data = ShiftJisText(1000);
    Bytes stream = Compress(data);
    stream.insert(stream.end(), {0x01, 'Q'});
    Bytes out;
    uint64_t written = 0;
    EXPECT_EQ(Expand(stream, &out, &written), SZDD_ERR_LENGTH);
    EXPECT_GT(written, data.size());
}

TEST(Garbage, RandomDataAfterAHeaderStaysInBounds)
{
    // Every match of random data is valid, so garbage expands; the output is bounded by 18/2 per byte.
    for (uint32_t seed = 1; seed <= 50; ++seed) {
        Bytes body = RandomBytes(seed * 97, seed);
        Bytes out;
        uint64_t written = 0;
        SzddResult result = Expand(Stream(1000, body), &out, &written, 1 + seed % 20);
        EXPECT_TRUE(result == SZDD_ERR_LENGTH || result == SZDD_ERR_TRUNCATED || result == SZDD_OK) << seed;
        EXPECT_EQ(written, out.size());
        EXPECT_LE(written, body.size() * 9);
    }
}

TEST(Io, ReadErrorsAreReportedAndWhatCameBeforeIsWritten)
{
    Bytes stream = Compress(RandomBytes(200000, 4));
    struct FailingSource {
        SzddMemorySource memory;
        size_t failAfter;
    } source = {{stream.data(), stream.size(), 0}, 100000};
    SzddReadFn read = [](void *s, unsigned char *buffer, size_t capacity) -> long {
        FailingSource *f = static_cast<FailingSource *>(s);
        if (f->memory.offset >= f->failAfter)
            return -1;
        return SzddReadMemory(&f->memory, buffer, capacity < 4096 ? capacity : 4096);
    };
    SzddBuffer out = {NULL, 0, 0};
    uint64_t written = 0;
    EXPECT_EQ(SzddExpand(read, &source, SzddWriteBuffer, &out, &written), SZDD_ERR_READ);
    EXPECT_EQ(written, out.length);
    SzddFreeBuffer(&out);

    source.memory.offset = 0;
    source.failAfter = 5;
    EXPECT_EQ(SzddExpand(read, &source, SzddWriteBuffer, &out, &written), SZDD_ERR_READ);
    EXPECT_EQ(written, 0u);
}

TEST(Io, SourceClaimingMoreThanAskedIsAReadError)
{
    SzddReadFn liar = [](void *, unsigned char *, size_t capacity) -> long { return static_cast<long>(capacity) + 1; };
    uint64_t count = 0, written = 0;
    EXPECT_EQ(SzddExpand(liar, NULL, SzddWriteCount, &count, &written), SZDD_ERR_READ);
    SzddHeader header = {SzddModeA, 0, 0};
    EXPECT_EQ(SzddExpandData(&header, liar, NULL, SzddWriteCount, &count, &written), SZDD_ERR_READ);
    EXPECT_EQ(count, 0u);
}

TEST(Io, WriteErrorsStopTheExpansion)
{
    Bytes stream = Compress(RandomBytes(300000, 8));
    SzddMemorySource source = {stream.data(), stream.size(), 0};
    size_t calls = 0;
    SzddWriteFn refuseSecond = [](void *c, const unsigned char *, size_t) {
        return ++*static_cast<size_t *>(c) < 2 ? 1 : 0;
    };
    uint64_t written = 0;
    EXPECT_EQ(SzddExpand(SzddReadMemory, &source, refuseSecond, &calls, &written), SZDD_ERR_WRITE);
    EXPECT_EQ(calls, 2u);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, 300000u);
}
