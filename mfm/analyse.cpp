// Track analyser: finds the sync sequences of an IBM MFM track at every bit
// offset of a TrackSlot, decodes the fields behind them and fills the sector
// table.
//
// IBM MFM track layout (one revolution of one head; a slot holds both heads
// of a cylinder, each field found wherever its cells begin):
//
//   gap 4a  4E x 80 | 00 x 12 | C2 C2 C2 FC (index mark) | gap 1  4E x 50
//   then per sector:
//   +---------+-----------------+----+---+---+---+---+-------+--------+
//   | 00 x 12 | A1 A1 A1 (sync) | FE | C | H | R | N | CRC16 | gap 2  |
//   +---------+-----------------+----+---+---+---+---+-------+--------+
//   | 00 x 12 | A1 A1 A1 (sync) | FB | 512 data bytes | CRC16 | gap 3  |
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
// Scan. A sync sequence whose first cell lies at bit b of the buffer is
// reported at scan position p = 2 * (b / 16) with shift s = b % 16; at each
// position only the smallest passing shift counts. Instead of shifting the
// buffer, the analyser splits the cells into their two parities once per
// track. For an even b the data cells of every cell word from b lie in the
// odd-cell stream, for an odd b in the even-cell stream, so the 24-bit pattern
// A1 A1 A1 is searched in both streams with word-wide bit operations, and
// every field byte is 8 consecutive bits of one stream. Cells beyond the end
// of the buffer read as zero; the buffer itself is never modified.
#include "mfm/mfm.h"
#include "mfm/hexfmt.h"

#include <cstring>
#if defined(__SSE2__) && !defined(MFM_NO_SIMD)
#include <emmintrin.h>
#endif

namespace {

constexpr int32_t TRACK_CELLS = TRACK_SLOT_SIZE * 8;
constexpr int32_t GROUPS = TRACK_SLOT_SIZE / 2;            // scan positions
constexpr int32_t MATCH_WORDS = GROUPS / 8;                // 8 groups per word
// Each stream holds half the cells; the padding (zero cells) covers a data
// field that starts at the last bit offset, and the look-ahead of the search.
constexpr int32_t STREAM_WORDS = TRACK_CELLS / 2 / 64 + 80;

// Field offsets in cell words from the start of the sync sequence.
constexpr int WORD_MARK = 3;
constexpr int WORD_ID = 4;          // track, side, sector, size, CRC high, CRC low
constexpr int WORD_DATA = 4;        // 512 data bytes
constexpr int WORD_DATA_CRC = WORD_DATA + SECTOR_SIZE;
constexpr int ID_BYTES = 4;
constexpr int DUMP_WORDS_PER_LINE = 16;

uint64_t evenCells[STREAM_WORDS];   // cells 0, 2, 4, ... most significant bit first
uint64_t oddCells[STREAM_WORDS];    // cells 1, 3, 5, ...
uint64_t evenStart[STREAM_WORDS];   // bit k: A1 A1 A1 starts at stream bit k
uint64_t oddStart[STREAM_WORDS];
uint64_t scratch[STREAM_WORDS];

[[gnu::always_inline]] inline uint64_t loadBigEndian(const uint8_t *p)
{
    uint64_t x = 0;
    for (int i = 0; i < 8; i++)
        x = (x << 8) | p[i];
    return x;
}

#if defined(__SSE2__) && !defined(MFM_NO_SIMD)
// Sixteen bytes of cells at a time: in each byte keep one parity of cells
// and pack them into a nibble, then join the nibbles of neighbouring bytes.
void splitCells()
{
    alignas(16) static uint8_t evenBytes[TRACK_SLOT_SIZE / 2], oddBytes[TRACK_SLOT_SIZE / 2];
    const __m128i m55 = _mm_set1_epi8(0x55), m33 = _mm_set1_epi8(0x33), m0f = _mm_set1_epi8(0x0F);
    const __m128i mf0 = _mm_set1_epi16(0x00F0);
    // Shifts run on 16-bit lanes; the masks drop the bits that cross bytes.
    auto nibbles = [&](__m128i x) {
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 1)), m33);
        x = _mm_and_si128(_mm_or_si128(x, _mm_srli_epi16(x, 2)), m0f);
        return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(x, 4), mf0), _mm_srli_epi16(x, 8));
    };
    for (int32_t i = 0; i < TRACK_SLOT_SIZE; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + i));
        const __m128i odd = nibbles(_mm_and_si128(x, m55));
        const __m128i even = nibbles(_mm_and_si128(_mm_srli_epi16(x, 1), m55));
        const __m128i packed = _mm_packus_epi16(odd, even);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(oddBytes + i / 2), packed);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(evenBytes + i / 2), _mm_srli_si128(packed, 8));
    }
    for (int32_t w = 0; w < TRACK_CELLS / 128; w++) {
        evenCells[w] = loadBigEndian(evenBytes + 8 * w);
        oddCells[w] = loadBigEndian(oddBytes + 8 * w);
    }
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

void splitCells()
{
    for (int32_t w = 0; w < TRACK_CELLS / 128; w++) {
        const uint64_t hi = loadBigEndian(buffer + 16 * w);
        const uint64_t lo = loadBigEndian(buffer + 16 * w + 8);
        // In a big-endian word the first cell is bit 63: even cells sit at odd bits.
        evenCells[w] = packEvenBits(hi >> 1) << 32 | packEvenBits(lo >> 1);
        oddCells[w] = packEvenBits(hi) << 32 | packEvenBits(lo);
    }
}
#endif

// Bits w*64+n .. w*64+n+63 of a stream (n < 64).
[[gnu::always_inline]] inline uint64_t ahead(const uint64_t *s, int32_t w, int n)
{
    return n == 0 ? s[w] : (s[w] << n) | (s[w + 1] >> (64 - n));
}

// Sets bit k of `start` where stream bits k..k+23 read A1 A1 A1.
void findSyncs(const uint64_t *s, uint64_t *start)
{
    // First where the 8 bits from k read A1 (1010 0001), then where that holds
    // at k, k + 8 and k + 16.
    const int32_t words = MATCH_WORDS + 2;
    for (int32_t w = 0; w < words; w++) {
        const uint64_t zeros = ahead(s, w, 1) | ahead(s, w, 3) | ahead(s, w, 4) | ahead(s, w, 5) | ahead(s, w, 6);
        scratch[w] = s[w] & ahead(s, w, 2) & ahead(s, w, 7) & ~zeros;
    }
    scratch[words] = 0;
    for (int32_t w = 0; w < words - 1; w++)
        start[w] = scratch[w] & ahead(scratch, w, 8) & ahead(scratch, w, 16);
}

// n (1..57) stream bits from bit `pos`, as a number.
inline unsigned streamBits(const uint64_t *s, int32_t pos, int n)
{
    return unsigned(ahead(s, pos >> 6, pos & 63) >> (64 - n));
}

inline uint8_t cellByte(int32_t i) { return i < TRACK_SLOT_SIZE ? buffer[i] : 0; }

// The 16 cells from bit `bit` of the track as a cell word.
unsigned cellWord(int32_t bit)
{
    const int32_t i = bit >> 3;
    const uint32_t v = uint32_t(cellByte(i)) << 16 | uint32_t(cellByte(i + 1)) << 8 | cellByte(i + 2);
    return (v >> (8 - (bit & 7))) & 0xFFFF;
}

// A sync sequence found at scan position `pos` with shift `shift`.
struct Field {
    int32_t pos;
    int shift;
    const uint64_t *data;   // the stream holding the data cells
    int32_t first;          // stream bit of data bit 7 of cell word 0

    uint8_t byte(int word) const { return uint8_t(streamBits(data, first + 8 * word, 8)); }
    // The data bytes of `count` cell words from `word` on, eight at a time.
    void bytes(int word, int count, uint8_t *out) const
    {
        for (int i = 0; i < count; i += 8) {
            const int32_t at = first + 8 * (word + i);
            const uint64_t v = ahead(data, at >> 6, at & 63);
            for (int k = 0; k < 8 && i + k < count; k++)
                out[i + k] = uint8_t(v >> (56 - 8 * k));
        }
    }
    unsigned crc(int word) const { return unsigned(byte(word)) << 8 | byte(word + 1); }
    int32_t bit() const { return pos * 8 + shift; }
};

struct TrackState {
    uint8_t lastMark = 0;
    int32_t marks = 0;
    uint8_t idTrack = 0, idSide = 0, idSector = 0;
    bool idGood = false;
    uint8_t crcBuf[4 + SECTOR_SIZE] = {0xA1, 0xA1, 0xA1};
};

void printVerdict(unsigned stored, unsigned computed)
{
    if (stored == computed)
        puts("crc ok");
    else
        printf("crc Error: %04x -- %04x\n", stored, computed);
}

void printUnexpected() { printf("*** Unexpected Mark *** "); }

void handleId(TrackState &t, const Field &fd)
{
    if (t.lastMark == MARK_ID)
        printUnexpected();
    t.idTrack = fd.byte(WORD_ID);
    t.idSide = fd.byte(WORD_ID + 1);
    t.idSector = fd.byte(WORD_ID + 2);
    const uint8_t size = fd.byte(WORD_ID + 3);
    printf("Track: %02d Side: %01d Sector: %02d Size: %01d ", t.idTrack, t.idSide, t.idSector, size);
    t.crcBuf[3] = MARK_ID;
    t.crcBuf[4] = t.idTrack;
    t.crcBuf[5] = t.idSide;
    t.crcBuf[6] = t.idSector;
    t.crcBuf[7] = size;
    const unsigned computed = crc16_table(t.crcBuf, 4 + ID_BYTES);
    const unsigned stored = fd.crc(WORD_ID + ID_BYTES);
    printVerdict(stored, computed);
    t.idGood = stored == computed;
    t.lastMark = MARK_ID;
}

// Verbose dump of a data field's cell words, 16 to a line, each line headed
// by the track buffer offset of its first cell word.
void dumpCellWords(const Field &fd)
{
    char text[SECTOR_SIZE / DUMP_WORDS_PER_LINE * (1 + 8 + 1) + SECTOR_SIZE * 5];
    char *out = text;
    for (int i = 0; i < SECTOR_SIZE; i++) {
        if (i % DUMP_WORDS_PER_LINE == 0) {
            *out++ = '\n';
            out = hexfmt::word(out, uint32_t(fd.pos + 8 + 2 * i));
            *out++ = ':';
        }
        const unsigned w = cellWord(fd.bit() + 16 * (WORD_DATA + i));
        *out++ = ' ';
        out = hexfmt::byte(out, w >> 8);
        out = hexfmt::byte(out, w);
    }
    fwrite(text, 1, size_t(out - text), stdout);
}

void handleData(TrackState &t, const Field &fd, bool verbose_flag)
{
    const bool introduced = t.lastMark == MARK_ID;
    if (!introduced)
        printUnexpected();
    printf("Data Mark ");
    uint8_t *data = t.crcBuf + 4;
    fd.bytes(WORD_DATA, SECTOR_SIZE, data);
    if (verbose_flag) {
        dumpCellWords(fd);
        if (t.idTrack == 0 && t.idSide == 0 && t.idSector == 1)
            decodeBootblock(data, &boot);
        else
            putchar('\n');
        hexdump(data, SECTOR_SIZE);
    }
    t.crcBuf[3] = MARK_DATA;
    const unsigned computed = crc16_table(t.crcBuf, 4 + SECTOR_SIZE);
    const unsigned stored = fd.crc(WORD_DATA_CRC);
    printVerdict(stored, computed);

    // Only a field that an ID field introduced belongs to a sector, and the
    // table has two heads. A good copy is kept against a later bad one.
    if (introduced && t.idSide < HEADS) {
        SectorSlot &slot = sector[t.idSide][t.idSector];
        const bool good = t.idGood && stored == computed;
        if (!slot.valid || !slot.good || good) {
            memcpy(slot.data, data, SECTOR_SIZE);
            slot.good = good;
        }
        slot.valid = 1;
    }
    t.lastMark = MARK_DATA;
}

void handleMark(TrackState &t, const Field &fd, bool verbose_flag)
{
    const uint8_t mark = fd.byte(WORD_MARK);
    if (verbose_flag)
        putchar('\n');
    printf("%03d: shift %d ok %04x -- a1 a1 a1 %02x: ", t.marks, fd.shift, fd.pos, mark);
    if (mark == MARK_ID)
        handleId(t, fd);
    else if (mark == MARK_DATA)
        handleData(t, fd, verbose_flag);
    else
        puts("unknown Mark");
    t.marks++;
}

// Index of the first set bit of a byte, most significant first; 8 for none.
inline int firstBit(unsigned byte) { return byte ? __builtin_clz(byte) - 24 : 8; }

}

void analyse_track(int drive, int track, int verbose_flag)
{
    loadTrackSlot(uint8_t(drive), track);
    splitCells();
    findSyncs(oddCells, oddStart);
    findSyncs(evenCells, evenStart);

    TrackState t;
    for (int32_t w = 0; w < MATCH_WORDS; w++) {
        // Byte j of these words is scan position 2 * (8w + j): at bit i of the
        // byte, shift 2i in the odd-cell stream and shift 2i + 1 in the
        // even-cell stream (whose bit 8g + 1 + i starts at track bit 16g + 2i + 1).
        const uint64_t evenShifts = ahead(evenStart, w, 1);
        const uint64_t oddShifts = oddStart[w];
        uint64_t pending = evenShifts | oddShifts;
        while (pending) {
            const int j = __builtin_clzll(pending) / 8;
            const int drop = 56 - 8 * j;
            const int oddFirst = firstBit(unsigned(oddShifts >> drop) & 0xFF);
            const int evenFirst = firstBit(unsigned(evenShifts >> drop) & 0xFF);
            const int32_t group = 8 * w + j;
            Field fd;
            fd.pos = 2 * group;
            if (oddFirst <= evenFirst) {
                fd.shift = 2 * oddFirst;
                fd.data = oddCells;
                fd.first = 8 * group + oddFirst;
            } else {
                fd.shift = 2 * evenFirst + 1;
                fd.data = evenCells;
                fd.first = 8 * group + evenFirst + 1;
            }
            handleMark(t, fd, verbose_flag != 0);
            pending &= ~(uint64_t(0xFF) << drop);
        }
    }
}
