/*
 * fluxcells.h -- one track of a flux file as MFM cells: the reader, the data
 * rate and the PLL in one step, for the tools that decode flux.
 */
#ifndef MFM_FLUXCELLS_H
#define MFM_FLUXCELLS_H

#include "mfm/flux.h"
#include "mfm/pll.h"

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
 * file's data for the track are not sound. */
bool readFluxCells(const FluxFile &file, size_t i, int rate, FluxCells &out);

}

#endif
