// One flux track to cells: reader, data rate, PLL.
#include "mfm/fluxcells.h"
#include "mfm/amiga.h"
#include "mfm/cellbits.h"
#include "mfm/mfm.h"
#include "mfm/vote.h"

#include <algorithm>
#include <numeric>
#include <map>
#include <set>
#include <string>

namespace mfm {

namespace {

// Longer than the revolutions of any real capture (200 at 300 rpm take
// 40 s): a hostile track of long intervals costs the PLL's time (up to its
// cell limit) in proportion to its length.
constexpr double MAX_TRACK_SECONDS = 60;

}

namespace {

// Reads track `i` and finds its rate and cell time; false when no rate fits
// (out's cells then emptied).
bool loadTrack(const FluxFile &file, size_t i, int rate, FluxCells &out)
{
    file.readTrack(i, out.track);
    const uint64_t ticks = std::accumulate(out.track.intervals.begin(), out.track.intervals.end(), uint64_t(0));
    if (double(ticks) > MAX_TRACK_SECONDS * out.track.sampleHz)
        throw FluxError(file.path() + ": track " + std::to_string(out.track.cylinder) + "." +
                        std::to_string(out.track.head) + " holds " + std::to_string(int64_t(double(ticks) / out.track.sampleHz)) +
                        " s of flux, more than any capture's revolutions (" + std::to_string(int(MAX_TRACK_SECONDS)) +
                        " s at most)");
    out.rate = rate ? rate : detectDataRate(out.track.intervals, out.track.sampleHz);
    if (out.rate == 0) {
        out.cells.bytes.clear();
        out.cells.cells = 0;
        out.cells.marks.clear();
        return false;
    }
    out.cellTicks = measureCellTicks(out.track.intervals, out.track.sampleHz * cellSeconds(out.rate));
    return true;
}

}

bool readFluxCells(const FluxFile &file, size_t i, int rate, FluxCells &out, const PllOptions &options)
{
    if (!loadTrack(file, i, rate, out))
        return false;
    fluxToCells(out.track.intervals, out.cellTicks, out.track.index, out.cells, options);
    return true;
}

namespace {

// A sector of a track, of either family, as one number.
uint32_t sectorKey(Family f, uint8_t c, uint8_t h, uint8_t s)
{
    return uint32_t(f) << 24 | uint32_t(c) << 16 | uint32_t(h) << 8 | s;
}
uint32_t sectorKey(const SectorCopy &c) { return sectorKey(c.family, c.cylinder, c.head, c.sector); }

// Flux read with no index pulse: the copies of a sector found far apart
// (more than a sector's cells) are reads of other revolutions. Each copy is
// numbered by the place of its sector's copies it lies at, from 1.
void numberRevolutions(std::vector<SectorCopy> &copies)
{
    constexpr int64_t APART = amiga::FIELD_CELLS;
    std::map<uint32_t, std::vector<int64_t>> places;   // per sector, its copies' places
    for (const SectorCopy &c : copies)
        places[sectorKey(c)].push_back(c.bit);
    for (auto &[k, bits] : places)
        std::sort(bits.begin(), bits.end());
    for (SectorCopy &c : copies) {
        const std::vector<int64_t> &bits = places[sectorKey(c)];
        int revolution = 1;
        for (size_t j = 1; j < bits.size() && bits[j] <= c.bit; j++)
            revolution += bits[j] - bits[j - 1] > APART;
        c.revolution = revolution;
    }
}

}

namespace {

// Below this share of intervals of three cells a track is tried as FM
// first (MFM holds a fifth to a third of them, a track of zeros a few in
// its gaps and syncs; FM none but what noise makes).
constexpr double FM_THREE_SHARE = 0.02;

// A pass's loop for FM in its own cells: intervals of one and two cells.
PllOptions fmPass(PllOptions o)
{
    o.minValidCells = 1, o.maxValidCells = 2;
    return o;
}

// A track MFM does not read, read as FM: its cells twice as long as the
// MFM cells of its rate (fm.h), with the first pass's loop. When it holds a
// sound FM ID, its cells and their copies replace the MFM ones (the cell
// time too) and the result is true; else nothing changes.
bool readFm(Scanner &scanner, FluxCells &work, TrackRead &pass)
{
    fluxToCells(work.track.intervals, 2 * work.cellTicks, work.track.index, work.spare, fmPass(FLUX_PASSES[0].pll));
    const std::span<const Field> fields =
        scanner.scanFm({work.spare.bytes.data(), size_t((work.spare.cells + 7) / 8)}, 1);
    if (!anySoundId(fields))
        return false;
    std::swap(work.cells, work.spare);
    work.cellTicks *= 2;
    pass.clearFields();
    collectCopies(fields, work.cells.marks, pass, work.bytes());
    return true;
}

}

bool decodeFluxTrack(const FluxFile &file, size_t i, int rate, FluxCells &work, Scanner &scanner, TrackRead &out)
{
    out.physical = file.tracks()[i].cylinder;
    out.head = file.tracks()[i].head;
    if (!loadTrack(file, i, rate, work))
        return false;
    // FM in cells of MFM at twice its rate has next to no intervals of three
    // cells: such a track is tried as FM first.
    const bool fmFirst = intervalShare(work.track.intervals, work.cellTicks, 3) < FM_THREE_SHARE;
    out.rate = work.rate;
    const std::vector<size_t> &index = work.track.index;
    if (index.size() >= 2) {
        // Whole numbers: a sum the processor does many at a time.
        const auto &t = work.track.intervals;
        const size_t from = std::min(index.front(), t.size()), to = std::clamp(index.back(), from, t.size());
        const uint64_t ticks = std::accumulate(t.begin() + ptrdiff_t(from), t.begin() + ptrdiff_t(to), uint64_t(0));
        out.revolutions = int(index.size() - 1);
        out.indexPeriod = double(ticks) / out.revolutions / work.track.sampleHz;
    }

    // Sectors named by a sound ID or a copy, and those read well: a good
    // copy, and for a family whose check is weak (recovery.h) good copies in
    // two revolutions, or in every one that held the sector.
    std::set<uint32_t> named, good;
    std::map<uint32_t, std::set<int>> seenIn, goodIn;   // weak checks: revolutions
    std::map<uint32_t, size_t> withCells;   // copies that kept their cells, per sector
    TrackRead pass;
    // One pass of the loop over the track's cells and the search of its encoding.
    auto run = [&](const PllOptions &loop) {
        fluxToCells(work.track.intervals, work.cellTicks, work.track.index, work.cells, out.fm ? fmPass(loop) : loop);
        collectCopies(out.fm ? scanner.scanFm(work.bytes(), 1) : scanner.scan(work.bytes(), DataLength::fromId, true),
                      work.cells.marks, pass, work.bytes());
    };
    for (int p = 0; p < FLUX_PASS_COUNT; p++) {
        pass.clearFields();
        if (p > 0) {
            run(FLUX_PASSES[p].pll);
        } else if (fmFirst && readFm(scanner, work, pass)) {
            // The track's encoding: FM when the flux looks so and reads so,
            // or when MFM finds no formatted track and FM reads it.
            out.fm = true;
        } else {
            run(FLUX_PASSES[p].pll);
            out.fm = !fmFirst && pass.syncs < FORMATTED_SYNCS && readFm(scanner, work, pass);
        }
        out.fmScale = out.fm ? 1 : 0;
        out.passes = p + 1;
        if (p == 0) {
            out.syncs = pass.syncs;
            out.badIds = pass.badIds;
            if (pass.ids.empty()) {
                const auto &marks = work.cells.marks;
                out.syncWords = marks.size() >= 2 ? countSyncWords(work.bytes(), marks[0], marks[1])
                                                  : countSyncWords(work.bytes(), 0, work.cells.cells);
            }
        }
        const std::set<uint32_t> before = named, goodBefore = good;
        for (const TrackRead::Id &id : pass.ids)
            if (p == 0 || !before.contains(sectorKey(id.family, id.cylinder, id.head, id.sector))) {
                out.ids.push_back(id);
                named.insert(sectorKey(id.family, id.cylinder, id.head, id.sector));
            }
        for (SectorCopy &c : pass.copies) {
            const uint32_t k = sectorKey(c);
            if (p > 0 && goodBefore.contains(k))
                continue;
            // An AmigaDOS sector names itself only in a sound header.
            if (c.family != Family::amiga || c.idOk)
                named.insert(k);
            if (c.family == Family::amiga && c.idOk) {
                seenIn[k].insert(c.revolution);
                if (c.good())
                    goodIn[k].insert(c.revolution);
                if (goodIn[k].size() >= std::min<size_t>(2, seenIn[k].size()))
                    good.insert(k);
            } else if (c.good()) {
                good.insert(k);
            }
            c.pass = p;
            // The aligned vote looks at the cells of the first copies only.
            if (!c.cells.empty() && ++withCells[k] > ALIGN_MAX_COPIES)
                std::vector<uint8_t>().swap(c.cells);
            out.copies.push_back(std::move(c));
        }
        if (named.size() == good.size())
            break;
    }
    dropMisplacedCopies(out);
    if (work.cells.marks.size() < 2)
        numberRevolutions(out.copies);
    return true;
}

namespace {

constexpr unsigned GAP_WORD = 0x9254;   // 4E after a 0 data bit, as cells
constexpr int SYNC_CELLS = 3 * 16;      // A1 A1 A1
constexpr int MARK_CELLS = 16;
constexpr int CRC_CELLS = 2 * 16;
constexpr int ID_CELLS = 4 * 16;

using cellbits::cellAt;

inline void setCell(std::span<uint8_t> b, int64_t i, bool v)
{
    const uint8_t mask = uint8_t(0x80 >> (i & 7));
    uint8_t &byte = b[size_t(i >> 3)];
    byte = uint8_t(v ? byte | mask : byte & ~mask);
}

// Cells from a field's sync to the end of its CRC (of an AmigaDOS sector,
// to its end).
int64_t fieldCells(const Field &fd)
{
    if (fd.family == Family::amiga)
        return amiga::FIELD_CELLS;
    if (fd.family == Family::fm)
        return 16 * int64_t(fd.scale) * (1 + (fd.mark == MARK_ID ? 4 : int64_t(fd.data.size())) + 2);
    const int64_t body = fd.mark == MARK_ID ? ID_CELLS : int64_t(fd.data.size()) * 16;
    return SYNC_CELLS + MARK_CELLS + body + CRC_CELLS;
}

}

CellRange fitRevolutions(const FluxCells &track, std::span<const Field> fields, int64_t limit)
{
    const auto &marks = track.cells.marks;
    CellRange r;
    r.from = marks.empty() ? 0 : marks.front();
    for (size_t k = 1; k < marks.size() && marks[k] - r.from <= limit; k++) {
        r.to = marks[k];
        r.revolutions = int(k);
    }
    if (r.revolutions > 0)
        return r;
    r.to = std::min(track.cells.cells, r.from + limit);
    for (const Field &fd : fields)
        if (fd.bit >= r.from && fd.bit < r.to && fd.bit + fieldCells(fd) > r.to) {
            r.to = fd.bit;
            break;
        }
    return r;
}

void copyCells(std::span<const uint8_t> src, int64_t from, int64_t count, std::span<uint8_t> dst, int64_t at)
{
    int64_t i = 0;
    // Cell by cell up to a byte boundary of the destination, then a byte at a time.
    for (; i < count && ((at + i) & 7) != 0; i++)
        setCell(dst, at + i, cellAt(src, from + i));
    for (; i + 8 <= count; i += 8) {
        const int64_t s = from + i;
        const unsigned hi = src[size_t(s >> 3)];
        const unsigned lo = (s & 7) && size_t(s >> 3) + 1 < src.size() ? src[size_t(s >> 3) + 1] : 0;
        dst[size_t((at + i) >> 3)] = uint8_t(((hi << 8 | lo) << (s & 7)) >> 8);
    }
    for (; i < count; i++)
        setCell(dst, at + i, cellAt(src, from + i));
}

void fillGap(std::span<uint8_t> dst, int64_t from, int64_t to)
{
    for (int64_t i = from; i < to; i++)
        setCell(dst, i, (GAP_WORD >> (15 - (i - from) % 16)) & 1);
}

}
