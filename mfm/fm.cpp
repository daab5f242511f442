// FM (single density): the search for its marks, its fields, its encoder.
// The track layout is drawn in fm.h.
#include "mfm/fm.h"
#include "mfm/mfm.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace mfm::fm {

namespace {

constexpr int CRC_BYTES = 2;
constexpr int ID_BYTES = 4;
// The first ten cells of every mark of clock C7 whose data starts 11111
// (FE, FB, F8..FA): clock 1 1 0 0 0 and data 1 1 1 1 1, interleaved.
constexpr unsigned MARK_PREFIX = 0xF540;
constexpr int PREFIX_CELLS = 10;
// Marks are looked for 48 offsets at a time, in a window of 64 cells.
constexpr int STRIDE_BYTES = 6;

// The CRC-16 of MFM (polynomial 0x1021), a byte at a time.
struct CrcTable {
    uint16_t t[256];
    constexpr CrcTable() : t()
    {
        for (unsigned b = 0; b < 256; b++) {
            unsigned c = b << 8;
            for (int k = 0; k < 8; k++)
                c = c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1;
            t[b] = uint16_t(c);
        }
    }
};
constexpr CrcTable CRC;
inline uint16_t crcByte(uint16_t crc, uint8_t b) { return uint16_t(crc << 8 ^ CRC.t[(crc >> 8 ^ b) & 0xFF]); }

inline bool cellAt(std::span<const uint8_t> b, int64_t i)
{
    return i >= 0 && size_t(i >> 3) < b.size() && ((b[size_t(i >> 3)] >> (7 - (i & 7))) & 1);
}

// The 64 cells from byte `at` of a packed stream (zero past its end), the
// first in the top bit.
inline uint64_t windowAt(std::span<const uint8_t> b, size_t at)
{
    uint64_t w = 0;
    if (at + 8 <= b.size()) {
        memcpy(&w, b.data() + at, 8);
        return std::endian::native == std::endian::little ? __builtin_bswap64(w) : w;
    }
    for (size_t k = 0; k < 8; k++)
        w = w << 8 | (at + k < b.size() ? b[at + k] : 0u);
    return w;
}

// The 64 cells from cell `i` (zero outside the stream), the first in the top bit.
inline uint64_t cells64(std::span<const uint8_t> b, int64_t i)
{
    if (i < 0) {
        uint64_t w = 0;
        for (int k = 0; k < 64; k++)
            w = w << 1 | uint64_t(cellAt(b, i + k));
        return w;
    }
    const size_t at = size_t(i >> 3);
    const int off = int(i & 7);
    const uint64_t w = windowAt(b, at);
    return off == 0 ? w : w << off | uint64_t(at + 8 < b.size() ? b[at + 8] : 0u) >> (8 - off);
}

// The data cells of 64 cells (four cell words) as four bytes, the first
// word's in the top byte.
inline uint32_t dataOf64(uint64_t x)
{
    x &= 0x5555555555555555;
    x = (x | x >> 1) & 0x3333333333333333;
    x = (x | x >> 2) & 0x0F0F0F0F0F0F0F0F;
    x = (x | x >> 4) & 0x00FF00FF00FF00FF;
    x = (x | x >> 8) & 0x0000FFFF0000FFFF;
    return uint32_t(x | x >> 16);
}

// Bit 63 - j set where the ten cells from j of `x` are MARK_PREFIX's.
inline uint64_t prefixAt(uint64_t x)
{
    uint64_t m = ~uint64_t(0);
    for (int k = 0; k < PREFIX_CELLS; k++) {
        const uint64_t y = x << k;
        m &= (MARK_PREFIX >> (15 - k)) & 1 ? y : ~y;
    }
    return m;
}


// The 16 cells from cell `i` of a packed stream (zero past its end).
inline uint16_t wordAt(std::span<const uint8_t> b, int64_t i)
{
    const size_t at = size_t(i >> 3);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; k++)
        v = v << 8 | (at + k < b.size() ? b[at + k] : 0u);
    return uint16_t(v >> (8 - (i & 7)));
}

// The data (odd) and clock (even) cells of a cell word as bytes.
inline uint8_t oddCells(unsigned w)
{
    w &= 0x5555;
    w = (w | w >> 1) & 0x3333;
    w = (w | w >> 2) & 0x0F0F;
    w = (w | w >> 4) & 0x00FF;
    return uint8_t(w);
}
inline uint8_t dataOf(uint16_t w) { return oddCells(w); }
// Cells 0, 2, 4 and 6 of a byte (the earliest in bit 7) as a nibble.
inline unsigned evenCells(uint8_t b) { return oddCells(unsigned(b) >> 1) & 0xF; }
inline uint8_t clockOf(uint16_t w) { return oddCells(unsigned(w) >> 1); }

inline bool isDataMark(uint8_t m) { return m == MARK_DATA || isDeletedMark(m); }

}

uint16_t fieldCrc(uint8_t mark, const uint8_t *bytes, size_t count)
{
    uint16_t crc = crcByte(0xFFFF, mark);
    for (size_t k = 0; k < count; k++)
        crc = crcByte(crc, bytes[k]);
    return crc;
}

std::span<const Field> Search::scan(std::span<const uint8_t> cells, int scale)
{
    fields_.clear();
    arena_.clear();
    offsets_.clear();
    if (scale < 1 || scale > MAX_SCALE || (scale & (scale - 1)) != 0)
        return {};
    const int64_t total = int64_t(cells.size()) * 8;
    const int64_t perPhase = (total + scale - 1) / scale;
    const size_t phaseBytes = size_t((perPhase + 7) / 8) + 8;
    // Every phase's FM cells, packed (at scale 1 the stream itself).
    if (scale == 2) {
        // A byte's cells 0, 2, 4, 6 and 1, 3, 5, 7 as two nibbles; two
        // bytes make a byte of each phase.
        phases_.assign(phaseBytes * 2, 0);
        for (size_t b = 0; b < cells.size(); b++) {
            const unsigned even = evenCells(cells[b]), odd = evenCells(uint8_t(cells[b] << 1));
            const size_t at = b >> 1;
            const int up = b & 1 ? 0 : 4;   // the first byte of a pair: the high nibble
            phases_[at] |= uint8_t(even << up);
            phases_[phaseBytes + at] |= uint8_t(odd << up);
        }
    } else if (scale > 2) {
        phases_.assign(phaseBytes * size_t(scale), 0);
        for (int64_t i = 0; i < total; i++)
            if ((cells[size_t(i >> 3)] >> (7 - (i & 7))) & 1) {
                const int64_t k = i / scale;
                phases_[size_t(i % scale) * phaseBytes + size_t(k >> 3)] |= uint8_t(0x80 >> (k & 7));
            }
    }
    auto phase = [&](int p) -> std::span<const uint8_t> {
        if (scale == 1)
            return cells;
        return {phases_.data() + size_t(p) * phaseBytes, phaseBytes};
    };

    std::vector<Hit> &hits = hits_;
    hits.clear();
    for (int p = 0; p < scale; p++) {
        const std::span<const uint8_t> s = phase(p);
        const int64_t n = scale == 1 ? total : perPhase;
        for (int64_t b = 0; b * 8 < n; b += STRIDE_BYTES) {
            // Offsets 0..47 of the window: a mark's 16 cells lie inside it.
            for (uint64_t m = prefixAt(windowAt(s, size_t(b))) & ~uint64_t(0xFFFF); m; m &= m - 1) {
                const int64_t i = b * 8 + 63 - std::countr_zero(m);
                if (i + 16 > n)
                    continue;
                const uint16_t w = wordAt(s, i);
                const uint8_t mark = dataOf(w);
                if (clockOf(w) == MARK_CLOCK && (mark == MARK_ID || isDataMark(mark)))
                    hits.push_back({int64_t(p) + i * scale, p, i, mark});
            }
        }
    }
    std::sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) { return a.bit < b.bit; });

    auto readBytes = [&](const Hit &h, size_t count, uint8_t *out) {
        const std::span<const uint8_t> s = phase(h.phase);
        size_t k = 0;
        for (; k + 4 <= count; k += 4) {
            const uint32_t four = dataOf64(cells64(s, h.at + CELLS_PER_BYTE * int64_t(k + 1)));
            for (size_t j = 0; j < 4; j++)
                out[k + j] = uint8_t(four >> (24 - 8 * j));
        }
        for (; k < count; k++)
            out[k] = dataOf(wordAt(s, h.at + CELLS_PER_BYTE * int64_t(k + 1)));
    };
    int32_t lastId = -1;
    bool afterId = false;
    for (const Hit &h : hits) {
        Field fd;
        fd.family = Family::fm;
        fd.bit = h.bit;
        fd.scale = uint8_t(scale);
        fd.mark = h.mark;
        if (h.mark == MARK_ID) {
            uint8_t b[ID_BYTES + CRC_BYTES];
            readBytes(h, sizeof b, b);
            fd.track = b[0], fd.side = b[1], fd.sector = b[2], fd.size = b[3];
            fd.storedCrc = uint16_t(b[4] << 8 | b[5]);
            fd.computedCrc = fieldCrc(MARK_ID, b, ID_BYTES);
            fd.decoded = true;
            lastId = int32_t(fields_.size());
            afterId = true;
            fields_.push_back(fd);
            offsets_.push_back(SIZE_MAX);
            continue;
        }
        fd.introduced = afterId;
        afterId = false;
        if (fd.introduced && lastId >= 0 && h.bit - fields_[size_t(lastId)].bit <= BIND_CELLS * scale)
            fd.id = lastId;
        size_t offset = SIZE_MAX;
        if (fd.id >= 0 && fields_[size_t(fd.id)].size <= MAX_SIZE_CODE) {
            const size_t bytes = size_t(sizeCodeBytes(fields_[size_t(fd.id)].size));
            offset = arena_.size();
            arena_.resize(offset + bytes + CRC_BYTES);
            readBytes(h, bytes + CRC_BYTES, arena_.data() + offset);
            fd.storedCrc = uint16_t(arena_[offset + bytes] << 8 | arena_[offset + bytes + 1]);
            fd.computedCrc = fieldCrc(h.mark, arena_.data() + offset, bytes);
            fd.decoded = true;
        }
        fields_.push_back(fd);
        offsets_.push_back(offset);
    }
    for (size_t k = 0; k < fields_.size(); k++)
        if (offsets_[k] != SIZE_MAX)
            fields_[k].data = {arena_.data() + offsets_[k], size_t(sizeCodeBytes(fields_[size_t(fields_[k].id)].size))};
    return fields_;
}

bool mayHoldFm(std::span<const uint8_t> cells, int scale)
{
    size_t busy = 0, fit = 0;
    for (const uint8_t b : cells) {
        busy += b != 0;
        fit += b != 0 && (scale == 2 ? (b & 0xAA) == 0 || (b & 0x55) == 0 : (b & 0xAA) == 0xAA || (b & 0x55) == 0x55);
    }
    return busy > 0 && fit * 10 >= busy * 9;
}

int64_t clockErrors(std::span<const uint8_t> cells, int64_t from, int scale, int64_t count)
{
    int64_t errors = 0, k = 0;
    if (scale == 1)   // four cell words at a time: the clock cells are the even ones
        for (; k + 64 <= count; k += 64)
            errors += 32 - std::popcount(cells64(cells, from + k) & 0xAAAAAAAAAAAAAAAA);
    for (; k < count; k++) {
        const int64_t at = from + k * scale;
        errors += k % 2 == 0 && !cellAt(cells, at);
        for (int z = 1; z < scale; z++)
            errors += cellAt(cells, at + z);
    }
    return errors;
}

void gatherCells(std::span<const uint8_t> cells, int64_t from, int scale, int64_t count, std::vector<uint8_t> &out)
{
    out.assign(size_t((count + 7) / 8), 0);
    for (int64_t k = 0; k < count; k++)
        if (cellAt(cells, from + k * scale))
            out[size_t(k >> 3)] |= uint8_t(0x80 >> (k & 7));
}

Gaps gapsFor(int sectors, int bytes, int trackBytes)
{
    Gaps g;
    if (sectors <= 0)
        return g;
    const int head = g.gap4a + g.sync + 1 + g.gap1;
    const int perSector = g.sync + 1 + ID_BYTES + CRC_BYTES + g.gap2 + g.sync + 1 + bytes + CRC_BYTES;
    g.gap3 = std::clamp((trackBytes - head) / sectors - perSector, 8, 27);
    return g;
}

std::vector<uint8_t> encodeTrack(std::span<const Sector> sectors, const Gaps &gaps, int trackBytes, int scale)
{
    scale = std::clamp(scale, 1, MAX_SCALE);
    std::vector<uint8_t> out(size_t(trackBytes) * 2 * size_t(scale), 0);
    const int64_t limit = int64_t(out.size()) * 8;
    int64_t cell = 0;
    auto word = [&](uint16_t w) {
        for (int b = 15; b >= 0 && cell < limit; b--, cell += scale)
            if ((w >> b) & 1)
                out[size_t(cell >> 3)] |= uint8_t(0x80 >> (cell & 7));
    };
    auto bytes = [&](uint8_t value, int count) {
        for (int k = 0; k < count; k++)
            word(cellWord(value));
    };
    auto field = [&](uint8_t mark, const uint8_t *body, size_t count, bool breakCrc) {
        word(cellWord(mark, MARK_CLOCK));
        for (size_t k = 0; k < count; k++)
            word(cellWord(body[k]));
        const uint16_t crc = uint16_t(fieldCrc(mark, body, count) ^ (breakCrc ? 0x5A5A : 0));
        word(cellWord(uint8_t(crc >> 8)));
        word(cellWord(uint8_t(crc)));
    };
    bytes(0xFF, gaps.gap4a);
    if (gaps.indexMark) {
        bytes(0x00, gaps.sync);
        word(cellWord(INDEX_MARK, INDEX_CLOCK));
        bytes(0xFF, gaps.gap1);
    }
    for (const Sector &s : sectors) {
        bytes(0x00, gaps.sync);
        const uint8_t id[ID_BYTES] = {s.cylinder, s.head, s.sector, s.size};
        field(MARK_ID, id, ID_BYTES, s.badId);
        bytes(0xFF, gaps.gap2);
        bytes(0x00, gaps.sync);
        field(s.deleted ? MARK_DELETED : MARK_DATA, s.data.data(), s.data.size(), s.badData);
        bytes(0xFF, gaps.gap3);
    }
    while (cell < limit)
        word(cellWord(0xFF));
    return out;
}

}
