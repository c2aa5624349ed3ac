// libFuzzer target: whatever the compressor makes of arbitrary bytes expands back to them, in no more
// space than all-literal coding takes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "szdd.h"
#include "szdd_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SzddBuffer stream = {NULL, 0, 0};
    if (SzddCompress(data, size, SzddWriteBuffer, &stream) != SZDD_OK)
        abort();
    if (stream.length > SzddHeaderSize + (9 * size + 7) / 8)
        abort();

    SzddMemorySource source = {stream.data, stream.length, 0};
    SzddBuffer back = {NULL, 0, 0};
    uint64_t written = 0;
    if (SzddExpand(SzddReadMemory, &source, SzddWriteBuffer, &back, &written) != SZDD_OK)
        abort();
    if (back.length != size || (size && memcmp(back.data, data, size) != 0))
        abort();
    SzddFreeBuffer(&stream);
    SzddFreeBuffer(&back);
    return 0;
}
