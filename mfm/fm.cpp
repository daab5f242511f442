// FM (single density): the search for its marks, its fields, its encoder.
// The track layout is drawn in fm.h.
#include "mfm/fm.h"
#include "mfm/cellbits.h"
#include "mfm/mfm.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace mfm::fm {

namespace {

using cellbits::cellAt;
using cellbits::cells64;

constexpr int CRC_BYTES = 2;
constexpr int ID_BYTES = 4;
// The first ten cells of every mark of clock C7 whose data starts 11111
// (FE, FB, F8..FA): clock 1 1 0 0 0 and data 1 1 1 1 1, interleaved.
constexpr unsigned MARK_PREFIX = 0x3D5;   // 11 1101 0101
constexpr int PREFIX_CELLS = 10;


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

// The 16 cells from cell `i`: a cell word.
inline uint16_t wordAt(std::span<const uint8_t> b, int64_t i) { return uint16_t(cells64(b, i) >> 48); }

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
    std::vector<uint8_t> field(count + 1);
    field[0] = mark;
    std::copy(bytes, bytes + count, field.begin() + 1);
    return crc16_table(field.data(), uint16_t(field.size()));
}

std::span<const Field> Search::scan(std::span<const uint8_t> cells, int scale)
{
    fields_.clear();
    arena_.clear();
    offsets_.clear();
    if (scale < 1 || scale > MAX_SCALE)
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
        // The starts of a window of 64 cells at a time: a mark's 16 cells lie inside it.
        for (int64_t at = 0; at < n; at += cellbits::STARTS) {
            for (uint64_t m = cellbits::startsOf(cells64(s, at), MARK_PREFIX, PREFIX_CELLS); m; m &= m - 1) {
                const int64_t i = at + 63 - std::countr_zero(m);
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
            // The mark, the ID and its CRC: the CRC covers the first five.
            uint8_t id[1 + ID_BYTES + CRC_BYTES] = {MARK_ID};
            readBytes(h, ID_BYTES + CRC_BYTES, id + 1);
            fd.track = id[1], fd.side = id[2], fd.sector = id[3], fd.size = id[4];
            fd.storedCrc = uint16_t(id[5] << 8 | id[6]);
            fd.computedCrc = crc16_table(id, 1 + ID_BYTES);
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
            // The mark, the bytes and the CRC in the arena; the bytes from offset.
            offset = arena_.size() + 1;
            arena_.resize(offset + bytes + CRC_BYTES);
            arena_[offset - 1] = h.mark;
            readBytes(h, bytes + CRC_BYTES, arena_.data() + offset);
            fd.storedCrc = uint16_t(arena_[offset + bytes] << 8 | arena_[offset + bytes + 1]);
            fd.computedCrc = crc16_table(arena_.data() + offset - 1, uint16_t(1 + bytes));
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
    if (scale == 1)
        return cellbits::copyOut(cells, from, count, out);
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
