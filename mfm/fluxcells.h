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

#include <span>

namespace mfm {

/* A track's flux and its cells; reused from track to track. */
struct FluxCells {
    FluxTrack track;        /* as read from the file */
    CellStream cells;       /* all revolutions; cells.marks holds the cell
                               index of each of track.index's pulses */
    int rate = 0;           /* data rate used, 0 when none was found */

    /* The cell bytes, as many as hold cells. */
    std::span<const uint8_t> bytes() const
    {
        return {cells.bytes.data(), size_t((cells.cells + 7) / 8)};
    }
};

/* Reads track `i` of `file` into `out` and runs its intervals through the
 * PLL at `rate` (RATE_250K, RATE_300K or RATE_500K), or at the rate that
 * detectDataRate finds when `rate` is 0. Returns false, with no cells, when
 * no rate fits the track (unformatted or empty). Throws FluxError when the
 * file's data for the track are not sound, or when they last more than 60
 * seconds (more than the revolutions of any real capture: such flux would
 * take time in proportion, up to the PLL's cell limit). */
bool readFluxCells(const FluxFile &file, size_t i, int rate, FluxCells &out,
                   const PllOptions &options = {});

/* The PLL of the second look at a track: a slower loop, which keeps its lock
 * through heavier jitter and follows speed changes less quickly. */
inline constexpr PllOptions SECOND_LOOK = {.phaseGain = 0.04, .periodGain = 0.0005};

/* Reads track `i` of `file` and runs it through the PLL and `scanner`,
 * collecting its sector copies into `out` as collectCopies does (out's
 * physical and head are the track's). When a sector was not read well (a
 * copy with a CRC error, or an ID with no good copy) the track's flux goes
 * through the PLL once more with SECOND_LOOK, and the good copies that look
 * finds of sectors with no good copy yet are added. `work` is reused.
 * Returns false, having collected nothing, when no data rate fits the
 * track. Throws FluxError as readFluxCells does. */
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
