// Mode "A" compression with an optimal parse: exact longest matches from a binary-tree finder, then a
// shortest-path pass over 9-bit literals and 17-bit matches.
#include "szdd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace {

const unsigned kMinMatch = 3;
const unsigned kMaxMatch = 18;
const size_t kWindow = SzddWindowSize;
// Tree nodes live in a cyclic table twice the window, so a node is never reused while in reach.
const size_t kCycle = 2 * SzddWindowSize;
const unsigned kHashBits = 14;
// Tree positions are 32-bit and start at kFirst, so that "none" (0) is always out of reach and one
// comparison checks both; the base moves forward whenever they reach kRebaseAt.
const uint32_t kNone = 0;
const uint32_t kFirst = static_cast<uint32_t>(kCycle);
#ifndef SZDD_REBASE_AT
#define SZDD_REBASE_AT (1u << 30)   // tests set a small multiple of kCycle to exercise rebasing
#endif
const uint32_t kRebaseAt = SZDD_REBASE_AT;
const unsigned kLiteralBits = 9;
const unsigned kMatchBits = 17;
const size_t kOutputCapacity = 64 * 1024;
// Zeros after the data: room for the last key and the word-wise compares past it.
const size_t kPadding = kMaxMatch + 16;

// The match finder. Matches of 4 bytes or more: one binary search tree per hash of the first four
// bytes, ordered by the next kMaxMatch bytes and heap-ordered by age, so a search stops at the first
// node out of reach. Matches of exactly 3 bytes, needed only where the trees find nothing longer: a
// chain per hash of the first three bytes, newest first. Smaller trees make this faster than
// trees rooted on three bytes.
struct Finder {
    const unsigned char *text;  // at position kFirst: the window's 4096 spaces, the data, kPadding zeros
    uint32_t *head;             // 1 << kHashBits tree roots
    uint32_t *son;              // 2 * kCycle children: [2p] smaller, [2p + 1] greater
    uint32_t *head3;            // 1 << kHashBits chain heads
    uint32_t *prev3;            // kCycle links to the previous position in the same chain
};

// Table index for the first n (3 or 4) bytes of the little-endian word v; an index shared by other
// prefixes only costs time.
inline unsigned HashPrefix(uint32_t v, unsigned n) {
    if (n < 4) v &= 0xFFFFFFu;
    return (v * 0x9E3779B1u) >> (32 - kHashBits);
}

// Length of the common prefix of a and b, at most kMaxMatch, knowing the first known bytes agree;
// reads up to 8 bytes past kMaxMatch. Compares 8 bytes at a time, little-endian (the lowest differing
// byte of the word is the first in memory).
inline unsigned CommonLength(const unsigned char *a, const unsigned char *b, unsigned known) {
    for (unsigned len = known; len < kMaxMatch; len += 8) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y) {
            len += static_cast<unsigned>(__builtin_ctzll(x ^ y)) >> 3;
            return len < kMaxMatch ? len : kMaxMatch;
        }
    }
    return kMaxMatch;
}

// Inserts pos into the tree rooted at head[root] and returns the longest match found there
// (0..kMaxMatch, exact from 4 on), with its distance in *distance when longer than 0.
inline unsigned TreeFindAndInsert(Finder *f, uint32_t pos, const unsigned char *key, unsigned root,
                                  unsigned *distance) {
    uint32_t cur = f->head[root];
    f->head[root] = pos;
    uint32_t *smaller = &f->son[2 * (pos & (kCycle - 1))];
    uint32_t *greater = smaller + 1;
    unsigned len_smaller = 0, len_greater = 0, best = 0;
    for (;;) {
        if (pos - cur > kWindow) {
            *smaller = *greater = kNone;
            return best;
        }
        const unsigned char *other = f->text + (cur - kFirst);
        uint32_t *pair = &f->son[2 * (cur & (kCycle - 1))];
        unsigned len = CommonLength(other, key, len_smaller < len_greater ? len_smaller : len_greater);
        if (len > best) {
            best = len;
            *distance = pos - cur;
        }
        if (len == kMaxMatch) {
            // The older node is equal over the whole key: the new one takes its place.
            *smaller = pair[0];
            *greater = pair[1];
            return best;
        }
        if (other[len] < key[len]) {
            *smaller = cur;
            smaller = &pair[1];
            cur = *smaller;
            len_smaller = len;
        } else {
            *greater = cur;
            greater = &pair[0];
            cur = *greater;
            len_greater = len;
        }
    }
}

// Inserts position pos and finds the longest earlier string within the window sharing its prefix;
// returns that length (0..kMaxMatch; from 3 on exact), with its distance in *distance when at least 3.
unsigned FindAndInsert(Finder *f, uint32_t pos, unsigned *distance) {
    const unsigned char *key = f->text + (pos - kFirst);
    uint32_t word;
    memcpy(&word, key, 4);
    unsigned h3 = HashPrefix(word, 3);
    uint32_t chain = f->head3[h3];
    f->head3[h3] = pos;
    f->prev3[pos & (kCycle - 1)] = chain;

    unsigned best = TreeFindAndInsert(f, pos, key, HashPrefix(word, 4), distance);
    if (best >= 4) return best;
    // No 4-byte match: the newest string in reach with the same first three bytes, if any.
    for (; pos - chain <= kWindow; chain = f->prev3[chain & (kCycle - 1)]) {
        uint32_t other;
        memcpy(&other, f->text + (chain - kFirst), 4);
        if (((other ^ word) & 0xFFFFFFu) == 0) {
            *distance = pos - chain;
            return 3;
        }
    }
    return 0;
}

// Moves the base forward by a multiple of kCycle so that *pos becomes 2 * kCycle; nodes left behind
// are out of reach anyway, and those in reach stay above kFirst. Always succeeds.
void Rebase(Finder *f, uint32_t *pos) {
    uint32_t shift = *pos - 2 * static_cast<uint32_t>(kCycle);
    for (size_t i = 0; i < (size_t{1} << kHashBits); ++i)
        f->head[i] = f->head[i] < shift ? kNone : f->head[i] - shift;
    for (size_t i = 0; i < 2 * kCycle; ++i)
        f->son[i] = f->son[i] < shift ? kNone : f->son[i] - shift;
    for (size_t i = 0; i < (size_t{1} << kHashBits); ++i)
        f->head3[i] = f->head3[i] < shift ? kNone : f->head3[i] - shift;
    for (size_t i = 0; i < kCycle; ++i)
        f->prev3[i] = f->prev3[i] < shift ? kNone : f->prev3[i] - shift;
    f->text += shift;
    *pos -= shift;
}

// Memory for the per-position tables, which are touched once each: ask for huge pages, which saves a
// page fault per 4 KiB (the codec builds for the host, a POSIX system). Returns NULL when out of memory;
// release with free.
void *AllocateLarge(size_t size) {
    const size_t huge = size_t{2} << 20;
    if (size >= huge) {
        void *p = nullptr;
        if (posix_memalign(&p, huge, (size + huge - 1) / huge * huge) != 0) return nullptr;
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
int FlushOutput(Output *o) {
    if (o->used == 0) return 1;
    int ok = o->write(o->sink, o->buffer, o->used);
    o->used = 0;
    return ok;
}

}  // namespace

// Lengths over 4 GiB - 1 cannot be declared in the header: refused with SZDD_ERR_LENGTH.
SzddResult SzddCompress(const unsigned char *data, size_t length, SzddWriteFn write, void *sink) {
    if (length > 0xFFFFFFFFu) return SZDD_ERR_LENGTH;

    // Four bytes per input byte must be addressable (only a concern for 32-bit hosts).
    if (length > (SIZE_MAX - kWindow - kPadding - 8) / 4) return SZDD_ERR_NO_MEMORY;

    size_t text_size = kWindow + length + kPadding;
    // One block for the per-position tables: match distances, the text, then the steps (the longest
    // match length, later the chosen one: 1 for a literal).
    size_t dist_size = (length + 1) * sizeof(uint16_t);
    unsigned char *tables = static_cast<unsigned char *>(AllocateLarge(dist_size + text_size + length + 1));
    uint16_t *dist = reinterpret_cast<uint16_t *>(tables);
    unsigned char *text = tables ? tables + dist_size : nullptr;
    unsigned char *step = tables ? text + text_size : nullptr;
    uint32_t *head = static_cast<uint32_t *>(malloc((size_t{1} << kHashBits) * sizeof(uint32_t)));
    uint32_t *son = static_cast<uint32_t *>(malloc(2 * kCycle * sizeof(uint32_t)));
    uint32_t *head3 = static_cast<uint32_t *>(malloc((size_t{1} << kHashBits) * sizeof(uint32_t)));
    uint32_t *prev3 = static_cast<uint32_t *>(malloc(kCycle * sizeof(uint32_t)));
    unsigned char *out = static_cast<unsigned char *>(malloc(kOutputCapacity));
    SzddResult result = SZDD_OK;
    if (!tables || !head || !son || !head3 || !prev3 || !out) {
        result = SZDD_ERR_NO_MEMORY;
        goto done;
    }

    memset(text, ' ', kWindow);
    if (length) memcpy(text + kWindow, data, length);
    memset(text + kWindow + length, 0, kPadding);
    for (size_t i = 0; i < (size_t{1} << kHashBits); ++i) head[i] = head3[i] = kNone;

    {
        // Longest match at every position. The padding zeros may compare equal; lengths are capped
        // at what is left, which is exact because earlier strings never read the padding sooner.
        Finder finder = {text, head, son, head3, prev3};
        unsigned distance = 0;
        uint32_t pos = kFirst;
        for (; pos < kFirst + kWindow; ++pos) FindAndInsert(&finder, pos, &distance);
        for (size_t i = 0; i < length; ++i, ++pos) {
            if (pos == kRebaseAt) Rebase(&finder, &pos);
            unsigned len = FindAndInsert(&finder, pos, &distance);
            size_t left = length - i;
            if (len > left) len = static_cast<unsigned>(left);
            step[i] = static_cast<unsigned char>(len >= kMinMatch ? len : 0);
            dist[i] = static_cast<uint16_t>(len >= kMinMatch ? distance : 0);
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
        unsigned front = 0, back = 0;   // queue[front..back): positions rising, costs falling
        cost[length & 31] = 0;
        for (size_t i = length; i-- > 0;) {
            size_t entering = i + kMinMatch;
            if (entering <= length) {
                uint64_t c = cost[entering & 31];
                while (front != back && cost[queue[front & 31] & 31] >= c) ++front;
                queue[--front & 31] = entering;
            }
            size_t last_end = i + (step[i] >= kMinMatch ? step[i] : kMinMatch - 1);
            while (front != back && queue[(back - 1) & 31] > last_end) --back;

            uint64_t best = kLiteralBits + cost[(i + 1) & 31];
            unsigned choice = 1;
            if (front != back) {
                size_t end = queue[(back - 1) & 31];
                uint64_t c = kMatchBits + cost[end & 31];
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
        static const unsigned char kModeAndMissing[2] = {SzddModeA, 0};
        memcpy(out, SzddMagic, sizeof SzddMagic);
        memcpy(out + SzddModeOffset, kModeAndMissing, 2);
        uint32_t declared = static_cast<uint32_t>(length);
        for (int k = 0; k < 4; ++k) out[SzddLengthOffset + k] = static_cast<unsigned char>(declared >> (8 * k));
        o.used = SzddHeaderSize;

        size_t i = 0;
        while (i < length) {
            // One group: a control byte and up to eight items, at most 17 bytes.
            if (kOutputCapacity - o.used < 17 && !FlushOutput(&o)) {
                result = SZDD_ERR_WRITE;
                goto done;
            }
            size_t control_at = o.used++;
            unsigned control = 0;
            for (int bit = 0; bit < 8 && i < length; ++bit) {
                unsigned len = step[i];
                if (len == 1) {
                    control |= 1u << bit;
                    out[o.used++] = data[i];
                } else {
                    // Window position of the source: data byte t sits at (4096 - 16 + t) mod 4096.
                    size_t source = kWindow + i - dist[i];
                    unsigned position = static_cast<unsigned>((source - 16) & (kWindow - 1));
                    out[o.used++] = static_cast<unsigned char>(position & 0xFF);
                    out[o.used++] = static_cast<unsigned char>(((position >> 4) & 0xF0) | (len - kMinMatch));
                }
                i += len;
            }
            out[control_at] = static_cast<unsigned char>(control);
        }
        if (!FlushOutput(&o)) result = SZDD_ERR_WRITE;
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
