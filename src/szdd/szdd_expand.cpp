// SZDD header parsing and streaming expansion with fixed buffers and a fast path far from their edges.
#include "szdd.h"
#include "szdd_io.h"

#include <cstdlib>
#include <cstring>

namespace {

// The window's first write position; the 4096 bytes before it start out as spaces.
const unsigned FirstWritePosition = SzddWindowSize - 16;
// A control byte and eight two-byte matches: the most one group can take from the input.
const size_t GroupInput = 17;
// Eight matches of 18 bytes: the most one group can add to the output.
const size_t GroupOutput = 8 * 18;
const size_t InputCapacity = 64 * 1024;
// Output is kept linear: the window's 4096 bytes of history, then room for new bytes, then slack
// so that matches may be copied eight bytes at a time past their end.
const size_t OutputRoom = 64 * 1024;
const size_t OutputSlack = 32;
const size_t OutputCapacity = SzddWindowSize + OutputRoom + OutputSlack;

struct Expansion {
    SzddReadFn read;
    void *source;
    SzddWriteFn write;
    void *sink;
    unsigned char *in;  // InputCapacity bytes
    size_t inPos, inEnd;
    bool inDone;             // the source reported its end
    unsigned char *out;      // OutputCapacity bytes: 4096 of history, then new output
    unsigned char *cur;      // next byte to write
    unsigned char *flushed;  // bytes before this were handed to the sink
    unsigned ring;           // window position of *cur
    uint64_t written;
};

// Tops the input up to at least GroupInput bytes unless the source ends; SZDD_OK or SZDD_ERR_READ.
SzddResult Refill(Expansion *x)
{
    size_t left = x->inEnd - x->inPos;
    if (left >= GroupInput || x->inDone)
        return SZDD_OK;
    memmove(x->in, x->in + x->inPos, left);
    x->inPos = 0;
    x->inEnd = left;
    while (x->inEnd < GroupInput) {
        long got = x->read(x->source, x->in + x->inEnd, InputCapacity - x->inEnd);
        if (got < 0 || static_cast<size_t>(got) > InputCapacity - x->inEnd)
            return SZDD_ERR_READ;
        if (got == 0) {
            x->inDone = true;
            break;
        }
        x->inEnd += static_cast<size_t>(got);
    }
    return SZDD_OK;
}

// Hands the pending output to the sink; SZDD_OK or SZDD_ERR_WRITE.
SzddResult Flush(Expansion *x)
{
    size_t pending = static_cast<size_t>(x->cur - x->flushed);
    if (pending == 0)
        return SZDD_OK;
    if (!x->write(x->sink, x->flushed, pending))
        return SZDD_ERR_WRITE;
    x->written += pending;
    x->flushed = x->cur;
    return SZDD_OK;
}

// Makes room for one more group, flushing and keeping the last 4096 bytes as history; as Flush.
SzddResult MakeRoom(Expansion *x)
{
    if (static_cast<size_t>(x->out + SzddWindowSize + OutputRoom - x->cur) >= GroupOutput)
        return SZDD_OK;
    SzddResult result = Flush(x);
    if (result != SZDD_OK)
        return result;
    memmove(x->out, x->cur - SzddWindowSize, SzddWindowSize);
    x->cur = x->out + SzddWindowSize;
    x->flushed = x->cur;
    return SZDD_OK;
}

// Copies a match of length bytes from distance back; the source may overlap what is being written.
inline void CopyMatch(unsigned char *dst, size_t distance, unsigned length)
{
    const unsigned char *src = dst - distance;
    if (distance >= 8) {
        // Each 8-byte piece reads only bytes already final; up to 7 bytes past the end are scratch.
        for (unsigned i = 0; i < length; i += 8)
            memcpy(dst + i, src + i, 8);
    } else {
        for (unsigned i = 0; i < length; ++i)
            dst[i] = src[i];
    }
}

// Decodes groups until the input ends; SZDD_OK, SZDD_ERR_TRUNCATED, SZDD_ERR_READ or SZDD_ERR_WRITE.
SzddResult Decode(Expansion *x)
{
    for (;;) {
        SzddResult result = Refill(x);
        if (result == SZDD_OK)
            result = MakeRoom(x);
        if (result != SZDD_OK)
            return result;

        const unsigned char *in = x->in + x->inPos;
        unsigned char *cur = x->cur;
        unsigned ring = x->ring;
        size_t available = x->inEnd - x->inPos;
        if (available == 0)
            return SZDD_OK;

        if (available >= GroupInput) {
            // Fast path: a whole group fits in both buffers, so no item needs a bounds check.
            unsigned control = *in++;
            for (int bit = 0; bit < 8; ++bit, control >>= 1) {
                if (control & 1) {
                    *cur++ = *in++;
                    ring = (ring + 1) & (SzddWindowSize - 1);
                } else {
                    unsigned b0 = in[0], b1 = in[1];
                    in += 2;
                    unsigned position = b0 | ((b1 & 0xF0u) << 4);
                    unsigned length = (b1 & 0x0Fu) + 3;
                    size_t distance = ((ring - position - 1) & (SzddWindowSize - 1)) + 1;
                    CopyMatch(cur, distance, length);
                    cur += length;
                    ring = (ring + length) & (SzddWindowSize - 1);
                }
            }
        } else {
            // The source has ended with less than a whole group left: check each item.
            const unsigned char *end = in + available;
            unsigned control = *in++;
            for (int bit = 0; bit < 8 && in < end; ++bit, control >>= 1) {
                if (control & 1) {
                    *cur++ = *in++;
                    ring = (ring + 1) & (SzddWindowSize - 1);
                } else {
                    if (end - in < 2) {
                        x->cur = cur;
                        x->ring = ring;
                        x->inPos = x->inEnd;
                        return SZDD_ERR_TRUNCATED;
                    }
                    unsigned b0 = in[0], b1 = in[1];
                    in += 2;
                    unsigned position = b0 | ((b1 & 0xF0u) << 4);
                    unsigned length = (b1 & 0x0Fu) + 3;
                    size_t distance = ((ring - position - 1) & (SzddWindowSize - 1)) + 1;
                    CopyMatch(cur, distance, length);
                    cur += length;
                    ring = (ring + length) & (SzddWindowSize - 1);
                }
            }
        }
        x->inPos = static_cast<size_t>(in - x->in);
        x->cur = cur;
        x->ring = ring;
    }
}

}  // namespace

const char *SzddResultText(SzddResult result)
{
    switch (result) {
    case SZDD_OK: return "ok";
    case SZDD_ERR_NOT_SZDD: return "not an SZDD stream";
    case SZDD_ERR_MODE: return "unsupported compression mode";
    case SZDD_ERR_TRUNCATED: return "stream truncated";
    case SZDD_ERR_LENGTH: return "expanded length differs from the declared one";
    case SZDD_ERR_READ: return "read error";
    case SZDD_ERR_WRITE: return "write error";
    case SZDD_ERR_NO_MEMORY: return "out of memory";
    }
    return "unknown error";
}

SzddResult SzddParseHeader(const unsigned char *bytes, size_t length, SzddHeader *header)
{
    // Judge what is there first, so that a short file of another kind reads as "not SZDD".
    size_t magic = length < sizeof SzddMagic ? length : sizeof SzddMagic;
    if (magic > 0 && memcmp(bytes, SzddMagic, magic) != 0)
        return SZDD_ERR_NOT_SZDD;
    if (length > SzddModeOffset && bytes[SzddModeOffset] != SzddModeA)
        return SZDD_ERR_MODE;
    if (length < SzddHeaderSize)
        return SZDD_ERR_TRUNCATED;
    header->mode = bytes[SzddModeOffset];
    header->missingChar = bytes[SzddMissingCharOffset];
    const unsigned char *declared = bytes + SzddLengthOffset;
    header->expandedLength = static_cast<uint32_t>(declared[0]) | static_cast<uint32_t>(declared[1]) << 8 |
                             static_cast<uint32_t>(declared[2]) << 16 | static_cast<uint32_t>(declared[3]) << 24;
    return SZDD_OK;
}

SzddResult SzddExpandData(const SzddHeader *header, SzddReadFn read, void *source, SzddWriteFn write, void *sink,
                          uint64_t *written)
{
    *written = 0;
    Expansion x;
    x.read = read;
    x.source = source;
    x.write = write;
    x.sink = sink;
    x.in = static_cast<unsigned char *>(malloc(InputCapacity));
    x.out = static_cast<unsigned char *>(malloc(OutputCapacity));
    if (!x.in || !x.out) {
        free(x.in);
        free(x.out);
        return SZDD_ERR_NO_MEMORY;
    }
    x.inPos = x.inEnd = 0;
    x.inDone = false;
    memset(x.out, ' ', SzddWindowSize);
    x.cur = x.flushed = x.out + SzddWindowSize;
    x.ring = FirstWritePosition;
    x.written = 0;

    SzddResult result = Decode(&x);
    // Whatever was decoded goes out, even after a truncation or a read error; not after the sink failed.
    if (result != SZDD_ERR_WRITE) {
        SzddResult flushed = Flush(&x);
        if (flushed != SZDD_OK)
            result = flushed;
    }
    if (result == SZDD_OK && x.written != header->expandedLength)
        result = SZDD_ERR_LENGTH;
    *written = x.written;
    free(x.in);
    free(x.out);
    return result;
}

SzddResult SzddReadHeader(SzddReadFn read, void *source, SzddHeader *header)
{
    unsigned char bytes[SzddHeaderSize];
    size_t have = 0;
    while (have < SzddHeaderSize) {
        long got = read(source, bytes + have, SzddHeaderSize - have);
        if (got < 0 || static_cast<size_t>(got) > SzddHeaderSize - have)
            return SZDD_ERR_READ;
        if (got == 0)
            break;
        have += static_cast<size_t>(got);
    }
    return SzddParseHeader(bytes, have, header);
}

SzddResult SzddExpand(SzddReadFn read, void *source, SzddWriteFn write, void *sink, uint64_t *written)
{
    *written = 0;
    SzddHeader header;
    SzddResult result = SzddReadHeader(read, source, &header);
    if (result != SZDD_OK)
        return result;
    return SzddExpandData(&header, read, source, write, sink, written);
}
