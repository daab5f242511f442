// The AmigaDOS family: sector decode, checksums and the track encoder.
//
// AmigaDOS track layout (one revolution of one head, written in one go from
// anywhere on the track):
//
//   gap: 00 bytes (cells AAAA ...), then 11 sectors (22 on an HD disk) back
//   to back, no gaps between them, the last running up to the gap:
//   +-------+-------------+------+--------+----------+----------+-----------+
//   | 00 00 | A1 A1 (sync)| info | label  | hdr sum  | data sum | data      |
//   |       | 4489 4489   | 4    | 16     | 4        | 4        | 512 bytes |
//   +-------+-------------+------+--------+----------+----------+-----------+
//   info: FF (AmigaDOS), track (cylinder * 2 + head), sector, sectors to gap.
//
//   Every block after the sync (the info long, the label, each checksum,
//   the data) is stored as two halves: the odd bits of each of its longs,
//   then the even bits, each half MFM-encoded with the usual clock rule. So
//   the data cells of a block read, 16 to a long, first its longs' odd
//   bits, then their even bits. A checksum is the XOR of the block's stored
//   longs with the clock cells masked off: in data cells, the XOR of the
//   block's 16-bit words, stored as the even bits of a long whose odd bits
//   are zero.
#include "mfm/amiga.h"

#include <algorithm>

namespace mfm::amiga {

namespace {

constexpr int SUM_BYTES = 4;
constexpr int LONGS = SECTOR_BYTES / 4;
constexpr unsigned SYNC_WORD = 0x4489;      // A1 with a clock cell missing

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// The 16 low bits of x, one to every second bit (bit k to bit 2k).
uint32_t spread(uint32_t x)
{
    x &= 0xFFFF;
    x = (x | x << 8) & 0x00FF00FF;
    x = (x | x << 4) & 0x0F0F0F0F;
    x = (x | x << 2) & 0x33333333;
    return (x | x << 1) & 0x55555555;
}

// Bits 0, 2, ..., 30 of x, packed into 16 bits: the inverse of spread.
uint16_t compact(uint32_t x)
{
    x &= 0x55555555;
    x = (x | x >> 1) & 0x33333333;
    x = (x | x >> 2) & 0x0F0F0F0F;
    x = (x | x >> 4) & 0x00FF00FF;
    return uint16_t(x | x >> 8);
}

// A long from its odd and even halves.
uint32_t join(uint16_t odd, uint16_t even) { return spread(odd) << 1 | spread(even); }

// XOR of the 16-bit words of data cells [from, from + bytes).
uint16_t wordXor(const uint8_t *from, int bytes)
{
    uint16_t x = 0;
    for (int i = 0; i < bytes; i += 2)
        x ^= be16(from + i);
    return x;
}

// The longs of a block stored as data cells: their odd halves, then their
// even halves.
void splitLongs(const uint8_t *longs, int count, std::vector<uint8_t> &out)
{
    for (int half = 1; half >= 0; half--)
        for (int k = 0; k < count; k++) {
            const uint32_t l = uint32_t(longs[4 * k]) << 24 | uint32_t(longs[4 * k + 1]) << 16 |
                               uint32_t(longs[4 * k + 2]) << 8 | longs[4 * k + 3];
            const uint16_t w = compact(half ? l >> 1 : l);
            out.push_back(uint8_t(w >> 8));
            out.push_back(uint8_t(w));
        }
}

void putLong(uint32_t l, std::vector<uint8_t> &out)
{
    const uint8_t b[4] = {uint8_t(l >> 24), uint8_t(l >> 16), uint8_t(l >> 8), uint8_t(l)};
    splitLongs(b, 1, out);
}

// MFM cells written from the start of a buffer.
class Writer {
public:
    explicit Writer(std::vector<uint8_t> &cells) : cells_(cells) {}
    void byte(uint8_t d)
    {
        for (int k = 7; k >= 0; k--) {
            const int bit = (d >> k) & 1;
            cell(!bit && !last_);
            cell(bit);
            last_ = bit;
        }
    }
    void word(unsigned w)
    {
        for (int k = 15; k >= 0; k--)
            cell((w >> k) & 1);
        last_ = int(w & 1);
    }
    int64_t at() const { return at_; }

private:
    void cell(int v)
    {
        if (size_t(at_ >> 3) < cells_.size() && v)
            cells_[size_t(at_ >> 3)] |= uint8_t(0x80 >> (at_ & 7));
        at_++;
    }
    std::vector<uint8_t> &cells_;
    int64_t at_ = 0;
    int last_ = 0;
};

}

void decodeSector(std::span<const uint8_t, FIELD_BYTES> field, Header &out, std::span<uint8_t, SECTOR_BYTES> data)
{
    const uint8_t *f = field.data();
    const uint32_t info = join(be16(f + INFO_AT), be16(f + INFO_AT + 2));
    out.format = uint8_t(info >> 24), out.track = uint8_t(info >> 16);
    out.sector = uint8_t(info >> 8), out.toGap = uint8_t(info);
    const uint32_t headerSum = join(be16(f + HEADER_SUM_AT), be16(f + HEADER_SUM_AT + 2));
    out.headerOk = headerSum == spread(wordXor(f, HEADER_SUM_AT));
    const std::span<const uint8_t, SUM_BYTES + SECTOR_BYTES> area(f + DATA_SUM_AT, SUM_BYTES + SECTOR_BYTES);
    out.dataOk = decodeDataArea(area, data, out.dataSum);
}

bool decodeDataArea(std::span<const uint8_t, 4 + SECTOR_BYTES> cellsData, std::span<uint8_t, SECTOR_BYTES> data,
                    uint32_t &stored)
{
    const uint8_t *f = cellsData.data();
    stored = join(be16(f), be16(f + 2));
    const uint8_t *odd = f + SUM_BYTES, *even = odd + SECTOR_BYTES / 2;
    for (int k = 0; k < LONGS; k++) {
        const uint32_t l = join(be16(odd + 2 * k), be16(even + 2 * k));
        data[size_t(4 * k)] = uint8_t(l >> 24), data[size_t(4 * k + 1)] = uint8_t(l >> 16);
        data[size_t(4 * k + 2)] = uint8_t(l >> 8), data[size_t(4 * k + 3)] = uint8_t(l);
    }
    return stored == spread(wordXor(odd, SECTOR_BYTES));
}

uint32_t dataChecksum(std::span<const uint8_t, SECTOR_BYTES> data)
{
    uint32_t x = 0;
    for (int k = 0; k < LONGS; k++) {
        const uint32_t l = uint32_t(data[size_t(4 * k)]) << 24 | uint32_t(data[size_t(4 * k + 1)]) << 16 |
                           uint32_t(data[size_t(4 * k + 2)]) << 8 | data[size_t(4 * k + 3)];
        x ^= (l >> 1 ^ l) & 0x55555555;
    }
    return x;
}

std::vector<uint8_t> encodeTrack(int track, std::span<const uint8_t> data, int count, int64_t cells,
                                 std::span<const int> breakData)
{
    std::vector<uint8_t> out(size_t((cells + 7) / 8), 0);
    Writer w(out);
    const int64_t gapBytes = std::max<int64_t>(0, cells / 16 - int64_t(count) * SECTOR_WORDS);
    for (int64_t i = 0; i < gapBytes; i++)
        w.byte(0);
    std::vector<uint8_t> field;
    for (int s = 0; s < count; s++) {
        const std::span<const uint8_t, SECTOR_BYTES> bytes(data.data() + size_t(s) * SECTOR_BYTES, SECTOR_BYTES);
        field.clear();
        putLong(uint32_t(FORMAT_AMIGADOS) << 24 | uint32_t(track & 0xFF) << 16 | uint32_t(s) << 8 |
                    uint32_t(count - s),
                field);
        field.insert(field.end(), LABEL_BYTES, 0);   // the label: zero
        putLong(spread(wordXor(field.data(), HEADER_SUM_AT)), field);
        const bool broken = std::find(breakData.begin(), breakData.end(), s) != breakData.end();
        putLong(dataChecksum(bytes) ^ (broken ? 1 : 0), field);
        splitLongs(bytes.data(), LONGS, field);
        w.byte(0), w.byte(0);
        w.word(SYNC_WORD), w.word(SYNC_WORD);
        for (const uint8_t b : field)
            w.byte(b);
    }
    // Whatever is left of the revolution (a track shorter than its
    // sectors is cut where it ends).
    while (w.at() < cells)
        w.byte(0);
    // The track runs round into its gap: the gap's first clock cell follows
    // the last data cell.
    if (cells > 1 && count > 0 && (out[size_t((cells - 1) >> 3)] >> (7 - ((cells - 1) & 7))) & 1)
        out[0] &= 0x7F;
    return out;
}

}
