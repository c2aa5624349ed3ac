// The compressor's 32-bit tree positions move their base every gigabyte; this build of it moves the
// base every 24 KiB, and its streams must be byte-for-byte those of the normal build.
#define SZDD_REBASE_AT 32768u
#define SzddCompress SzddCompressRebasingOften
#include "szdd_compress.cpp"
#undef SzddCompress

#include <gtest/gtest.h>

#include "szdd_io.h"
#include "test_support.h"

TEST(Compressor, MovingThePositionBaseChangesNothing)
{
    Bytes periodic;
    for (size_t i = 0; i < 150000; ++i)
        periodic.push_back(static_cast<unsigned char>("KALENDO"[i % 7]));
    Bytes text = ShiftJisText(200000);
    Bytes noise = RandomBytes(text.size(), 17);
    for (size_t i = 0; i < text.size(); i += 11)
        text[i] = noise[i];
    std::vector<Bytes> inputs = {text, periodic, RandomBytes(100000, 3)};
    for (const std::string &path : PeFiles(400 * 1024)) {
        Bytes pe;
        if (ReadFileBytes(path, &pe))
            inputs.push_back(pe);
        break;
    }
    for (const Bytes &data : inputs) {
        SzddBuffer out = {NULL, 0, 0};
        ASSERT_EQ(SzddCompressRebasingOften(data.data(), data.size(), SzddWriteBuffer, &out), SZDD_OK);
        Bytes often(out.data, out.data + out.length);
        SzddFreeBuffer(&out);
        EXPECT_TRUE(often == Compress(data)) << data.size();
    }
}
