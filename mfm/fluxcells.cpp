// One flux track to cells: reader, data rate, PLL.
#include "mfm/fluxcells.h"

namespace mfm {

bool readFluxCells(const FluxFile &file, size_t i, int rate, FluxCells &out)
{
    file.readTrack(i, out.track);
    out.rate = rate ? rate : detectDataRate(out.track.intervals, out.track.sampleHz);
    if (out.rate == 0) {
        out.cells.bytes.clear();
        out.cells.cells = 0;
        out.cells.marks.clear();
        return false;
    }
    fluxToCells(out.track.intervals, out.track.sampleHz * cellSeconds(out.rate), out.track.index, out.cells);
    return true;
}

}
