// libFuzzer target: the expander on arbitrary bytes, read whole and in ragged pieces, must agree and
// stay within its bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "szdd.h"
#include "szdd_container.h"
#include "szdd_io.h"

namespace {

// Hands out the input in pieces of 1 to 32 bytes, sizes taken from the input's own bytes.
struct RaggedSource {
    const uint8_t *data;
    size_t size, offset;
};

long ReadRagged(void *source, unsigned char *buffer, size_t capacity)
{
    RaggedSource *s = static_cast<RaggedSource *>(source);
    if (s->offset >= s->size)
        return 0;
    size_t piece = 1 + s->data[s->offset] % 32;
    if (piece > capacity)
        piece = capacity;
    if (piece > s->size - s->offset)
        piece = s->size - s->offset;
    memcpy(buffer, s->data + s->offset, piece);
    s->offset += piece;
    return static_cast<long>(piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SzddHeader header;
    SzddParseHeader(data, size, &header);

    SzddMemorySource whole = {data, size, 0};
    SzddBuffer first = {NULL, 0, 0};
    uint64_t firstWritten = 0;
    SzddResult firstResult = SzddExpand(SzddReadMemory, &whole, SzddWriteBuffer, &first, &firstWritten);

    RaggedSource ragged = {data, size, 0};
    SzddBuffer second = {NULL, 0, 0};
    uint64_t secondWritten = 0;
    SzddResult secondResult = SzddExpand(ReadRagged, &ragged, SzddWriteBuffer, &second, &secondWritten);

    // The same result and bytes however the input arrives; every output byte costs at least 1/9 of an
    // input byte (a two-byte match yields at most 18).
    if (firstResult != secondResult || firstWritten != secondWritten || first.length != firstWritten ||
        (first.length && memcmp(first.data, second.data, first.length) != 0) || firstWritten > 9 * size)
        abort();
    if (firstResult == SZDD_OK && firstWritten != header.expandedLength)
        abort();
    SzddFreeBuffer(&first);
    SzddFreeBuffer(&second);

    if (SzddIsContainer(data, size)) {
        SzddMemorySource source = {data, size, 0};
        uint64_t count = 0, written = 0;
        SzddUnpack(SzddReadMemory, &source, SzddWriteCount, &count, &written);
        if (count != written)
            abort();
    }
    return 0;
}
