// Payload containers: the fixed executable-style prefix, packing and unpacking.
#include <cstring>

#include <gtest/gtest.h>

#include "szdd_container.h"
#include "szdd_io.h"
#include "test_support.h"

namespace {

Bytes Pack(const Bytes &data)
{
    SzddBuffer out = {NULL, 0, 0};
    EXPECT_EQ(SzddPack(data.data(), data.size(), SzddWriteBuffer, &out), SZDD_OK);
    Bytes packed(out.data, out.data + out.length);
    SzddFreeBuffer(&out);
    return packed;
}

SzddResult Unpack(const Bytes &container, Bytes *data, uint64_t *written)
{
    SzddMemorySource source = {container.data(), container.size(), 0};
    SzddBuffer out = {NULL, 0, 0};
    SzddResult result = SzddUnpack(SzddReadMemory, &source, SzddWriteBuffer, &out, written);
    data->assign(out.data, out.data + out.length);
    SzddFreeBuffer(&out);
    return result;
}

}  // namespace

TEST(Container, PrefixLooksLikeADosExecutableHeaderAndStub)
{
    const unsigned char *p = SzddContainerPrefix;
    EXPECT_EQ(p[0], 'M');
    EXPECT_EQ(p[1], 'Z');
    uint32_t lfanew = p[0x3C] | p[0x3D] << 8 | p[0x3E] << 16 | static_cast<uint32_t>(p[0x3F]) << 24;
    EXPECT_EQ(lfanew, 0x118u);
    // Header paragraphs: the stub program starts right after the 64-byte header.
    EXPECT_EQ(p[8] | p[9] << 8, 4);
    const char text[] = "This program cannot be run in DOS mode.\r\r\n$";
    const unsigned char *found =
        static_cast<const unsigned char *>(memmem(p, SzddContainerPrefixSize, text, sizeof text - 1));
    ASSERT_TRUE(found != NULL);
    EXPECT_GT(found - p, 0x40);
    // The stub's "mov dx, offset" points at the text.
    EXPECT_EQ(p[0x42], 0xBA);
    EXPECT_EQ(0x40 + (p[0x43] | p[0x44] << 8), found - p);
    EXPECT_LE(found - p + static_cast<long>(sizeof text - 1), SzddContainerPrefixSize);
    for (size_t i = found - p + sizeof text - 1; i < SzddContainerPrefixSize; ++i)
        EXPECT_EQ(p[i], 0) << i;
}

TEST(Container, PackIsThePrefixThenTheStream)
{
    Bytes data = ShiftJisText(20000);
    Bytes packed = Pack(data);
    Bytes stream = Compress(data);
    ASSERT_EQ(packed.size(), SzddContainerPrefixSize + stream.size());
    EXPECT_EQ(memcmp(packed.data(), SzddContainerPrefix, SzddContainerPrefixSize), 0);
    EXPECT_TRUE(Bytes(packed.begin() + SzddContainerPrefixSize, packed.end()) == stream);
    EXPECT_EQ(SzddIsContainer(packed.data(), packed.size()), 1);
    EXPECT_EQ(SzddIsContainer(stream.data(), stream.size()), 0);
}

TEST(Container, UnpackRoundTripsTheCorpus)
{
    for (const Sample &s : GeneratedCorpus()) {
        Bytes back;
        uint64_t written = 0;
        ASSERT_EQ(Unpack(Pack(s.data), &back, &written), SZDD_OK) << s.name;
        EXPECT_TRUE(back == s.data) << s.name;
    }
}

TEST(Container, UnpackRejectsWhatIsNotAContainer)
{
    Bytes data = ShiftJisText(3000);
    Bytes back;
    uint64_t written = 0;
    EXPECT_EQ(Unpack(Compress(data), &back, &written), SZDD_ERR_NOT_SZDD);
    Bytes packed = Pack(data);
    EXPECT_EQ(Unpack(Bytes(packed.begin(), packed.begin() + 100), &back, &written), SZDD_ERR_TRUNCATED);
    EXPECT_EQ(Unpack(Bytes(packed.begin(), packed.begin() + 130), &back, &written), SZDD_ERR_TRUNCATED);
    Bytes noStream = packed;
    noStream[SzddContainerPrefixSize] = 'X';
    EXPECT_EQ(Unpack(noStream, &back, &written), SZDD_ERR_NOT_SZDD);
    Bytes cut(packed.begin(), packed.end() - 1);
    SzddResult result = Unpack(cut, &back, &written);
    EXPECT_TRUE(result == SZDD_ERR_LENGTH || result == SZDD_ERR_TRUNCATED);
}
