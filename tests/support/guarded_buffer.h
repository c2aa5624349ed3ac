// Fixed-size buffers with guard bytes behind them, to catch a write of even one byte past the end.
#pragma once

#include <cstddef>
#include <cstring>

// The buffer handed to the code under test (capacity N), and the bytes right behind it.
template <size_t N>
struct GuardedBuffer {
    char bytes[N];
    unsigned char guard[16];
};

const unsigned char GuardByte = 0xA5;

// Fills the buffer with filler and the guard with its pattern; returns the buffer.
template <size_t N>
char *Arm(GuardedBuffer<N> *buffer, char filler = 'x')
{
    memset(buffer->bytes, filler, N);
    memset(buffer->guard, GuardByte, sizeof buffer->guard);
    return buffer->bytes;
}

// Whether every guard byte is as Arm left it: 1, or 0 when something wrote past the buffer.
template <size_t N>
int GuardIntact(const GuardedBuffer<N> &buffer)
{
    for (unsigned char b : buffer.guard)
        if (b != GuardByte)
            return 0;
    return 1;
}
