// Votes of bad copies of a sector: bit by bit, then cell by cell over
// copies aligned with one another.
#include "mfm/vote.h"
#include "mfm/amiga.h"
#include "mfm/mfm.h"

#include <algorithm>
#include <climits>

namespace mfm {

namespace {

constexpr int CRC_BYTES = 2;
constexpr int CELLS_PER_BYTE = 16;
constexpr int ROUNDS = 2;           // alignments with the vote, each followed by a new vote
constexpr int SUBSTITUTE = 1;       // alignment costs: a cell read otherwise,
constexpr int INDEL = 2;            // a cell lost or gained
constexpr uint8_t GAP = 2;          // no cell of the copy at a place of the vote
constexpr size_t MEDOID_COPIES = 8; // copies among which the first reference is chosen

void dataBytes(const std::vector<uint8_t> &cells, uint8_t *out, size_t bytes);

// Bit by bit, the value most copies hold; on a tie the earliest copy's.
template <typename Get>
void majority(std::span<const SectorCopy *const> copies, uint8_t *out, size_t bytes, Get get)
{
    const size_t half = copies.size() / 2;
    for (size_t i = 0; i < bytes; i++) {
        unsigned value = 0;
        for (int bit = 7; bit >= 0; bit--) {
            size_t ones = 0;
            for (const SectorCopy *c : copies)
                ones += (get(*c, i) >> bit) & 1u;
            const bool tie = copies.size() % 2 == 0 && ones == half;
            const bool one = tie ? (get(*copies.front(), i) >> bit) & 1u : ones > half;
            value |= unsigned(one) << bit;
        }
        out[i] = uint8_t(value);
    }
}

// Whether `bytes` data bytes followed by the stored check (high byte first:
// the CRC, or an AmigaDOS data checksum) are a sound data field with this
// mark.
bool confirms(Family family, const uint8_t *dataAndCheck, size_t bytes, uint8_t mark)
{
    const uint8_t *check = dataAndCheck + bytes;
    if (family == Family::amiga)
        return bytes == size_t(amiga::SECTOR_BYTES) &&
               amiga::dataChecksum(std::span<const uint8_t, amiga::SECTOR_BYTES>(dataAndCheck, bytes)) ==
                   (uint32_t(check[0]) << 24 | uint32_t(check[1]) << 16 | uint32_t(check[2]) << 8 | check[3]);
    std::vector<uint8_t> field{0xA1, 0xA1, 0xA1, mark};
    field.insert(field.end(), dataAndCheck, dataAndCheck + bytes);
    return crc16(field.data(), uint16_t(field.size())) == uint16_t(check[0] << 8 | check[1]);
}

// Bytes of the stored check.
size_t checkBytes(Family family) { return family == Family::amiga ? 4 : CRC_BYTES; }

// The data bytes and stored check that voted cells hold (data cells from
// the first cell of the field's bytes): for IBM MFM the data and the CRC,
// for AmigaDOS the checksum and the odd and even halves of the data.
void cellsToField(Family family, const std::vector<uint8_t> &cells, uint8_t *out, size_t bytes)
{
    if (family != Family::amiga || bytes != size_t(amiga::SECTOR_BYTES)) {
        dataBytes(cells, out, bytes + CRC_BYTES);
        return;
    }
    uint8_t raw[4 + amiga::SECTOR_BYTES];
    dataBytes(cells, raw, sizeof raw);
    uint32_t stored = 0;
    amiga::decodeDataArea(std::span<const uint8_t, 4 + amiga::SECTOR_BYTES>(raw, sizeof raw),
                          std::span<uint8_t, amiga::SECTOR_BYTES>(out, bytes), stored);
    for (int k = 0; k < 4; k++)
        out[bytes + size_t(k)] = uint8_t(stored >> (24 - 8 * k));
}

// One cell a byte.
std::vector<uint8_t> unpack(std::span<const uint8_t> packed, int64_t cells)
{
    std::vector<uint8_t> out(static_cast<size_t>(cells));
    for (int64_t i = 0; i < cells; i++)
        out[size_t(i)] = (packed[size_t(i >> 3)] >> (7 - (i & 7))) & 1;
    return out;
}

// The cells of `copy` at each place of `ref`, or GAP: the alignment of least
// cost (SUBSTITUTE per cell read otherwise, INDEL per cell lost or gained)
// within ALIGN_BAND cells of the diagonal; returns that cost. `from` is
// reused.
int align(const std::vector<uint8_t> &ref, const std::vector<uint8_t> &copy, std::vector<uint8_t> &from,
           std::vector<uint8_t> &out)
{
    constexpr int W = ALIGN_BAND, B = 2 * W + 1;
    constexpr int FAR = INT_MAX / 4;
    enum : uint8_t { MATCH, LOST, GAINED };
    const int n = int(ref.size()), m = int(copy.size());
    from.assign(size_t(n + 1) * B, MATCH);
    std::vector<int> prev(B, FAR), row(B, FAR);
    // Band slot d holds column j = i + d - W.
    for (int d = W; d < B && d - W <= m; d++)
        prev[size_t(d)] = INDEL * (d - W), from[size_t(d)] = GAINED;
    for (int i = 1; i <= n; i++) {
        for (int d = 0; d < B; d++) {
            const int j = i + d - W;
            int best = FAR;
            uint8_t how = MATCH;
            if (j >= 0 && j <= m) {
                if (j > 0)
                    best = prev[size_t(d)] + (ref[size_t(i - 1)] != copy[size_t(j - 1)] ? SUBSTITUTE : 0);
                if (d + 1 < B && prev[size_t(d + 1)] + INDEL < best)
                    best = prev[size_t(d + 1)] + INDEL, how = LOST;
                if (d > 0 && j > 0 && row[size_t(d - 1)] + INDEL < best)
                    best = row[size_t(d - 1)] + INDEL, how = GAINED;
            }
            row[size_t(d)] = best;
            from[size_t(i) * B + size_t(d)] = how;
        }
        std::swap(prev, row);
    }
    int d = 0;
    for (int k = 1; k < B; k++)
        if (prev[size_t(k)] < prev[size_t(d)])
            d = k;
    const int cost = prev[size_t(d)];
    out.assign(size_t(n), GAP);
    for (int i = n; i > 0;) {
        const int j = i + d - W;
        switch (from[size_t(i) * B + size_t(d)]) {
        case MATCH:
            out[size_t(i - 1)] = copy[size_t(j - 1)];
            i--;
            break;
        case LOST:
            i--, d++;
            break;
        default:
            d--;
            if (d < 0)
                return cost;
            break;
        }
    }
    return cost;
}

// Each place's cell by majority of the aligned copies that have one there;
// on a tie the vote keeps what it held.
void cellMajority(const std::vector<std::vector<uint8_t>> &aligned, std::vector<uint8_t> &ref)
{
    for (size_t i = 0; i < ref.size(); i++) {
        int ones = 0, cells = 0;
        for (const auto &a : aligned)
            if (a[i] != GAP)
                cells++, ones += a[i];
        if (2 * ones != cells)
            ref[i] = 2 * ones > cells;
    }
}

// The bytes of the data cells of `cells` (the second of every two).
void dataBytes(const std::vector<uint8_t> &cells, uint8_t *out, size_t bytes)
{
    for (size_t b = 0; b < bytes; b++) {
        unsigned v = 0;
        for (int k = 0; k < 8; k++)
            v = v << 1 | cells[b * CELLS_PER_BYTE + size_t(2 * k + 1)];
        out[b] = uint8_t(v);
    }
}

}

int64_t clockErrors(std::span<const uint8_t> cells, int64_t from, int64_t count)
{
    // 64 cells at a time, the first in bit 63: clock cells in the even
    // places, data cells in the odd ones.
    constexpr uint64_t CLOCKS = 0xAAAAAAAAAAAAAAAA, DATA = ~CLOCKS;
    auto byteAt = [&](int64_t i) -> uint64_t { return i >= 0 && size_t(i) < cells.size() ? cells[size_t(i)] : 0; };
    auto word = [&](int64_t cell) {   // 64 cells from `cell`
        const int64_t b = cell >> 3;
        const int shift = int(cell & 7);
        uint64_t w = 0;
        for (int k = 0; k < 8; k++)
            w = w << 8 | byteAt(b + k);
        return shift ? w << shift | byteAt(b + 8) >> (8 - shift) : w;
    };
    int64_t errors = 0;
    uint64_t before = from > 0 ? word(from - 64) & 1 : 0;   // the data cell ahead of the first clock
    for (int64_t at = 0; at < count; at += 64) {
        const uint64_t w = word(from + at);
        const uint64_t data = w & DATA;
        const uint64_t expected = ~(data << 1 | data >> 1 | before << 63) & CLOCKS;
        // A clock cell counts when it and the data cell after it lie in the stretch.
        const int64_t whole = std::min<int64_t>(64, count - at);
        const uint64_t inside = whole == 64 ? ~uint64_t(0) : ~(~uint64_t(0) >> (whole - 1));
        errors += __builtin_popcountll(((w & CLOCKS) ^ expected) & inside);
        before = w & 1;
    }
    return errors;
}

Vote voteCopies(std::span<const SectorCopy *const> copies, size_t bytes)
{
    Vote v;
    const Family family = copies.front()->family;
    const size_t check = checkBytes(family);
    v.data.resize(bytes + check);
    size_t deleted = 0;
    for (const SectorCopy *c : copies)
        deleted += c->deleted;
    const uint8_t mark = 2 * deleted > copies.size() ? MARK_DELETED : MARK_DATA;

    majority(copies, v.data.data(), bytes, [](const SectorCopy &c, size_t i) { return c.data[i]; });
    majority(copies, v.data.data() + bytes, check,
             [check](const SectorCopy &c, size_t i) { return uint8_t(c.storedCheck >> (8 * (check - 1 - i))); });
    v.confirmed = confirms(family, v.data.data(), bytes, mark);

    std::vector<const SectorCopy *> withCells;
    const int64_t cells = voteCells(bytes, family);
    for (const SectorCopy *c : copies)
        if (int64_t(c->cells.size()) * 8 >= cells && withCells.size() < ALIGN_MAX_COPIES)
            withCells.push_back(c);
    if (!v.confirmed && withCells.size() >= 3) {
        const int64_t body = cells - ALIGN_BAND;
        std::vector<std::vector<uint8_t>> own, aligned(withCells.size());
        for (const SectorCopy *c : withCells)
            own.push_back(unpack(c->cells, cells));
        // The copies align first with the one of the first few that lies
        // closest to the others (the fewest cells lost, gained or read
        // otherwise): a vote of copies as they stand would follow the
        // slips that most of them made, however far apart.
        std::vector<uint8_t> from, voted(bytes + check);
        const size_t few = std::min(own.size(), MEDOID_COPIES);
        std::vector<int> distance(few, 0);
        std::vector<uint8_t> head;
        for (size_t a = 0; a < few; a++)
            for (size_t b = a + 1; b < few; b++) {
                head.assign(own[a].begin(), own[a].begin() + body);
                const int d = align(head, own[b], from, aligned[b]);
                distance[a] += d, distance[b] += d;
            }
        const size_t medoid = size_t(std::min_element(distance.begin(), distance.end()) - distance.begin());
        std::vector<uint8_t> ref(own[medoid].begin(), own[medoid].begin() + body);
        for (int round = 0; round < ROUNDS; round++) {
            for (size_t k = 0; k < own.size(); k++)
                align(ref, own[k], from, aligned[k]);
            cellMajority(aligned, ref);
        }
        cellsToField(family, ref, voted.data(), bytes);
        if (confirms(family, voted.data(), bytes, mark)) {
            v.data = std::move(voted);
            v.confirmed = v.aligned = true;
        }
    }
    v.data.resize(bytes);
    return v;
}

}
