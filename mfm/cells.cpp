// Cell primitives: banner, cell-word decoding, clock checking, bit shifting
// and the CRC of the IBM track format.
#include "mfm/mfm.h"

#include <cstring>
#if defined(__x86_64__) && !defined(MFM_NO_SIMD)
#define MFM_CRC_FOLD 1
#include <immintrin.h>
#endif

void printversion(const char *name)
{
    printf("%s built using Quillon %08x\n", name, MFM_VERSION);
}

uint8_t decode_byte(const uint8_t *cells)
{
    const unsigned w = (unsigned(cells[0]) << 8) | cells[1];
    unsigned byte = 0;
    for (int k = 0; k < 8; k++)
        byte |= ((w >> (2 * k)) & 1u) << k;
    return uint8_t(byte);
}

int check_byte(const uint8_t *cells, int prev, char *trace)
{
    // Marker of each cell pair (clock * 2 + data), after a data bit 0 and 1:
    // after a 0 exactly one cell must be set, after a 1 the clock must be 0.
    static const char *const marker[2][4] = {
        {"(er0)", "(ok0)", "(ok0)", "(er0)"},
        {"(ok1)", "(ok1)", "(er1)", "(er1)"},
    };
    const unsigned w = (unsigned(cells[0]) << 8) | cells[1];
    int last = prev != 0;
    int error = 0;
    memcpy(trace, "mfm 0 ..", 8);
    trace[4] = char('0' + last);
    char *out = trace + 8;
    for (int s = 14; s >= 0; s -= 2) {
        const unsigned pair = (w >> s) & 3u;
        const char *m = marker[last][pair];
        *out++ = char('0' + pair);
        memcpy(out, m, 5);
        out += 5;
        error |= m[1] == 'e';
        last = int(pair & 1u);
    }
    *out = '\0';
    return error;
}

// Shifts `length` bytes by `bits`, taking `after` as the byte that follows
// the range. Blocks of 16 read bytes i..i+16 before they write i..i+15, in
// ascending order, so the result equals the byte-by-byte order.
static void shiftRange(uint8_t *data, int32_t length, uint8_t bits, uint8_t after)
{
    if (length <= 0 || bits > 8)
        return;
    const unsigned up = bits, down = 8u - bits;
    int32_t i = 0;
    for (; i + 16 < length; i += 16) {
        uint8_t in[17];
        memcpy(in, data + i, sizeof in);
        for (int k = 0; k < 16; k++)
            data[i + k] = uint8_t((unsigned(in[k]) << up) | (unsigned(in[k + 1]) >> down));
    }
    for (; i < length; i++) {
        const unsigned next = i + 1 < length ? data[i + 1] : after;
        data[i] = uint8_t((unsigned(data[i]) << up) | (next >> down));
    }
}

void shift(uint8_t *data, int32_t length, uint8_t bits)
{
    if (length > 0)
        shiftRange(data, length, bits, data[length]);
}

void shift_end(uint8_t *data, int32_t length, uint8_t bits)
{
    shiftRange(data, length, bits, 0);
}

uint16_t crc16(const uint8_t *data, uint16_t length)
{
    unsigned crc = 0xFFFF;
    for (unsigned i = 0; i < length; i++)
        for (int bit = 7; bit >= 0; bit--) {
            const unsigned in = (data[i] >> bit) & 1u;
            if (((crc >> 15) & 1u) != in)
                crc = ((crc << 1) ^ 0x1021) & 0xFFFF;
            else
                crc = (crc << 1) & 0xFFFF;
        }
    return uint16_t(crc);
}

namespace {
// Slicing-by-8 tables: t[k][b] is the CRC contribution of byte b followed by
// k zero bytes, so eight input bytes fold into the CRC in one step.
struct CrcTables {
    uint16_t t[8][256];
    constexpr CrcTables() : t()
    {
        for (unsigned b = 0; b < 256; b++) {
            unsigned crc = b << 8;
            for (int k = 0; k < 8; k++)
                crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
            t[0][b] = uint16_t(crc);
        }
        for (int k = 1; k < 8; k++)
            for (unsigned b = 0; b < 256; b++)
                t[k][b] = uint16_t((t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 8]);
    }
};
constexpr CrcTables crcTables;

// Continues the CRC `crc` over `length` bytes from `data`; returns it.
unsigned crcBytes(unsigned crc, const uint8_t *data, size_t length)
{
    const auto &t = crcTables.t;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint8_t *d = data + i;
        crc = t[7][d[0] ^ (crc >> 8)] ^ t[6][d[1] ^ (crc & 0xFF)] ^ t[5][d[2]] ^ t[4][d[3]] ^ t[3][d[4]] ^
              t[2][d[5]] ^ t[1][d[6]] ^ t[0][d[7]];
    }
    for (; i < length; i++)
        crc = ((crc << 8) ^ t[0][((crc >> 8) ^ data[i]) & 0xFF]) & 0xFFFF;
    return crc;
}

#ifdef MFM_CRC_FOLD
// Folding with carry-less multiplication. Take the message as a polynomial
// over GF(2), its first bit the highest power, and P = x^16 + x^12 + x^5 + 1.
// The CRC of an n-bit message M is (M + 0xFFFF x^(n-16)) x^16 mod P: the
// register's initial ones act as the message's first 16 bits inverted.
// A 128-bit value A = H x^64 + L followed by D more bits is worth A x^D,
// which is congruent mod P to H (x^(D+64) mod P) + L (x^D mod P); both
// products are below 80 bits wide, so adding the next D bits keeps 128.
// Folding block after block leaves a 128-bit R congruent to the whole
// message; two more products bring it to a 64-bit W, and the CRC is
// W x^16 mod P: the CRC of W's 8 bytes from a zero register.

// x^n mod P as a number, bit i the coefficient of x^i.
constexpr uint64_t xPowMod(unsigned n)
{
    uint64_t r = 1;
    for (unsigned i = 0; i < n; i++) {
        r <<= 1;
        if (r & 0x10000)
            r ^= 0x11021;
    }
    return r;
}

// Messages shorter than this go by table.
constexpr size_t FOLD_MIN = 64;

// Decided once, at start-up (until then false: the table serves).
const bool cpuFolds = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"));

#define MFM_FOLD __attribute__((target("pclmul,ssse3")))

// Byte shuffles of a 128-bit value: loaded from slide + 16 - t they move
// bytes t places up, from slide + 32 - t they move them 16 - t places down;
// the bytes left empty read zero.
alignas(16) constexpr uint8_t slide[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

// x with its bytes in the order of the 16 indices at `order`.
MFM_FOLD inline __m128i shuffle(__m128i x, const uint8_t *order)
{
    return _mm_shuffle_epi8(x, _mm_loadu_si128(reinterpret_cast<const __m128i *>(order)));
}

// 16 bytes from p as a 128-bit polynomial, p[0] the high byte.
MFM_FOLD inline __m128i loadBlock(const uint8_t *p)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

// a x^D mod P as at most 128 bits, k holding x^(D+64) mod P high and x^D mod P low.
MFM_FOLD inline __m128i fold(__m128i a, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00));
}

// The CRC of `length` (>= 16) bytes from `data`: four blocks of 16 bytes a
// step while there are eight or more, then one a step, then the last
// `length` % 16 bytes. Reads data[0 .. length).
MFM_FOLD unsigned crcFold(const uint8_t *data, size_t length)
{
    const __m128i by128 = _mm_set_epi64x(int64_t(xPowMod(192)), int64_t(xPowMod(128)));
    const __m128i by512 = _mm_set_epi64x(int64_t(xPowMod(576)), int64_t(xPowMod(512)));
    const size_t blocks = length / 16;
    const __m128i ones = _mm_set_epi64x(int64_t(0xFFFF000000000000ull), 0);
    __m128i r = _mm_xor_si128(loadBlock(data), ones);
    size_t b = 1;
    if (blocks >= 8) {
        __m128i a[4] = {r, loadBlock(data + 16), loadBlock(data + 32), loadBlock(data + 48)};
        for (b = 4; b + 4 <= blocks; b += 4)
            for (int j = 0; j < 4; j++)
                a[j] = _mm_xor_si128(fold(a[j], by512), loadBlock(data + 16 * (b + size_t(j))));
        r = a[0];
        for (int j = 1; j < 4; j++)
            r = _mm_xor_si128(fold(r, by128), a[j]);
    }
    for (; b < blocks; b++)
        r = _mm_xor_si128(fold(r, by128), loadBlock(data + 16 * b));
    // The t bytes left over: r x^8t plus them is r's top t bytes, moved
    // down, times x^128, plus r's other bytes moved t places up with the t
    // bytes below them.
    const int t = int(length % 16);
    if (t) {
        const __m128i last = loadBlock(data + length - 16);   // the t bytes lowest
        const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i tail = _mm_and_si128(last, _mm_cmpgt_epi8(_mm_set1_epi8(char(t)), index));
        const __m128i up = _mm_or_si128(shuffle(r, slide + 16 - t), tail);
        r = _mm_xor_si128(fold(shuffle(r, slide + 32 - t), by128), up);
    }
    // r = H x^64 + L: H x^64 is congruent to H (x^64 mod P) = Q1 x^64 + Q0,
    // Q1 below 16 bits, and Q1 x^64 to Q1 (x^64 mod P), below 32.
    const __m128i x64 = _mm_set_epi64x(0, int64_t(xPowMod(64)));
    const __m128i q = _mm_clmulepi64_si128(r, x64, 0x01);
    const __m128i w = _mm_xor_si128(_mm_xor_si128(r, q), _mm_clmulepi64_si128(q, x64, 0x01));
    const uint64_t v = uint64_t(_mm_cvtsi128_si64(w));
    const auto &tb = crcTables.t;
    return tb[7][v >> 56] ^ tb[6][(v >> 48) & 0xFF] ^ tb[5][(v >> 40) & 0xFF] ^ tb[4][(v >> 32) & 0xFF] ^
           tb[3][(v >> 24) & 0xFF] ^ tb[2][(v >> 16) & 0xFF] ^ tb[1][(v >> 8) & 0xFF] ^ tb[0][v & 0xFF];
}
#endif
}

uint16_t crc16_table(const uint8_t *data, uint16_t length)
{
#ifdef MFM_CRC_FOLD
    if (length >= FOLD_MIN && cpuFolds)
        return uint16_t(crcFold(data, length));
#endif
    return uint16_t(crcBytes(0xFFFF, data, length));
}
