/*
 * cellbits.h -- a stream of cells (eight to a byte, the earliest in bit 7)
 * read a cell or 64 at a time, and a pattern of cells found at 48 starts at
 * once. Cells outside the stream read as zero. Used inside the library
 * only; not installed.
 */
#ifndef MFM_CELLBITS_H
#define MFM_CELLBITS_H

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace mfm::cellbits {

inline bool cellAt(std::span<const uint8_t> b, int64_t i)
{
    return i >= 0 && size_t(i >> 3) < b.size() && ((b[size_t(i >> 3)] >> (7 - (i & 7))) & 1);
}

/* The 64 cells from cell `i` (which may lie before or past the stream), the
 * first in bit 63. */
inline uint64_t cells64(std::span<const uint8_t> b, int64_t i)
{
    auto byteAt = [&](int64_t k) -> uint64_t { return k >= 0 && size_t(k) < b.size() ? b[size_t(k)] : 0; };
    const int64_t at = i >> 3;
    const int off = int(i & 7);
    uint64_t w = 0;
    if (at >= 0 && size_t(at) + 9 <= b.size()) {
        memcpy(&w, b.data() + at, sizeof w);
        if constexpr (std::endian::native == std::endian::little)
            w = __builtin_bswap64(w);
    } else {
        for (int k = 0; k < 8; k++)
            w = w << 8 | byteAt(at + k);
    }
    return off ? w << off | byteAt(at + 8) >> (8 - off) : w;
}

/* `count` cells from cell `from`, packed into `out` (replaced) from its
 * first cell, 64 at a time. */
inline void copyOut(std::span<const uint8_t> b, int64_t from, int64_t count, std::vector<uint8_t> &out)
{
    out.assign(size_t((count + 7) / 8), 0);
    for (int64_t i = 0; i < count; i += 64) {
        const uint64_t w = cells64(b, from + i);
        for (int64_t k = 0; k < 8 && i + 8 * k < count; k++)
            out[size_t(i / 8 + k)] = uint8_t(w >> (56 - 8 * k));
    }
    if (count % 8)   // cells past `count` are zero
        out.back() &= uint8_t(0xFF << (8 - count % 8));
}

/* Starts a window of 64 cells is looked at for a pattern of up to 16 cells:
 * windows STARTS cells apart find every start once. */
constexpr int STARTS = 48;

/* Bit 63 - j set where the `length` cells of `w` from cell j (the first in
 * bit 63) read `pattern` (its first cell the highest of its `length` bits),
 * for j < STARTS. */
inline uint64_t startsOf(uint64_t w, unsigned pattern, int length)
{
    uint64_t m = ~uint64_t(0) << (64 - STARTS);
    for (int k = 0; k < length && m; k++)
        m &= (pattern >> (length - 1 - k)) & 1 ? w << k : ~(w << k);
    return m;
}

}

#endif
