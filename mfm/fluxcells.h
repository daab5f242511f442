/*
 * fluxcells.h -- one track of a flux file as MFM cells: the reader, the data
 * rate and the PLL in one step, for the tools that decode flux.
 */
#ifndef MFM_FLUXCELLS_H
#define MFM_FLUXCELLS_H

#include "mfm/flux.h"
#include "mfm/pll.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"

#include <iterator>
#include <span>

namespace mfm {

/* A track's flux and its cells; reused from track to track. */
struct FluxCells {
    FluxTrack track;        /* as read from the file */
    CellStream cells;       /* all revolutions; cells.marks holds the cell
                               index of each of track.index's pulses */
    int rate = 0;           /* data rate used, 0 when none was found */
    double cellTicks = 0;   /* the cell time the PLL was centred on, in ticks */
    CellStream spare;       /* cells of another encoding tried on the track */

    /* The cell bytes, as many as hold cells. */
    std::span<const uint8_t> bytes() const
    {
        return {cells.bytes.data(), size_t((cells.cells + 7) / 8)};
    }
};

/* One pass of the flux decoder over a track: a setting of the loop. */
struct FluxPass {
    const char *name;
    PllOptions pll;
};

/* The passes of the flux decoder, in the order they run. The first reads a
 * sound track of real media whole: real drives wobble and real media shift
 * their peaks, so it follows the flux closely. Each later pass runs only
 * while a sector named on the track (by a sound ID or a copy) has no good
 * copy: a steady loop and a slow one, which hold their lock through heavy
 * jitter, a nimble one for worn media whose timing wanders faster than the
 * first follows, and one that takes almost every transition's timing as it
 * comes, for damaged stretches where the timing jumps. Every loop is centred on the cell time the track's
 * flux shows (measureCellTicks) and follows it within 10 %. */
inline constexpr FluxPass FLUX_PASSES[] = {
    {"close", {.phaseGain = 0.25, .periodGain = 0.005, .clamp = 0.10}},
    {"steady", {.phaseGain = 0.08, .periodGain = 0.001, .clamp = 0.10}},
    {"slow", {.phaseGain = 0.04, .periodGain = 0.0005, .clamp = 0.10}},
    {"nimble", {.phaseGain = 0.6, .periodGain = 0.02, .clamp = 0.10}},
    {"snap", {.phaseGain = 0.8, .periodGain = 0.002, .clamp = 0.10}},
};
inline constexpr int FLUX_PASS_COUNT = int(std::size(FLUX_PASSES));

/* Reads track `i` of `file` into `out` and runs its intervals through the
 * PLL with `options` (by default the first pass's), centred on the cell
 * time the flux shows near the nominal cell of `rate` (RATE_250K,
 * RATE_300K or RATE_500K), or of the rate that detectDataRate finds when
 * `rate` is 0. Returns false, with no cells, when no rate fits the track
 * (unformatted or empty). Throws FluxError when the file's data for the
 * track are not sound, or when they last more than 60 seconds (more than
 * the revolutions of any real capture: such flux would take time in
 * proportion, up to the PLL's cell limit). */
bool readFluxCells(const FluxFile &file, size_t i, int rate, FluxCells &out,
                   const PllOptions &options = FLUX_PASSES[0].pll);

/* Reads track `i` of `file` and decodes it, collecting its sector copies
 * into `out` as collectCopies does (out's physical, head and rate are the
 * track's; each copy's `pass` says which of FLUX_PASSES found it). A track
 * is tried as FM (fm.h) in its own cells, twice the MFM cell of the rate,
 * the loop steered by intervals of one and two cells: first, when its flux
 * has next to no intervals of three MFM cells (under 2 %, intervalShare);
 * else when the first MFM pass finds no formatted track (fewer than
 * FORMATTED_SYNCS syncs). When that finds a sound FM ID the track is FM
 * (out.fm) and every pass reads it so; else it is read as MFM. The
 * first pass's copies are all kept; a later pass, run while sectors are not
 * read well, adds the copies, good and bad, of sectors that have no good
 * copy yet (the bad ones count in the vote of recoverDisk), and the sound
 * IDs of sectors not named before. out.passes is the number of passes run.
 * In flux with fewer than two index pulses (no whole revolution marked), a
 * copy's revolution counts the places its sector was found at, up to its
 * own (from 1).
 * `work` and `scanner` are reused. Returns false, having collected nothing,
 * when no data rate fits the track. Throws FluxError as readFluxCells
 * does. */
bool decodeFluxTrack(const FluxFile &file, size_t i, int rate, FluxCells &work, Scanner &scanner, TrackRead &out);

/* A stretch of a track's cells chosen to fill a place of `limit` cells. */
struct CellRange {
    int64_t from = 0, to = 0;   /* cells [from, to) of FluxCells::cells */
    int revolutions = 0;        /* whole revolutions in it */
};

/* As many whole revolutions (index pulse to index pulse, one after another
 * from the first pulse) as fit in `limit` cells. When not even one fits, or
 * the track has fewer than two pulses, the stretch from the first pulse (or
 * the start) that fits, ended before the first field of `fields` (the scan
 * of all the track's cells) that would be cut (revolutions 0). */
CellRange fitRevolutions(const FluxCells &track, std::span<const Field> fields, int64_t limit);

/* Copies cells [from, from + count) of `src` to `dst` from cell `at`. Both
 * ranges must lie inside their buffers. */
void copyCells(std::span<const uint8_t> src, int64_t from, int64_t count, std::span<uint8_t> dst, int64_t at);

/* Writes the MFM cells of 4E gap bytes (cell words 92 54) over cells
 * [from, to) of `dst`. */
void fillGap(std::span<uint8_t> dst, int64_t from, int64_t to);

}

#endif
