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
#include "mfm/mfm.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__) && !defined(MFM_NO_SIMD)
#include <emmintrin.h>
#endif

namespace mfm {

namespace {

constexpr int CHUNK = 16;                  // input bytes split in one step
// Field offsets in cell words from the start of the sync sequence.
constexpr int WORD_MARK = 3;
constexpr int WORD_BODY = 4;               // ID bytes or data bytes
constexpr int ID_BYTES = 4;
constexpr int HEAD_BYTES = 4;              // A1 A1 A1 and the mark, under the CRC
constexpr int MAX_DATA = sizeCodeBytes(MAX_SIZE_CODE);
// Zero words after each stream: a field of the largest size that starts at
// the last bit offset, and the look-ahead of the search, read only zeros.
constexpr size_t STREAM_PAD = (WORD_BODY + MAX_DATA + 2) * 8 / 64 + 4;

[[gnu::always_inline]] inline uint64_t loadBigEndian(const uint8_t *p)
{
    uint64_t x = 0;
    for (int i = 0; i < 8; i++)
        x = (x << 8) | p[i];
    return x;
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

#if defined(__SSE2__) && !defined(MFM_NO_SIMD)
// Sixteen bytes of cells: in each byte keep one parity of cells and pack
// them into a nibble, then join the nibbles of neighbouring bytes; the odd
// cells' 8 bytes go to `odd`, the even cells' to `even`.
inline void splitChunk(const uint8_t *in, uint8_t *odd, uint8_t *even)
{
    const __m128i m55 = _mm_set1_epi8(0x55), m33 = _mm_set1_epi8(0x33), m0f = _mm_set1_epi8(0x0F);
    const __m128i mf0 = _mm_set1_epi16(0x00F0);
    // Shifts run on 16-bit lanes; the masks drop the bits that cross bytes.
    auto nibbles = [&](__m128i x) {
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 1)), m33);
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 2)), m0f);
        return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(x, 4), mf0), _mm_srli_epi16(x, 8));
    };
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i packed = _mm_packus_epi16(nibbles(_mm_and_si128(x, m55)),
                                            nibbles(_mm_and_si128(_mm_srli_epi16(x, 1), m55)));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(odd), packed);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(even), _mm_srli_si128(packed, 8));
}
#else
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

inline void splitChunk(const uint8_t *in, uint8_t *odd, uint8_t *even)
{
    const uint64_t hi = loadBigEndian(in), lo = loadBigEndian(in + 8);
    // In a big-endian word the first cell is bit 63: even cells sit at odd bits.
    const uint64_t e = packEvenBits(hi >> 1) << 32 | packEvenBits(lo >> 1);
    const uint64_t o = packEvenBits(hi) << 32 | packEvenBits(lo);
    for (int k = 0; k < 8; k++) {
        even[k] = uint8_t(e >> (56 - 8 * k));
        odd[k] = uint8_t(o >> (56 - 8 * k));
    }
}
#endif

// Sets bit k of `start` where stream bits k..k+23 read A1 A1 A1, for the
// first `words` words; `scratch` holds words + 3 words of work.
void findSyncs(const uint64_t *s, uint64_t *start, uint64_t *scratch, size_t words)
{
    // First where the 8 bits from k read A1 (1010 0001), then where that holds
    // at k, k + 8 and k + 16.
    for (size_t w = 0; w < words + 2; w++) {
        const uint64_t zeros = ahead(s, w, 1) | ahead(s, w, 3) | ahead(s, w, 4) | ahead(s, w, 5) | ahead(s, w, 6);
        scratch[w] = s[w] & ahead(s, w, 2) & ahead(s, w, 7) & ~zeros;
    }
    scratch[words + 2] = 0;
    for (size_t w = 0; w < words + 1; w++)
        start[w] = scratch[w] & ahead(scratch, w, 8) & ahead(scratch, w, 16);
}

}

struct Scanner::Work {
    std::vector<uint8_t> evenBytes, oddBytes;   // one parity of cells, 8 to a byte
    std::vector<uint64_t> even, odd;            // the same as 64-bit words, first cell high
    std::vector<uint64_t> evenStart, oddStart;  // bit k: A1 A1 A1 starts at stream bit k
    std::vector<uint64_t> scratch;
    std::vector<Field> fields;
    std::vector<uint8_t> arena;                 // A1 A1 A1, mark and bytes of each data field
    std::vector<size_t> dataBytes;              // bytes of each data field in the arena

    void split(std::span<const uint8_t> cells, size_t words);
    void collect(size_t matchWords, DataLength length);
    // Marks other than ID and data leave this alone.
    struct MarkState {
        uint8_t lastMark = 0;
        int32_t lastId = -1;   // index of the last ID field
    };
    void readField(Field &fd, const uint64_t *stream, int64_t first, DataLength length, MarkState &t);
};

// Splits the cells into the even- and odd-cell streams of `words` words
// each, zero beyond the input.
void Scanner::Work::split(std::span<const uint8_t> cells, size_t words)
{
    const size_t bytes = words * 8;
    evenBytes.assign(bytes, 0);
    oddBytes.assign(bytes, 0);
    const size_t whole = cells.size() / CHUNK * CHUNK;
    for (size_t i = 0; i < whole; i += CHUNK)
        splitChunk(cells.data() + i, oddBytes.data() + i / 2, evenBytes.data() + i / 2);
    if (whole < cells.size()) {
        uint8_t tail[CHUNK] = {};
        memcpy(tail, cells.data() + whole, cells.size() - whole);
        splitChunk(tail, oddBytes.data() + whole / 2, evenBytes.data() + whole / 2);
    }
    even.resize(words);
    odd.resize(words);
    for (size_t w = 0; w < words; w++) {
        even[w] = loadBigEndian(evenBytes.data() + 8 * w);
        odd[w] = loadBigEndian(oddBytes.data() + 8 * w);
    }
}

// Decodes the field whose data bit 7 of cell word 0 is stream bit `first`.
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
        t.lastId = int32_t(fields.size());
        return;
    }
    if (fd.mark != MARK_DATA)
        return;
    fd.introduced = t.lastMark == MARK_ID;
    fd.id = fd.introduced ? t.lastId : -1;
    t.lastMark = MARK_DATA;
    int32_t bytes = SECTOR_SIZE;
    if (length == DataLength::fromId) {
        if (!fd.introduced || fields[size_t(fd.id)].size > MAX_SIZE_CODE)
            return;
        bytes = sizeCodeBytes(fields[size_t(fd.id)].size);
    }
    const size_t at = arena.size();
    arena.resize(at + HEAD_BYTES + size_t(bytes));
    uint8_t *out = arena.data() + at;
    out[0] = out[1] = out[2] = 0xA1;
    out[3] = MARK_DATA;
    for (int i = 0; i < bytes; i += 8) {
        const int64_t bit = first + 8 * (WORD_BODY + i);
        const uint64_t v = ahead(stream, size_t(bit >> 6), int(bit & 63));
        for (int k = 0; k < 8; k++)
            out[HEAD_BYTES + i + k] = uint8_t(v >> (56 - 8 * k));
    }
    fd.computedCrc = crc16_table(out, uint16_t(HEAD_BYTES + bytes));
    fd.storedCrc = crcAt(WORD_BODY + bytes);
    fd.decoded = true;
    // The span is set once the arena has stopped growing.
    dataBytes.push_back(size_t(bytes));
}

void Scanner::Work::collect(size_t matchWords, DataLength length)
{
    fields.clear();
    arena.clear();
    dataBytes.clear();
    MarkState t;
    for (size_t w = 0; w < matchWords; w++) {
        // Byte j of these words is scan position 2 * (8w + j): at bit i of the
        // byte, shift 2i in the odd-cell stream and shift 2i + 1 in the
        // even-cell stream (whose bit 8g + 1 + i starts at stream bit 16g + 2i + 1).
        const uint64_t evenShifts = ahead(evenStart.data(), w, 1);
        const uint64_t oddShifts = oddStart[w];
        uint64_t pending = evenShifts | oddShifts;
        while (pending) {
            const int j = __builtin_clzll(pending) / 8;
            const int drop = 56 - 8 * j;
            const int oddFirst = firstBit(unsigned(oddShifts >> drop) & 0xFF);
            const int evenFirst = firstBit(unsigned(evenShifts >> drop) & 0xFF);
            const int64_t group = int64_t(8 * w) + j;
            Field fd;
            if (oddFirst <= evenFirst) {
                fd.bit = 16 * group + 2 * oddFirst;
                readField(fd, odd.data(), 8 * group + oddFirst, length, t);
            } else {
                fd.bit = 16 * group + 2 * evenFirst + 1;
                readField(fd, even.data(), 8 * group + evenFirst + 1, length, t);
            }
            fields.push_back(fd);
            pending &= ~(uint64_t(0xFF) << drop);
        }
    }
    // The arena holds the decoded data fields one after another.
    size_t at = 0, n = 0;
    for (Field &fd : fields)
        if (fd.mark == MARK_DATA && fd.decoded) {
            fd.data = std::span<const uint8_t>(arena.data() + at + HEAD_BYTES, dataBytes[n]);
            at += HEAD_BYTES + dataBytes[n++];
        }
}

Scanner::Scanner() : work_(new Work) {}
Scanner::~Scanner() { delete work_; }

std::span<const Field> Scanner::scan(std::span<const uint8_t> cells, DataLength length)
{
    Work &k = *work_;
    // Each stream holds half the cells: 64 data cells (8 scan positions) a word.
    const size_t matchWords = (cells.size() + CHUNK - 1) / CHUNK;
    const size_t words = matchWords + STREAM_PAD;
    k.split(cells, words);
    k.scratch.resize(words + 3);
    k.evenStart.resize(matchWords + 2);
    k.oddStart.resize(matchWords + 2);
    findSyncs(k.odd.data(), k.oddStart.data(), k.scratch.data(), matchWords);
    findSyncs(k.even.data(), k.evenStart.data(), k.scratch.data(), matchWords);
    k.collect(matchWords, length);
    return k.fields;
}

}
