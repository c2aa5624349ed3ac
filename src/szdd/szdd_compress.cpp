// Mode "A" compression with an optimal parse: exact longest matches from a binary-tree finder, then a
// shortest-path pass over 9-bit literals and 17-bit matches.
#include "szdd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace {

const unsigned MinMatch = 3;
const unsigned MaxMatch = 18;
// Tree nodes live in a cyclic table twice the window, so a node is never reused while in reach.
const size_t Cycle = 2 * SzddWindowSize;
const unsigned HashBits = 14;
// Tree positions are 32-bit and start at First, so that "none" (0) is always out of reach and one
// comparison checks both; the base moves forward whenever they reach RebaseAt.
const uint32_t None = 0;
const uint32_t First = static_cast<uint32_t>(Cycle);
#ifndef SZDD_REBASE_AT
#define SZDD_REBASE_AT (1u << 30)  // tests set a small multiple of Cycle to exercise rebasing
#endif
const uint32_t RebaseAt = SZDD_REBASE_AT;
const unsigned LiteralBits = 9;
const unsigned MatchBits = 17;
const size_t OutputCapacity = 64 * 1024;
// Zeros after the data: room for the last key and the word-wise compares past it.
const size_t Padding = MaxMatch + 16;

// The match finder. Matches of 4 bytes or more: one binary search tree per hash of the first four
// bytes, ordered by the next MaxMatch bytes and heap-ordered by age, so a search stops at the first
// node out of reach. Matches of exactly 3 bytes, needed only where the trees find nothing longer: a
// chain per hash of the first three bytes, newest first. Smaller trees make this faster than
// trees rooted on three bytes.
struct Finder {
    const unsigned char *text;  // at position First: the window's 4096 spaces, the data, Padding zeros
    uint32_t *head;             // 1 << HashBits tree roots
    uint32_t *son;              // 2 * Cycle children: [2p] smaller, [2p + 1] greater
    uint32_t *head3;            // 1 << HashBits chain heads
    uint32_t *prev3;            // Cycle links to the previous position in the same chain
};

// Table index for the first n (3 or 4) bytes of the little-endian word v; an index shared by other
// prefixes only costs time.
inline unsigned HashPrefix(uint32_t v, unsigned n)
{
    if (n < 4)
        v &= 0xFFFFFFu;
    return (v * 0x9E3779B1u) >> (32 - HashBits);
}

// Length of the common prefix of a and b, at most MaxMatch, knowing the first known bytes agree;
// reads up to 8 bytes past MaxMatch. Compares 8 bytes at a time, little-endian (the lowest differing
// byte of the word is the first in memory).
inline unsigned CommonLength(const unsigned char *a, const unsigned char *b, unsigned known)
{
    for (unsigned len = known; len < MaxMatch; len += 8) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y) {
            len += static_cast<unsigned>(__builtin_ctzll(x ^ y)) >> 3;
            return len < MaxMatch ? len : MaxMatch;
        }
    }
    return MaxMatch;
}

// Inserts pos into the tree rooted at head[root] and returns the longest match found there
// (0..MaxMatch, exact from 4 on), with its distance in *distance when longer than 0.
inline unsigned TreeFindAndInsert(Finder *f, uint32_t pos, const unsigned char *key, unsigned root, unsigned *distance)
{
    uint32_t cur = f->head[root];
    f->head[root] = pos;
    uint32_t *smaller = &f->son[2 * (pos & (Cycle - 1))];
    uint32_t *greater = smaller + 1;
    unsigned lenSmaller = 0, lenGreater = 0, best = 0;
    for (;;) {
        if (pos - cur > SzddWindowSize) {
            *smaller = *greater = None;
            return best;
        }
        const unsigned char *other = f->text + (cur - First);
        uint32_t *pair = &f->son[2 * (cur & (Cycle - 1))];
        unsigned len = CommonLength(other, key, lenSmaller < lenGreater ? lenSmaller : lenGreater);
        if (len > best) {
            best = len;
            *distance = pos - cur;
        }
        if (len == MaxMatch) {
            // The older node is equal over the whole key: the new one takes its place.
            *smaller = pair[0];
            *greater = pair[1];
            return best;
        }
        if (other[len] < key[len]) {
            *smaller = cur;
            smaller = &pair[1];
            cur = *smaller;
            lenSmaller = len;
        } else {
            *greater = cur;
            greater = &pair[0];
            cur = *greater;
            lenGreater = len;
        }
    }
}

// Inserts position pos and finds the longest earlier string within the window sharing its prefix;
// returns that length (0..MaxMatch; from 3 on exact), with its distance in *distance when at least 3.
unsigned FindAndInsert(Finder *f, uint32_t pos, unsigned *distance)
{
    const unsigned char *key = f->text + (pos - First);
    uint32_t word;
    memcpy(&word, key, 4);
    unsigned h3 = HashPrefix(word, 3);
    uint32_t chain = f->head3[h3];
    f->head3[h3] = pos;
    f->prev3[pos & (Cycle - 1)] = chain;

    unsigned best = TreeFindAndInsert(f, pos, key, HashPrefix(word, 4), distance);
    if (best >= 4)
        return best;
    // No 4-byte match: the newest string in reach with the same first three bytes, if any.
    for (; pos - chain <= SzddWindowSize; chain = f->prev3[chain & (Cycle - 1)]) {
        uint32_t other;
        memcpy(&other, f->text + (chain - First), 4);
        if (((other ^ word) & 0xFFFFFFu) == 0) {
            *distance = pos - chain;
            return 3;
        }
    }
    return 0;
}

// Moves the base forward by a multiple of Cycle so that *pos becomes 2 * Cycle; nodes left behind
// are out of reach anyway, and those in reach stay above First. Always succeeds.
void Rebase(Finder *f, uint32_t *pos)
{
    uint32_t shift = *pos - 2 * static_cast<uint32_t>(Cycle);
    for (size_t i = 0; i < (size_t{1} << HashBits); ++i)
        f->head[i] = f->head[i] < shift ? None : f->head[i] - shift;
    for (size_t i = 0; i < 2 * Cycle; ++i)
        f->son[i] = f->son[i] < shift ? None : f->son[i] - shift;
    for (size_t i = 0; i < (size_t{1} << HashBits); ++i)
        f->head3[i] = f->head3[i] < shift ? None : f->head3[i] - shift;
    for (size_t i = 0; i < Cycle; ++i)
        f->prev3[i] = f->prev3[i] < shift ? None : f->prev3[i] - shift;
    f->text += shift;
    *pos -= shift;
}

// Memory for the per-position tables, which are touched once each: ask for huge pages, which saves a
// page fault per 4 KiB (the codec builds for the host, a POSIX system). Returns NULL when out of memory;
// release with free.
void *AllocateLarge(size_t size)
{
    const size_t huge = size_t{2} << 20;
    if (size >= huge) {
        void *p = NULL;
        if (posix_memalign(&p, huge, (size + huge - 1) / huge * huge) != 0)
            return NULL;
        madvise(p, (size + huge - 1) / huge * huge, MADV_HUGEPAGE);
        return p;
    }
    return malloc(size);
}

struct Output {
    SzddWriteFn write;
    void *sink;
    unsigned char *buffer;
    size_t used;
};

// Hands the buffered bytes to the sink; 1 on success, 0 on a write error.
int FlushOutput(Output *o)
{
    if (o->used == 0)
        return 1;
    int ok = o->write(o->sink, o->buffer, o->used);
    o->used = 0;
    return ok;
}

}  // namespace

// Lengths over 4 GiB - 1 cannot be declared in the header: refused with SZDD_ERR_LENGTH.
SzddResult SzddCompress(const unsigned char *data, size_t length, SzddWriteFn write, void *sink)
{
    if (length > 0xFFFFFFFFu)
        return SZDD_ERR_LENGTH;

    // Four bytes per input byte must be addressable (only a concern for 32-bit hosts).
    if (length > (SIZE_MAX - SzddWindowSize - Padding - 8) / 4)
        return SZDD_ERR_NO_MEMORY;

    size_t textSize = SzddWindowSize + length + Padding;
    // One block for the per-position tables: match distances, the text, then the steps (the longest
    // match length, later the chosen one: 1 for a literal).
    size_t distSize = (length + 1) * sizeof(uint16_t);
    unsigned char *tables = static_cast<unsigned char *>(AllocateLarge(distSize + textSize + length + 1));
    uint16_t *dist = reinterpret_cast<uint16_t *>(tables);
    unsigned char *text = tables ? tables + distSize : NULL;
    unsigned char *step = tables ? text + textSize : NULL;
    uint32_t *head = static_cast<uint32_t *>(malloc((size_t{1} << HashBits) * sizeof(uint32_t)));
    uint32_t *son = static_cast<uint32_t *>(malloc(2 * Cycle * sizeof(uint32_t)));
    uint32_t *head3 = static_cast<uint32_t *>(malloc((size_t{1} << HashBits) * sizeof(uint32_t)));
    uint32_t *prev3 = static_cast<uint32_t *>(malloc(Cycle * sizeof(uint32_t)));
    unsigned char *out = static_cast<unsigned char *>(malloc(OutputCapacity));
    SzddResult result = SZDD_OK;
    if (!tables || !head || !son || !head3 || !prev3 || !out) {
        result = SZDD_ERR_NO_MEMORY;
        goto done;
    }

    memset(text, ' ', SzddWindowSize);
    if (length)
        memcpy(text + SzddWindowSize, data, length);
    memset(text + SzddWindowSize + length, 0, Padding);
    for (size_t i = 0; i < (size_t{1} << HashBits); ++i)
        head[i] = head3[i] = None;

    {
        // Longest match at every position. The padding zeros may compare equal; lengths are capped
        // at what is left, which is exact because earlier strings never read the padding sooner.
        Finder finder = {text, head, son, head3, prev3};
        unsigned distance = 0;
        uint32_t pos = First;
        for (; pos < First + SzddWindowSize; ++pos)
            FindAndInsert(&finder, pos, &distance);
        for (size_t i = 0; i < length; ++i, ++pos) {
            if (pos == RebaseAt)
                Rebase(&finder, &pos);
            unsigned len = FindAndInsert(&finder, pos, &distance);
            size_t left = length - i;
            if (len > left)
                len = static_cast<unsigned>(left);
            step[i] = static_cast<unsigned char>(len >= MinMatch ? len : 0);
            dist[i] = static_cast<uint16_t>(len >= MinMatch ? distance : 0);
        }
    }

    {
        // Shortest path from each position to the end, walking backwards. A match at i may end anywhere
        // in [i + 3, i + longest(i)]; both bounds only move down as i does (a match at i continues at
        // i + 1 one byte shorter), so the cheapest end is the back of a monotone queue of positions.
        // An end is useless once a nearer one costs no more, since the nearer one stays in range longer.
        // Costs of the next 19 positions and the queue fit in rings of 32. Ties go to the literal, then
        // to the shortest match.
        uint64_t cost[32];
        size_t queue[32];
        unsigned front = 0, back = 0;  // queue[front..back): positions rising, costs falling
        cost[length & 31] = 0;
        for (size_t i = length; i-- > 0;) {
            size_t entering = i + MinMatch;
            if (entering <= length) {
                uint64_t c = cost[entering & 31];
                while (front != back && cost[queue[front & 31] & 31] >= c)
                    ++front;
                queue[--front & 31] = entering;
            }
            size_t lastEnd = i + (step[i] >= MinMatch ? step[i] : MinMatch - 1);
            while (front != back && queue[(back - 1) & 31] > lastEnd)
                --back;

            uint64_t best = LiteralBits + cost[(i + 1) & 31];
            unsigned choice = 1;
            if (front != back) {
                size_t end = queue[(back - 1) & 31];
                uint64_t c = MatchBits + cost[end & 31];
                if (c < best) {
                    best = c;
                    choice = static_cast<unsigned>(end - i);
                }
            }
            cost[i & 31] = best;
            step[i] = static_cast<unsigned char>(choice);
        }
    }

    {
        Output o = {write, sink, out, 0};
        static const unsigned char modeAndMissing[2] = {SzddModeA, 0};
        memcpy(out, SzddMagic, sizeof SzddMagic);
        memcpy(out + SzddModeOffset, modeAndMissing, 2);
        uint32_t declared = static_cast<uint32_t>(length);
        for (int k = 0; k < 4; ++k)
            out[SzddLengthOffset + k] = static_cast<unsigned char>(declared >> (8 * k));
        o.used = SzddHeaderSize;

        size_t i = 0;
        while (i < length) {
            // One group: a control byte and up to eight items, at most 17 bytes.
            if (OutputCapacity - o.used < 17 && !FlushOutput(&o)) {
                result = SZDD_ERR_WRITE;
                goto done;
            }
            size_t controlAt = o.used++;
            unsigned control = 0;
            for (int bit = 0; bit < 8 && i < length; ++bit) {
                unsigned len = step[i];
                if (len == 1) {
                    control |= 1u << bit;
                    out[o.used++] = data[i];
                } else {
                    // Window position of the source: data byte t sits at (4096 - 16 + t) mod 4096.
                    size_t source = SzddWindowSize + i - dist[i];
                    unsigned position = static_cast<unsigned>((source - 16) & (SzddWindowSize - 1));
                    out[o.used++] = static_cast<unsigned char>(position & 0xFF);
                    out[o.used++] = static_cast<unsigned char>(((position >> 4) & 0xF0) | (len - MinMatch));
                }
                i += len;
            }
            out[controlAt] = static_cast<unsigned char>(control);
        }
        if (!FlushOutput(&o))
            result = SZDD_ERR_WRITE;
    }

done:
    free(tables);
    free(head);
    free(son);
    free(head3);
    free(prev3);
    free(out);
    return result;
}
