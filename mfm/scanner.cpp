// Field scanner: finds the sync sequences of IBM MFM tracks at every bit
// offset of a cell stream and decodes the fields behind them.
//
// IBM MFM track layout (one revolution of one head):
//
//   gap 4a  4E x 80 | 00 x 12 | C2 C2 C2 FC (index mark) | gap 1  4E x 50
//   then per sector:
//   +---------+-----------------+----+---+---+---+---+-------+--------+
//   | 00 x 12 | A1 A1 A1 (sync) | FE | C | H | R | N | CRC16 | gap 2  |
//   +---------+-----------------+----+---+---+---+---+-------+--------+
//   | 00 x 12 | A1 A1 A1 (sync) | FB | 128 << N bytes | CRC16 | gap 3  |
//   +---------+-----------------+----+----------------+-------+--------+
//   gap 4b 4E to the end of the revolution.
//
//   The data field's sync starts 22 + 12 + 10 = 44 bytes (704 cells) after
//   the ID field's; a controller looks for it for about 43 bytes past the ID.
//   The mark F8 instead of FB flags deleted data (F9 and FA are rare kin).
//
//   Every byte is one cell word of 16 cells (clock, data, clock, data, ...).
//   The sync bytes A1 are written with one clock cell missing (44 89) so that
//   no data can imitate them, but the search here compares data cells only,
//   as a decoder that has lost the clock must: any cells whose data cells
//   read A1 A1 A1 count as a sync sequence.
//   The CRC (CRC-16/IBM-3740) covers A1 A1 A1, the mark and the field's
//   contents, and is stored high byte first after them.
//
// Scan. A sync sequence whose first cell lies at bit b of the stream is
// reported at scan position p = 2 * (b / 16) with shift s = b % 16; at each
// position only the smallest passing shift counts. Instead of shifting the
// cells, the scanner splits them into their two parities once per stream.
// For an even b the data cells of every cell word from b lie in the odd-cell
// stream, for an odd b in the even-cell stream, so the 24-bit pattern
// A1 A1 A1 is searched in both streams with word-wide bit operations, and
// every field byte is 8 consecutive bits of one stream. Cells beyond the end
// of the input read as zero; the input is never modified.
#include "mfm/scanner.h"
#include "mfm/amiga.h"
#include "mfm/cellbits.h"
#include "mfm/fm.h"
#include "mfm/mfm.h"

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__x86_64__) && !defined(MFM_NO_SIMD)
#define MFM_X86_SIMD 1
#include <immintrin.h>
// Functions that use AVX2 are compiled for it alone and called only when
// the processor has it.
#define MFM_AVX2 __attribute__((target("avx2")))
#endif

namespace mfm {

namespace {

constexpr int CHUNK = 16;                  // input bytes of one word of each stream
// Field offsets in cell words from the start of the sync sequence.
constexpr int WORD_MARK = 3;
constexpr int WORD_BODY = 4;               // ID bytes or data bytes
constexpr int ID_BYTES = 4;
constexpr int HEAD_BYTES = 4;              // A1 A1 A1 and the mark, under the CRC
constexpr int MAX_DATA = sizeCodeBytes(MAX_SIZE_CODE);
// Zero words after each stream: a field of the largest size that starts at
// the last bit offset, and the look-ahead of the search, read only zeros.
constexpr size_t STREAM_PAD = (WORD_BODY + MAX_DATA + 2) * 8 / 64 + 4;
// The search reports its matches in blocks of this many words.
constexpr size_t BLOCK = 4;

// The code a scan runs, from the plainest up.
enum Level { PORTABLE, SSE2, AVX2 };

#ifdef MFM_X86_SIMD
// Decided once, at start-up: whether this processor runs the AVX2 functions
// (until then false, which only means the slower code).
const bool cpuAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// The highest level this build and processor run, at most `wanted`.
Level levelFor(Simd wanted)
{
#ifdef MFM_X86_SIMD
    const Level best = cpuAvx2 ? AVX2 : SSE2;
#else
    const Level best = PORTABLE;
#endif
    const Level cap = wanted == Simd::portable ? PORTABLE : wanted == Simd::sse2 ? SSE2 : AVX2;
    return std::min(best, cap);
}

// Bits w*64+n .. w*64+n+63 of a stream (n < 64).
[[gnu::always_inline]] inline uint64_t ahead(const uint64_t *s, size_t w, int n)
{
    return n == 0 ? s[w] : (s[w] << n) | (s[w + 1] >> (64 - n));
}

// n (1..57) stream bits from bit `pos`, as a number.
inline unsigned streamBits(const uint64_t *s, int64_t pos, int n)
{
    return unsigned(ahead(s, size_t(pos >> 6), int(pos & 63)) >> (64 - n));
}

// Index of the first set bit of a byte, most significant first; 8 for none.
inline int firstBit(unsigned byte) { return byte ? __builtin_clz(byte) - 24 : 8; }

// Splitting. Each chunk of 16 input bytes (128 cells) becomes one word of
// each stream, the first cell of the chunk in bit 63. The even cells of an
// input byte are its bits 7, 5, 3, 1, the odd cells its bits 6, 4, 2, 0.

#ifdef MFM_X86_SIMD
// Splits one chunk from `in` into *odd and *even.
inline void splitChunkSse2(const uint8_t *in, uint64_t *odd, uint64_t *even)
{
    const __m128i m55 = _mm_set1_epi8(0x55), m33 = _mm_set1_epi8(0x33), m0f = _mm_set1_epi8(0x0F);
    const __m128i mf0 = _mm_set1_epi16(0x00F0);
    // In each byte keep one parity of cells and pack them into a nibble,
    // then join the nibbles of neighbouring bytes. Shifts run on 16-bit
    // lanes; the masks drop the bits that cross bytes.
    auto nibbles = [&](__m128i x) {
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 1)), m33);
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 2)), m0f);
        return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(x, 4), mf0), _mm_srli_epi16(x, 8));
    };
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i packed = _mm_packus_epi16(nibbles(_mm_and_si128(x, m55)),
                                            nibbles(_mm_and_si128(_mm_srli_epi16(x, 1), m55)));
    // Bytes 0..7 hold the odd cells, 8..15 the even cells, first cell first.
    *odd = __builtin_bswap64(uint64_t(_mm_cvtsi128_si64(packed)));
    *even = __builtin_bswap64(uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(packed, packed))));
}

// The cells of a nibble at bits 3 and 1 (from = 1) or 2 and 0 (from = 0),
// as bits 1 and 0.
constexpr uint8_t cellPair(unsigned nibble, int from)
{
    return uint8_t(((nibble >> (2 + from)) & 1) << 1 | ((nibble >> from) & 1));
}

// Per nibble value, its two cells of one parity as the high or the low half
// of the stream nibble that its byte makes.
struct SplitTables {
    uint8_t evenHigh[16], evenLow[16], oddHigh[16], oddLow[16];
    constexpr SplitTables() : evenHigh(), evenLow(), oddHigh(), oddLow()
    {
        for (unsigned n = 0; n < 16; n++) {
            evenHigh[n] = uint8_t(cellPair(n, 1) << 2);
            evenLow[n] = cellPair(n, 1);
            oddHigh[n] = uint8_t(cellPair(n, 0) << 2);
            oddLow[n] = cellPair(n, 0);
        }
    }
};
constexpr SplitTables splitTables;

MFM_AVX2 inline __m256i table(const uint8_t *t)
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(t)));
}

// Splits `chunks` chunks from `in` into odd[0..chunks) and even[0..chunks),
// two chunks a step.
MFM_AVX2 void splitAvx2(const uint8_t *in, size_t chunks, uint64_t *odd, uint64_t *even)
{
    const __m256i evenHigh = table(splitTables.evenHigh), evenLow = table(splitTables.evenLow);
    const __m256i oddHigh = table(splitTables.oddHigh), oddLow = table(splitTables.oddLow);
    const __m256i m0f = _mm256_set1_epi8(0x0F);
    // Byte weights 16, 1: the nibble of a lane's first byte goes high.
    const __m256i join = _mm256_set1_epi16(0x0110);
    // Reverses the bytes of each 64-bit lane: the first goes to bit 63.
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    size_t c = 0;
    for (; c + 2 <= chunks; c += 2) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + c * CHUNK));
        const __m256i low = _mm256_and_si256(x, m0f), high = _mm256_and_si256(_mm256_srli_epi16(x, 4), m0f);
        const __m256i e = _mm256_or_si256(_mm256_shuffle_epi8(evenHigh, high), _mm256_shuffle_epi8(evenLow, low));
        const __m256i o = _mm256_or_si256(_mm256_shuffle_epi8(oddHigh, high), _mm256_shuffle_epi8(oddLow, low));
        // Per 128-bit lane: 8 bytes of odd cells, then 8 of even cells.
        const __m256i packed = _mm256_packus_epi16(_mm256_maddubs_epi16(o, join), _mm256_maddubs_epi16(e, join));
        const __m256i words = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(packed, reverse), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(odd + c), _mm256_castsi256_si128(words));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(even + c), _mm256_extracti128_si256(words, 1));
    }
    if (c < chunks)
        splitChunkSse2(in + c * CHUNK, odd + c, even + c);
}
#endif

// Keeps bits 0, 2, ..., 62 of x, packed in order into the low 32 bits.
inline uint64_t packEvenBits(uint64_t x)
{
    x &= 0x5555555555555555ull;
    x = (x | (x >> 1)) & 0x3333333333333333ull;
    x = (x | (x >> 2)) & 0x0F0F0F0F0F0F0F0Full;
    x = (x | (x >> 4)) & 0x00FF00FF00FF00FFull;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    return (x | (x >> 16)) & 0x00000000FFFFFFFFull;
}

inline uint64_t loadBigEndian(const uint8_t *p)
{
    uint64_t x = 0;
    for (int i = 0; i < 8; i++)
        x = (x << 8) | p[i];
    return x;
}

// Splits one chunk from `in` into *odd and *even.
inline void splitChunkPortable(const uint8_t *in, uint64_t *odd, uint64_t *even)
{
    const uint64_t hi = loadBigEndian(in), lo = loadBigEndian(in + 8);
    // In a big-endian word the first cell is bit 63: even cells sit at odd bits.
    *even = packEvenBits(hi >> 1) << 32 | packEvenBits(lo >> 1);
    *odd = packEvenBits(hi) << 32 | packEvenBits(lo);
}

// Splits `chunks` chunks from `in` into odd[0..chunks) and even[0..chunks)
// with the code of `level`.
void splitChunks([[maybe_unused]] Level level, const uint8_t *in, size_t chunks, uint64_t *odd, uint64_t *even)
{
#ifdef MFM_X86_SIMD
    if (level == AVX2) {
        splitAvx2(in, chunks, odd, even);
        return;
    }
    if (level == SSE2) {
        for (size_t c = 0; c < chunks; c++)
            splitChunkSse2(in + c * CHUNK, odd + c, even + c);
        return;
    }
#endif
    for (size_t c = 0; c < chunks; c++)
        splitChunkPortable(in + c * CHUNK, odd + c, even + c);
}

// Search. Bit k of a match word is set where stream bits k..k+23 read
// A1 A1 A1: first where the 8 bits from k read A1 (1010 0001), then where
// that holds at k, k + 8 and k + 16. Bit k of an AmigaDOS match word is set
// where A1 holds at k and k + 8 and bits k + 16 .. k + 19 (the odd bits of
// the format byte FF) are ones; the IBM sequence A1 A1 A1 FE or FB holds
// that 8 bits on, which the collection drops. findSyncs and its two
// versions read the stream up to word 4 * blocks + 4, write
// start[0 .. 4 * blocks) and set bit b of `hits` (cleared by the caller)
// when the match words 4b .. 4b + 3 (of AmigaDOS syncs too, when `amiga`)
// are not all zero. The collection finds the AmigaDOS bits again in the
// blocks it visits (amigaAt): they are few, and a second array of match
// words would cost memory in proportion to the stream.

// Where the 8 stream bits from each bit of word w read A1; reads s[w], s[w + 1].
inline uint64_t a1At(const uint64_t *s, size_t w)
{
    const uint64_t zeros = ahead(s, w, 1) | ahead(s, w, 3) | ahead(s, w, 4) | ahead(s, w, 5) | ahead(s, w, 6);
    return s[w] & ahead(s, w, 2) & ahead(s, w, 7) & ~zeros;
}

// Where the 4 stream bits from each bit of word w are ones.
inline uint64_t onesAt(const uint64_t *s, size_t w)
{
    return ahead(s, w, 16) & ahead(s, w, 17) & ahead(s, w, 18) & ahead(s, w, 19);
}

// The AmigaDOS match word w; reads s[w .. w + 2].
inline uint64_t amigaAt(const uint64_t *s, size_t w)
{
    const uint64_t m = a1At(s, w), next = a1At(s, w + 1);
    return m & (m << 8 | next >> 56) & onesAt(s, w);
}

// One word a step, keeping the A1 matches of the next word for the step after.
void findSyncsScalar(const uint64_t *s, uint64_t *start, bool amiga, size_t blocks, uint64_t *hits)
{
    uint64_t m = a1At(s, 0);
    for (size_t b = 0; b < blocks; b++) {
        uint64_t any = 0;
        for (size_t w = BLOCK * b; w < BLOCK * b + BLOCK; w++) {
            // The A1 matches of word w + 1 finish word w.
            const uint64_t next = a1At(s, w + 1);
            const uint64_t two = m & (m << 8 | next >> 56);
            start[w] = two & (m << 16 | next >> 48);
            any |= start[w];
            if (amiga)
                any |= two & onesAt(s, w);
            m = next;
        }
        if (any)
            hits[b / 64] |= uint64_t(1) << (b % 64);
    }
}

#ifdef MFM_X86_SIMD
// Bits n .. n + 63 of the stream from each word of `a`, whose next words are `b`.
template <int N> MFM_AVX2 inline __m256i ahead4(__m256i a, __m256i b)
{
    return _mm256_or_si256(_mm256_slli_epi64(a, N), _mm256_srli_epi64(b, 64 - N));
}

// a1At for words w .. w + 3; reads s[w .. w + 4].
MFM_AVX2 inline __m256i a1At4(const uint64_t *s, size_t w)
{
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w + 1));
    const __m256i ones = _mm256_and_si256(a, _mm256_and_si256(ahead4<2>(a, b), ahead4<7>(a, b)));
    const __m256i zeros = _mm256_or_si256(_mm256_or_si256(ahead4<1>(a, b), ahead4<3>(a, b)),
                                          _mm256_or_si256(ahead4<4>(a, b), ahead4<5>(a, b)));
    return _mm256_andnot_si256(_mm256_or_si256(zeros, ahead4<6>(a, b)), ones);
}

// The start bits of words w .. w + 3 from the A1 matches of words w .. w + 7,
// and in *amiga (when given) the AmigaDOS ones; reads s[w .. w + 8].
[[gnu::noinline]] MFM_AVX2 __m256i syncsAt4(const uint64_t *s, size_t w, __m256i *amiga)
{
    const __m256i m = a1At4(s, w), later = a1At4(s, w + BLOCK);
    // The A1 matches of words w + 1 .. w + 4.
    const __m256i next = _mm256_alignr_epi8(_mm256_permute2x128_si256(m, later, 0x21), m, 8);
    const __m256i at8 = _mm256_or_si256(_mm256_slli_epi64(m, 8), _mm256_srli_epi64(next, 56));
    const __m256i at16 = _mm256_or_si256(_mm256_slli_epi64(m, 16), _mm256_srli_epi64(next, 48));
    const __m256i two = _mm256_and_si256(m, at8);
    if (amiga) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w + 1));
        const __m256i ones = _mm256_and_si256(_mm256_and_si256(ahead4<16>(a, b), ahead4<17>(a, b)),
                                              _mm256_and_si256(ahead4<18>(a, b), ahead4<19>(a, b)));
        *amiga = _mm256_and_si256(two, ones);
    }
    return _mm256_and_si256(two, at16);
}

// Bit r of a table entry stands for the rotation of A1 by r bits: the low
// table holds the rotations whose low nibble is the index, the high table
// those whose high nibble is, so a byte is a rotation of A1 exactly when
// the entries of its two nibbles share a bit.
struct RotationTables {
    uint8_t low[16], high[16];
    constexpr RotationTables() : low(), high()
    {
        for (int r = 0; r < 8; r++) {
            const unsigned v = (0xA1u << r | 0xA1u >> (8 - r)) & 0xFF;
            low[v & 15] |= uint8_t(1 << r);
            high[v >> 4] |= uint8_t(1 << r);
        }
    }
};
constexpr RotationTables rotationTables;

// The byte after that rotation of A1 in an AmigaDOS sync: A1 A1 and the
// four ones, starting r = (8 - rotation) % 8 bits into a byte, put the
// last r bits of A1 and then ones (bits past the four unknown) into it. Bit
// `rotation` of a table entry is set where a nibble fits, as above.
struct AmigaTables {
    uint8_t low[16], high[16];
    constexpr AmigaTables() : low(), high()
    {
        for (int rotation = 0; rotation < 8; rotation++) {
            const int r = (8 - rotation) % 8;
            // Known bits of the byte (from its first, most significant) and their values.
            unsigned known = 0, value = 0;
            for (int t = 0; t < 8; t++) {
                const int q = 16 - r + t;   // place in A1 A1 1111
                if (q >= 20)
                    continue;
                known |= 0x80u >> t;
                if (q >= 16 || (0xA1u >> (7 - q % 8)) & 1)
                    value |= 0x80u >> t;
            }
            for (unsigned n = 0; n < 16; n++) {
                if (((n << 4) & known) == (value & known & 0xF0))
                    high[n] |= uint8_t(1 << rotation);
                if ((n & known) == (value & known & 0x0F))
                    low[n] |= uint8_t(1 << rotation);
            }
        }
    }
};
constexpr AmigaTables amigaTables;

// One block a step. A sync sequence starting in stream byte i, at any bit,
// covers bytes i + 1 and i + 2 whole, and since the pattern repeats every
// 8 bits they hold the same rotation of A1. An AmigaDOS one holds a rotation
// of A1 in byte i + 1 and in byte i + 2 what amigaTables allow for it.
// Blocks with no such byte pair have no start bits; the others get the full
// test.
MFM_AVX2 void findSyncsAvx2(const uint64_t *s, uint64_t *start, bool amiga, size_t blocks, uint64_t *hits)
{
    const __m256i low = table(rotationTables.low), high = table(rotationTables.high);
    const __m256i amigaLow = table(amigaTables.low), amigaHigh = table(amigaTables.high);
    const __m256i m0f = _mm256_set1_epi8(0x0F);
    for (size_t b = 0; b < blocks; b++) {
        const size_t w = BLOCK * b;
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w));
        const __m256i n = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + w + 1));
        // In the place of each byte, the byte 1 and the byte 2 after it.
        const __m256i by8 = ahead4<8>(a, n), by16 = ahead4<16>(a, n);
        const __m256i lowNibbles = _mm256_and_si256(by8, m0f);
        const __m256i highNibbles = _mm256_and_si256(_mm256_srli_epi16(by8, 4), m0f);
        const __m256i rotation = _mm256_and_si256(_mm256_shuffle_epi8(low, lowNibbles),
                                                  _mm256_shuffle_epi8(high, highNibbles));
        __m256i fits = _mm256_cmpeq_epi8(by8, by16);
        if (amiga) {
            const __m256i lowNext = _mm256_and_si256(by16, m0f);
            const __m256i highNext = _mm256_and_si256(_mm256_srli_epi16(by16, 4), m0f);
            fits = _mm256_or_si256(fits, _mm256_and_si256(_mm256_shuffle_epi8(amigaLow, lowNext),
                                                          _mm256_shuffle_epi8(amigaHigh, highNext)));
        }
        const __m256i maybe = _mm256_and_si256(rotation, fits);
        __m256i found = _mm256_setzero_si256(), foundAmiga = _mm256_setzero_si256();
        if (!_mm256_testz_si256(maybe, maybe)) {
            found = syncsAt4(s, w, amiga ? &foundAmiga : nullptr);
            const __m256i any = _mm256_or_si256(found, foundAmiga);
            if (!_mm256_testz_si256(any, any))
                hits[b / 64] |= uint64_t(1) << (b % 64);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(start + w), found);
    }
}
#endif

// The search, in the version for this processor.
void findSyncs([[maybe_unused]] Level level, const uint64_t *s, uint64_t *start, bool amiga, size_t blocks,
               uint64_t *hits)
{
#ifdef MFM_X86_SIMD
    if (level == AVX2) {
        findSyncsAvx2(s, start, amiga, blocks, hits);
        return;
    }
#endif
    findSyncsScalar(s, start, amiga, blocks, hits);
}

#ifdef MFM_X86_SIMD
// streamBytes, four words a step.
MFM_AVX2 void streamBytesAvx2(const uint64_t *in, int n, uint8_t *out, size_t words)
{
    // A shift by 64 gives zero, so n = 0 needs no case of its own.
    const __m128i up = _mm_cvtsi32_si128(n), down = _mm_cvtsi32_si128(64 - n);
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i + 1));
        const __m256i v = _mm256_or_si256(_mm256_sll_epi64(a, up), _mm256_srl_epi64(b, down));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8 * i), _mm256_shuffle_epi8(v, reverse));
    }
    for (; i < words; i++) {
        const uint64_t v = __builtin_bswap64(in[i] << n | (in[i + 1] >> 1) >> (63 - n));
        memcpy(out + 8 * i, &v, 8);
    }
}
#endif

// Bytes from a stream. Writes out[0 .. 8 * words): byte j is stream bits
// n + 8j .. n + 8j + 7 of `in`; reads in[0 .. words].
void streamBytes([[maybe_unused]] Level level, const uint64_t *in, int n, uint8_t *out, size_t words)
{
#ifdef MFM_X86_SIMD
    if (level == AVX2) {
        streamBytesAvx2(in, n, out, words);
        return;
    }
#endif
    for (size_t i = 0; i < words; i++) {
        const uint64_t v = in[i] << n | (in[i + 1] >> 1) >> (63 - n);
        for (int k = 0; k < 8; k++)
            out[8 * i + size_t(k)] = uint8_t(v >> (56 - 8 * k));
    }
}

}

struct Scanner::Work {
    explicit Work(Level l) : level(l) {}
    const Level level;                          // the code this scanner runs
    std::vector<uint64_t> even, odd;            // one parity of cells, first cell high
    std::vector<uint64_t> evenStart, oddStart;  // bit k: A1 A1 A1 starts at stream bit k
    bool amiga = false;                         // whether this scan looks for AmigaDOS syncs
    std::vector<uint64_t> evenHits, oddHits;    // bit b: some start bit in words 4b .. 4b + 3
    std::vector<Field> fields;
    std::vector<uint8_t> arena;                 // A1 A1 A1, mark and bytes of each data field
    std::vector<size_t> dataBytes;              // bytes of each data field in the arena
    fm::Search fm;                              // FM's own search and its results

    void split(std::span<const uint8_t> cells, size_t words);
    void collect(size_t matchWords, DataLength length);
    // Marks other than ID and data leave this alone.
    struct MarkState {
        uint8_t lastMark = 0;
        int32_t lastId = -1;   // index of the last ID field
    };
    void readField(Field &fd, const uint64_t *stream, int64_t first, DataLength length, MarkState &t);
    bool readAmiga(Field &fd, const uint64_t *stream, int64_t first);
    void emit(uint64_t oddShifts, uint64_t evenShifts, int drop, int64_t group, bool isAmiga, DataLength length,
              MarkState &t);
};

// Splits the cells into the even- and odd-cell streams, `words` words each:
// word w holds the cells of input bytes 16w .. 16w + 15, zero beyond the
// input. Reads cells; writes even and odd.
void Scanner::Work::split(std::span<const uint8_t> cells, size_t words)
{
    even.resize(words);
    odd.resize(words);
    size_t w = cells.size() / CHUNK;
    splitChunks(level, cells.data(), w, odd.data(), even.data());
    if (w * CHUNK < cells.size()) {
        uint8_t tail[CHUNK] = {};
        memcpy(tail, cells.data() + w * CHUNK, cells.size() - w * CHUNK);
        splitChunks(level, tail, 1, odd.data() + w, even.data() + w);
        w++;
    }
    std::fill(even.begin() + ptrdiff_t(w), even.end(), 0);
    std::fill(odd.begin() + ptrdiff_t(w), odd.end(), 0);
}

// Decodes into fd, the last of the fields, the field whose data bit 7 of
// cell word 0 is stream bit `first`.
void Scanner::Work::readField(Field &fd, const uint64_t *stream, int64_t first, DataLength length, MarkState &t)
{
    auto byte = [&](int word) { return uint8_t(streamBits(stream, first + 8 * word, 8)); };
    auto crcAt = [&](int word) { return uint16_t(byte(word) << 8 | byte(word + 1)); };
    fd.mark = byte(WORD_MARK);
    if (fd.mark == MARK_ID) {
        const uint8_t field[HEAD_BYTES + ID_BYTES] = {0xA1, 0xA1, 0xA1, MARK_ID, byte(WORD_BODY), byte(WORD_BODY + 1),
                                                      byte(WORD_BODY + 2), byte(WORD_BODY + 3)};
        fd.track = field[4], fd.side = field[5], fd.sector = field[6], fd.size = field[7];
        fd.computedCrc = crc16_table(field, sizeof field);
        fd.storedCrc = crcAt(WORD_BODY + ID_BYTES);
        fd.decoded = true;
        t.lastMark = MARK_ID;
        t.lastId = int32_t(fields.size() - 1);
        return;
    }
    if (fd.mark != MARK_DATA && !(length == DataLength::fromId && isDeletedMark(fd.mark)))
        return;
    fd.introduced = t.lastMark == MARK_ID;
    fd.id = fd.introduced && fd.bit - fields[size_t(t.lastId)].bit <= BIND_CELLS ? t.lastId : -1;
    t.lastMark = MARK_DATA;
    int32_t bytes = SECTOR_SIZE;
    if (length == DataLength::fromId) {
        if (fd.id < 0 || fields[size_t(fd.id)].size > MAX_SIZE_CODE)
            return;
        bytes = sizeCodeBytes(fields[size_t(fd.id)].size);
    }
    const size_t at = arena.size();
    arena.resize(at + HEAD_BYTES + size_t(bytes));
    uint8_t *out = arena.data() + at;
    out[0] = out[1] = out[2] = 0xA1;
    out[3] = fd.mark;
    const int64_t body = first + 8 * WORD_BODY;
    streamBytes(level, stream + (body >> 6), int(body & 63), out + HEAD_BYTES, size_t(bytes) / 8);
    fd.computedCrc = crc16_table(out, uint16_t(HEAD_BYTES + bytes));
    fd.storedCrc = crcAt(WORD_BODY + bytes);
    fd.decoded = true;
    // The span is set once the arena has stopped growing.
    dataBytes.push_back(size_t(bytes));
}

// Decodes into fd, the last of the fields, the AmigaDOS sector whose first
// sync data bit is stream bit `first`; false (fd to be dropped) when the
// sync is the end of an IBM one (A1 before it).
bool Scanner::Work::readAmiga(Field &fd, const uint64_t *stream, int64_t first)
{
    if (first >= 8 && streamBits(stream, first - 8, 8) == 0xA1)
        return false;
    constexpr size_t WORDS = (amiga::FIELD_BYTES + 7) / 8;
    uint8_t raw[8 * WORDS];
    const int64_t body = first + 16;
    streamBytes(level, stream + (body >> 6), int(body & 63), raw, WORDS);
    const size_t at = arena.size();
    arena.resize(at + HEAD_BYTES + amiga::SECTOR_BYTES);
    amiga::Header h;
    amiga::decodeSector(std::span<const uint8_t, amiga::FIELD_BYTES>(raw, amiga::FIELD_BYTES), h,
                        std::span<uint8_t, amiga::SECTOR_BYTES>(arena.data() + at + HEAD_BYTES, amiga::SECTOR_BYTES));
    fd.family = Family::amiga;
    fd.mark = h.format;
    fd.track = uint8_t(h.track >> 1), fd.side = uint8_t(h.track & 1), fd.sector = h.sector, fd.size = 2;
    fd.headerOk = h.headerOk, fd.dataOk = h.dataOk, fd.toGap = h.toGap, fd.dataSum = h.dataSum;
    fd.decoded = true;
    dataBytes.push_back(amiga::SECTOR_BYTES);
    return true;
}

// Reports the field of the earliest bit of byte `drop` / 8 of the shifts of
// one family, at scan position `group`.
void Scanner::Work::emit(uint64_t oddShifts, uint64_t evenShifts, int drop, int64_t group, bool isAmiga,
                         DataLength length, MarkState &t)
{
    const int oddFirst = firstBit(unsigned(oddShifts >> drop) & 0xFF);
    const int evenFirst = firstBit(unsigned(evenShifts >> drop) & 0xFF);
    if (oddFirst == 8 && evenFirst == 8)
        return;
    const bool odds = oddFirst <= evenFirst;
    const uint64_t *stream = odds ? odd.data() : even.data();
    const int64_t first = odds ? 8 * group + oddFirst : 8 * group + evenFirst + 1;
    Field &fd = fields.emplace_back();
    fd.bit = odds ? 16 * group + 2 * oddFirst : 16 * group + 2 * evenFirst + 1;
    if (!isAmiga)
        readField(fd, stream, first, length, t);
    else if (!readAmiga(fd, stream, first))
        fields.pop_back();
}

// Reports the fields of match words 0 .. matchWords - 1 in order, visiting
// only the blocks where either stream has a start bit; match word w reads
// the even stream's start bits from word w + 1 too, so an even block also
// visits the block before it.
void Scanner::Work::collect(size_t matchWords, DataLength length)
{
    fields.clear();
    arena.clear();
    dataBytes.clear();
    MarkState t;
    const size_t n = oddHits.size();
    for (size_t h = 0; h < n; h++) {
        uint64_t visit = oddHits[h] | evenHits[h] | evenHits[h] >> 1 | (h + 1 < n ? evenHits[h + 1] << 63 : 0);
        while (visit) {
            const size_t b = 64 * h + size_t(__builtin_ctzll(visit));
            visit &= visit - 1;
            for (size_t w = BLOCK * b; w < std::min(BLOCK * b + BLOCK, matchWords); w++) {
                // Byte j of these words is scan position 2 * (8w + j): at bit i
                // of the byte, shift 2i in the odd-cell stream and shift 2i + 1
                // in the even-cell stream (whose bit 8g + 1 + i starts at
                // stream bit 16g + 2i + 1).
                const uint64_t evenShifts = ahead(evenStart.data(), w, 1);
                const uint64_t oddShifts = oddStart[w];
                const uint64_t evenAmigaShifts =
                    amiga ? amigaAt(even.data(), w) << 1 | amigaAt(even.data(), w + 1) >> 63 : 0;
                const uint64_t oddAmigaShifts = amiga ? amigaAt(odd.data(), w) : 0;
                uint64_t pending = evenShifts | oddShifts | evenAmigaShifts | oddAmigaShifts;
                while (pending) {
                    const int j = __builtin_clzll(pending) / 8;
                    const int drop = 56 - 8 * j;
                    const int64_t group = int64_t(8 * w) + j;
                    // Of the two families at one position, the earlier bit first.
                    const uint64_t ibmHere = (evenShifts | oddShifts) >> drop & 0xFF;
                    const uint64_t amigaHere = (evenAmigaShifts | oddAmigaShifts) >> drop & 0xFF;
                    const bool amigaFirst = amigaHere && (!ibmHere || firstBit(unsigned(amigaHere)) < firstBit(unsigned(ibmHere)));
                    emit(amigaFirst ? oddAmigaShifts : oddShifts, amigaFirst ? evenAmigaShifts : evenShifts, drop, group,
                         amigaFirst, length, t);
                    if (amigaHere && ibmHere)
                        emit(amigaFirst ? oddShifts : oddAmigaShifts, amigaFirst ? evenShifts : evenAmigaShifts, drop,
                             group, !amigaFirst, length, t);
                    pending &= ~(uint64_t(0xFF) << drop);
                }
            }
        }
    }
    // The arena holds the decoded data fields one after another.
    size_t at = 0, k = 0;
    for (Field &fd : fields)
        if ((fd.family == Family::amiga || fd.mark != MARK_ID) && fd.decoded) {
            fd.data = std::span<const uint8_t>(arena.data() + at + HEAD_BYTES, dataBytes[k]);
            at += HEAD_BYTES + dataBytes[k++];
        }
}

bool anySoundId(std::span<const Field> fields)
{
    return std::any_of(fields.begin(), fields.end(), [](const Field &fd) { return fd.mark == MARK_ID && fd.crcOk(); });
}

int countSyncWords(std::span<const uint8_t> cells, int64_t from, int64_t to)
{
    constexpr unsigned SYNC = 0x4489;
    constexpr int WORD = 16;
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, int64_t(cells.size()) * 8);
    int count = 0;
    int64_t next = from;   // the next sync word may start here
    for (int64_t i = from; i + WORD <= to; i += cellbits::STARTS) {
        // Earliest first, none overlapping the one before.
        for (uint64_t m = cellbits::startsOf(cellbits::cells64(cells, i), SYNC, WORD); m;) {
            const int j = std::countl_zero(m);
            m &= ~(uint64_t(1) << (63 - j));
            const int64_t start = i + j;
            if (start >= next && start + WORD <= to)
                count++, next = start + WORD;
        }
    }
    return count;
}

Scanner::Scanner(Simd simd) : work_(new Work(levelFor(simd))) {}
Scanner::~Scanner() { delete work_; }

std::span<const Field> Scanner::scan(std::span<const uint8_t> cells, DataLength length, bool amiga)
{
    Work &k = *work_;
    // Each stream holds half the cells: 64 data cells (8 scan positions) a word.
    const size_t matchWords = (cells.size() + CHUNK - 1) / CHUNK;
    const size_t words = matchWords + STREAM_PAD;
    k.split(cells, words);
    // Start bits are wanted for match words 0 .. matchWords (see collect).
    const size_t blocks = (matchWords + 1 + BLOCK - 1) / BLOCK;
    k.evenStart.resize(BLOCK * blocks);
    k.oddStart.resize(BLOCK * blocks);
    k.evenHits.assign((blocks + 63) / 64, 0);
    k.oddHits.assign((blocks + 63) / 64, 0);
    k.amiga = amiga;
    findSyncs(k.level, k.odd.data(), k.oddStart.data(), amiga, blocks, k.oddHits.data());
    findSyncs(k.level, k.even.data(), k.evenStart.data(), amiga, blocks, k.evenHits.data());
    k.collect(matchWords, length);
    return k.fields;
}

std::span<const Field> Scanner::scanFm(std::span<const uint8_t> cells, int scale)
{
    return work_->fm.scan(cells, scale);
}

}
