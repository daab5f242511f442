// Votes of bad copies of a sector: bit by bit, then cell by cell over
// copies aligned with one another.
#include "mfm/vote.h"
#include "mfm/amiga.h"
#include "mfm/cellbits.h"
#include "mfm/mfm.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#if defined(__x86_64__) && !defined(MFM_NO_SIMD)
#define MFM_X86_SIMD 1
#include <immintrin.h>
// The functions that use AVX2 are compiled for it alone and called only
// when the processor has it.
#define MFM_AVX2 __attribute__((target("avx2")))
#define MFM_AVX2_POPCNT __attribute__((target("avx2,popcnt")))
#endif

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
    // FM's CRC starts at the mark: it has no A1 bytes.
    std::vector<uint8_t> field{0xA1, 0xA1, 0xA1, mark};
    if (family == Family::fm)
        field.erase(field.begin(), field.begin() + 3);
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
int align(std::span<const uint8_t> ref, std::span<const uint8_t> copy, std::vector<uint8_t> &from,
          std::vector<uint8_t> &out, std::vector<uint8_t> *gained = nullptr)
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
    if (gained)   // the cell the copy gained before each place (the last such), or GAP
        gained->assign(size_t(n + 1), GAP);
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
            if (gained && j > 0)
                (*gained)[size_t(i)] = copy[size_t(j - 1)];
            d--;
            if (d < 0)
                return cost;
            break;
        }
    }
    return cost;
}

// The vote mended where it slipped itself: its first reference was a copy,
// and a copy lost or gained a cell somewhere (when every read slipped, the
// reference did too), which the place-by-place vote keeps. Each copy is
// aligned with the vote (extended by its last cells to the copies' length)
// and a place most copies have no cell at is dropped, a cell most copies
// gained before a place is put in (the value most of them gained), then the
// cells are voted again; twice. Returns the mended vote, all `cells` places
// or fewer.
std::vector<uint8_t> mendSlips(std::span<const SectorCopy *const> copies, std::vector<uint8_t> vote, int64_t cells)
{
    std::vector<std::vector<uint8_t>> own, aligned(copies.size()), gained(copies.size());
    for (const SectorCopy *c : copies)
        own.push_back(unpack(c->cells, cells));
    vote.insert(vote.end(), own.front().begin() + ptrdiff_t(vote.size()), own.front().end());
    std::vector<uint8_t> from, mended;
    const size_t n = copies.size();
    for (int round = 0; round < ROUNDS; round++) {
        for (size_t k = 0; k < own.size(); k++)
            align(vote, own[k], from, aligned[k], &gained[k]);
        mended.clear();
        for (size_t i = 0; i <= vote.size(); i++) {
            size_t gains = 0, gainedOnes = 0;
            for (size_t k = 0; k < own.size(); k++)
                if (gained[k][i] != GAP)
                    gains++, gainedOnes += gained[k][i];
            if (2 * gains > n)
                mended.push_back(2 * gainedOnes > gains);
            if (i == vote.size())
                break;
            size_t have = 0, ones = 0;
            for (const auto &a : aligned)
                if (a[i] != GAP)
                    have++, ones += a[i];
            if (2 * have >= n)
                mended.push_back(2 * ones == have ? vote[i] : 2 * ones > have);
        }
        vote.swap(mended);
        if (int64_t(vote.size()) > cells)
            vote.resize(size_t(cells));
    }
    return vote;
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

// The aligned vote, one alignment at a time, of copies that kept `cells`
// cells each: the voted cells of the field's body (all but the last
// ALIGN_BAND of them).
std::vector<uint8_t> alignedVotePlain(std::span<const SectorCopy *const> copies, int64_t cells)
{
    const int64_t body = cells - ALIGN_BAND;
    std::vector<std::vector<uint8_t>> own, aligned(copies.size());
    for (const SectorCopy *c : copies)
        own.push_back(unpack(c->cells, cells));
    // The copies align first with the one of the first few that lies
    // closest to the others (the fewest cells lost, gained or read
    // otherwise): a vote of copies as they stand would follow the slips
    // that most of them made, however far apart.
    std::vector<uint8_t> from;
    const size_t few = std::min(own.size(), MEDOID_COPIES);
    std::vector<int> distance(few, 0);
    for (size_t a = 0; a < few; a++)
        for (size_t b = a + 1; b < few; b++) {
            const int d = align({own[a].data(), size_t(body)}, own[b], from, aligned[b]);
            distance[a] += d, distance[b] += d;
        }
    const size_t medoid = size_t(std::min_element(distance.begin(), distance.end()) - distance.begin());
    std::vector<uint8_t> ref(own[medoid].begin(), own[medoid].begin() + body);
    for (int round = 0; round < ROUNDS; round++) {
        for (size_t k = 0; k < own.size(); k++)
            align(ref, own[k], from, aligned[k]);
        cellMajority(aligned, ref);
    }
    return ref;
}

#ifdef MFM_X86_SIMD
// The same vote with sixteen alignments at a time, one in each 16-bit lane
// of AVX2 registers: a row of the band is 17 steps for all of them. It takes
// the costs and choices of align(), ties included, and so gives the same
// cells. The lanes' cells lie place by place (place p of lane l at
// p * LANES + l, a byte each). Each step keeps its choices for the way back
// (whether each lane's cell was lost or gained there, a bit each), which
// follows all lanes' paths at once as masks of the lanes at each slot.
constexpr int LANES = 16;
constexpr int BAND = 2 * ALIGN_BAND + 1;
constexpr int PAD = ALIGN_BAND + 1;         // places ahead of a copy's first cell
constexpr int16_t NONE = INT16_MAX;         // no way to a cell: adds saturate at it
// Costs stay below SUBSTITUTE per cell and INDEL per slot, far below NONE.
constexpr int64_t LANE_MAX_CELLS = NONE - INDEL * BAND - 1;

const bool cpuAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"));

// What the rows of a band read: the lanes' copies and either one reference
// for all (a cell a byte) or, for pairs of copies, lane l's reference and
// copy taken from lanes refLane[l] and copyLane[l] of `copies`.
struct Band {
    const uint8_t *copies = nullptr;
    const uint8_t *ref = nullptr;
    alignas(16) uint8_t refLane[LANES] = {}, copyLane[LANES] = {};
};

// The costs of a row of the band, LANES to a slot.
struct BandRow {
    int16_t slot[BAND][LANES];
};

// Row i of the band from row i - 1 (`prev`, with NONE in slot BAND) into
// `row`. A step's choices, packed: lanes 0-7 lost in bits 0-7 and gained in
// bits 8-15, lanes 8-15 likewise in bits 16-31. In the first rows (EDGE)
// the slots before the copy's first cell take no cell of it.
template <bool TRACE, bool PAIRS, bool EDGE>
[[gnu::always_inline]] MFM_AVX2 inline void bandRow(const Band &b, int i, const __m256i *prev, __m256i *row,
                                                    uint32_t *how)
{
    const __m256i none = _mm256_set1_epi16(NONE), indel = _mm256_set1_epi16(INDEL);
    auto bytes = [](const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); };
    __m256i r;
    if constexpr (PAIRS)
        r = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(bytes(b.copies + size_t(i - 1 + PAD) * LANES),
                                                  _mm_load_si128(reinterpret_cast<const __m128i *>(b.refLane))));
    else
        r = _mm256_set1_epi16(b.ref[i - 1]);
    // Slot d of row i reads the copy's cell i + d - ALIGN_BAND - 1, at place i + d.
    const uint8_t *c = b.copies + size_t(i) * LANES;
    __m256i left = none;
#pragma GCC unroll 17
    for (int d = 0; d < BAND; d++) {
        __m128i cell = bytes(c + d * LANES);
        if constexpr (PAIRS)
            cell = _mm_shuffle_epi8(cell, _mm_load_si128(reinterpret_cast<const __m128i *>(b.copyLane)));
        __m256i diagonal = _mm256_adds_epi16(prev[d], _mm256_xor_si256(r, _mm256_cvtepu8_epi16(cell)));
        if (EDGE && i + d < PAD)
            diagonal = none;
        const __m256i lost = _mm256_adds_epi16(prev[d + 1], indel);
        const __m256i gained = _mm256_adds_epi16(left, indel);
        const __m256i best = _mm256_min_epi16(diagonal, lost);
        if constexpr (TRACE)
            how[d] = uint32_t(_mm256_movemask_epi8(
                _mm256_packs_epi16(_mm256_cmpgt_epi16(diagonal, lost), _mm256_cmpgt_epi16(best, gained))));
        row[d] = left = _mm256_min_epi16(best, gained);
    }
}

// Rows 1..n of the band from its first row, `state` on entry; on return
// `state` holds row n and, when TRACE, how[i * BAND + d] the choices of slot
// d of row i.
template <bool TRACE, bool PAIRS>
MFM_AVX2 void bandRows(const Band &b, int n, BandRow &state, uint32_t *how)
{
    __m256i one[BAND + 1], two[BAND + 1];
    __m256i *prev = one, *row = two;
    for (int d = 0; d < BAND; d++)
        prev[d] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(state.slot[d]));
    prev[BAND] = row[BAND] = _mm256_set1_epi16(NONE);
    int i = 1;
    for (; i <= n && i < PAD; i++, std::swap(prev, row))
        bandRow<TRACE, PAIRS, true>(b, i, prev, row, how + size_t(i) * BAND);
    for (; i <= n; i++, std::swap(prev, row))
        bandRow<TRACE, PAIRS, false>(b, i, prev, row, how + size_t(i) * BAND);
    for (int d = 0; d < BAND; d++)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(state.slot[d]), prev[d]);
}

// The way back from row n: at[d] holds the lanes whose path is at slot d
// of the current row. Each lane's cell that its path takes at a place of
// the reference counts in ones and cells there.
MFM_AVX2_POPCNT void traceBack(const uint32_t *how, int n, const uint8_t *copies, uint16_t (&at)[BAND + 1],
                               uint8_t *ones, uint8_t *cells)
{
    uint16_t other[BAND + 1] = {};
    uint16_t *here = at, *next = other;
    uint32_t slots = 0;     // the slots with lanes in this row
    for (int d = 0; d < BAND; d++)
        slots |= uint32_t(here[d] != 0) << d;
    for (int i = n; i > 0 && slots; i--) {
        const uint32_t *h = how + size_t(i) * BAND;
        uint32_t nextSlots = 0;
        // From the last slot down: a lane that gained a cell moves to the
        // slot below in the same row.
        while (slots) {
            const int d = 31 - __builtin_clz(slots);
            slots &= ~(1u << d);
            const unsigned lanes = here[d];
            here[d] = 0;
            const uint32_t choice = h[d];
            const unsigned lostAt = (choice & 0xFF) | (choice >> 8 & 0xFF00);
            const unsigned gainedAt = (choice >> 8 & 0xFF) | (choice >> 16 & 0xFF00);
            const unsigned gained = lanes & gainedAt;
            const unsigned lost = lanes & lostAt & ~gained;
            const unsigned match = lanes & ~gained & ~lost;
            if (gained && d > 0) {
                here[d - 1] = uint16_t(here[d - 1] | gained);
                slots |= 1u << (d - 1);
            }
            if (lost) {
                next[d + 1] = uint16_t(next[d + 1] | lost);
                nextSlots |= 1u << (d + 1);
            }
            if (match) {
                next[d] = uint16_t(next[d] | match);
                nextSlots |= 1u << d;
                const auto *place = reinterpret_cast<const __m128i *>(copies + size_t(i + d) * LANES);
                const unsigned set = unsigned(_mm_movemask_epi8(_mm_slli_epi16(_mm_loadu_si128(place), 7)));
                ones[i - 1] = uint8_t(ones[i - 1] + __builtin_popcount(match & set));
                cells[i - 1] = uint8_t(cells[i - 1] + __builtin_popcount(match));
            }
        }
        std::swap(here, next);
        slots = nextSlots;
    }
}

// Up to LANES copies' first `m` cells (a multiple of 8) laid out by place.
MFM_AVX2 void layLanes(std::span<const SectorCopy *const> copies, int64_t m, std::vector<uint8_t> &out)
{
    out.assign(size_t(m + PAD) * LANES, 0);
    alignas(16) uint8_t column[LANES] = {};
    const __m128i low = _mm_set1_epi8(1);
    for (int64_t q = 0; q < m / 8; q++) {
        for (size_t l = 0; l < copies.size(); l++)
            column[l] = copies[l]->cells[size_t(q)];
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(column));
        // Cell 8q + k of every lane: bit 7 - k of its byte.
        uint8_t *at = out.data() + size_t(PAD + 8 * q) * LANES;
        auto put = [&](int k, __m128i x) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at + k * LANES), _mm_and_si128(x, low));
        };
        put(0, _mm_srli_epi16(v, 7));
        put(1, _mm_srli_epi16(v, 6));
        put(2, _mm_srli_epi16(v, 5));
        put(3, _mm_srli_epi16(v, 4));
        put(4, _mm_srli_epi16(v, 3));
        put(5, _mm_srli_epi16(v, 2));
        put(6, _mm_srli_epi16(v, 1));
        put(7, v);
    }
}

// The first row of the band: the cells before the copy's first cannot be
// reached, those after it by gaining cells.
BandRow firstRow()
{
    BandRow state;
    for (int d = 0; d < BAND; d++)
        for (int l = 0; l < LANES; l++)
            state.slot[d][l] = d < ALIGN_BAND ? NONE : int16_t(INDEL * (d - ALIGN_BAND));
    return state;
}

// The slot of least cost of lane l in a band row (the first on a tie).
int bestSlot(const BandRow &state, size_t l)
{
    int d = 0;
    for (int k = 1; k < BAND; k++)
        if (state.slot[k][l] < state.slot[d][l])
            d = k;
    return d;
}

// alignedVotePlain's vote, sixteen alignments at a time.
std::vector<uint8_t> alignedVoteLanes(std::span<const SectorCopy *const> copies, int64_t cells)
{
    const int n = int(cells - ALIGN_BAND);
    std::vector<std::vector<uint8_t>> lanes((copies.size() + LANES - 1) / LANES);
    for (size_t k = 0; k < lanes.size(); k++)
        layLanes(copies.subspan(k * LANES, std::min<size_t>(LANES, copies.size() - k * LANES)), cells, lanes[k]);

    // The first reference: the copy of the first few closest to the others
    // (as in alignedVotePlain), each pair aligned in a lane of its own.
    const size_t few = std::min(copies.size(), MEDOID_COPIES);
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    for (size_t a = 0; a < few; a++)
        for (size_t b = a + 1; b < few; b++)
            pairs.emplace_back(uint8_t(a), uint8_t(b));
    std::vector<int> distance(few, 0);
    for (size_t k = 0; k < pairs.size(); k += LANES) {
        Band band;
        band.copies = lanes[0].data();
        const size_t count = std::min<size_t>(LANES, pairs.size() - k);
        for (size_t l = 0; l < count; l++)
            band.refLane[l] = pairs[k + l].first, band.copyLane[l] = pairs[k + l].second;
        BandRow state = firstRow();
        bandRows<false, true>(band, n, state, nullptr);
        for (size_t l = 0; l < count; l++) {
            const int cost = state.slot[bestSlot(state, l)][l];
            distance[pairs[k + l].first] += cost, distance[pairs[k + l].second] += cost;
        }
    }
    const size_t medoid = size_t(std::min_element(distance.begin(), distance.end()) - distance.begin());
    std::vector<uint8_t> ref(static_cast<size_t>(n));
    for (size_t i = 0; i < ref.size(); i++)
        ref[i] = lanes[0][(i + PAD) * LANES + medoid];

    std::vector<uint32_t> how(size_t(n + 1) * BAND);
    std::vector<uint8_t> ones(static_cast<size_t>(n)), votes(static_cast<size_t>(n));
    for (int round = 0; round < ROUNDS; round++) {
        std::fill(ones.begin(), ones.end(), 0);
        std::fill(votes.begin(), votes.end(), 0);
        for (size_t k = 0; k < lanes.size(); k++) {
            Band band;
            band.copies = lanes[k].data();
            band.ref = ref.data();
            BandRow state = firstRow();
            bandRows<true, false>(band, n, state, how.data());
            uint16_t at[BAND + 1] = {};
            for (size_t l = 0; l < std::min<size_t>(LANES, copies.size() - k * LANES); l++) {
                const int d = bestSlot(state, l);
                at[d] = uint16_t(at[d] | 1u << l);
            }
            traceBack(how.data(), n, lanes[k].data(), at, ones.data(), votes.data());
        }
        // Each place's cell by majority of the copies that have one there;
        // on a tie the vote keeps what it held.
        for (size_t i = 0; i < ref.size(); i++)
            if (2 * ones[i] != votes[i])
                ref[i] = 2 * ones[i] > votes[i];
    }
    return ref;
}
#endif

// The aligned vote of `copies` (three or more, with `cells` cells each):
// the voted cells of the field's body.
std::vector<uint8_t> alignedVote(std::span<const SectorCopy *const> copies, int64_t cells, Simd simd)
{
#ifdef MFM_X86_SIMD
    if (simd == Simd::best && cpuAvx2 && cells - ALIGN_BAND <= LANE_MAX_CELLS && cells % 8 == 0)
        return alignedVoteLanes(copies, cells);
#else
    (void)simd;
#endif
    return alignedVotePlain(copies, cells);
}
}

namespace {

// clockErrors with the count of set bits the processor's own (POPCNT) or
// plain operations.
template <bool POPCNT>
[[gnu::always_inline]] inline int64_t countClockErrors(std::span<const uint8_t> cells, int64_t from, int64_t count)
{
    // 64 cells at a time, the first in bit 63: clock cells in the even
    // places, data cells in the odd ones.
    constexpr uint64_t CLOCKS = 0xAAAAAAAAAAAAAAAA, DATA = ~CLOCKS;
    auto word = [&](int64_t cell) { return cellbits::cells64(cells, cell); };
    auto ones = [](uint64_t x) -> int64_t {
        if constexpr (POPCNT)
            return __builtin_popcountll(x);
        x -= (x >> 1) & 0x5555555555555555;
        x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
        return int64_t((x * 0x0101010101010101) >> 56);
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
        errors += ones(((w & CLOCKS) ^ expected) & inside);
        before = w & 1;
    }
    return errors;
}

#ifdef MFM_X86_SIMD
const bool cpuPopcnt = (__builtin_cpu_init(), __builtin_cpu_supports("popcnt"));

__attribute__((target("popcnt"))) int64_t clockErrorsPopcnt(std::span<const uint8_t> cells, int64_t from, int64_t count)
{
    return countClockErrors<true>(cells, from, count);
}
#endif

}

int64_t clockErrors(std::span<const uint8_t> cells, int64_t from, int64_t count)
{
#ifdef MFM_X86_SIMD
    if (cpuPopcnt)
        return clockErrorsPopcnt(cells, from, count);
#endif
    return countClockErrors<false>(cells, from, count);
}

Vote voteCopies(std::span<const SectorCopy *const> copies, size_t bytes, Simd simd)
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
        const std::vector<uint8_t> ref = alignedVote(withCells, cells, simd);
        std::vector<uint8_t> voted(bytes + check);
        cellsToField(family, ref, voted.data(), bytes);
        if (confirms(family, voted.data(), bytes, mark)) {
            v.data = std::move(voted);
            v.confirmed = v.aligned = true;
        } else {
            // The vote's own slips mended: another vote, confirmed the same way.
            std::vector<uint8_t> mended = mendSlips(withCells, ref, cells);
            if (int64_t(mended.size()) >= cells - ALIGN_BAND) {
                cellsToField(family, mended, voted.data(), bytes);
                if (confirms(family, voted.data(), bytes, mark)) {
                    v.data = std::move(voted);
                    v.confirmed = v.aligned = true;
                }
            }
        }
    }
    v.data.resize(bytes);
    return v;
}

}
