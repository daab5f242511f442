/*
 * pll.h -- turns flux (times between transitions) into MFM cells.
 *
 * A phase-locked loop follows the cell period of the flux: it starts at the
 * nominal cell time of the data rate, follows slow speed changes within a
 * few percent of nominal, corrects its phase at every transition and rounds
 * each interval to a whole number of cells: an interval of k cells gives k-1
 * zero cells and a one. The cells come out as the scanner reads them: eight
 * to a byte, the earliest in bit 7.
 *
 * No process-wide state: every call works on its arguments only.
 */
#ifndef MFM_PLL_H
#define MFM_PLL_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm {

/* The data rates of IBM MFM floppies, in cells of data per second (a cell
 * time is 1 / (2 x rate) ... see below). 250 kbit/s: DD at 300 rpm;
 * 300 kbit/s: DD in a 360 rpm drive; 500 kbit/s: HD. */
constexpr int RATE_250K = 250000;
constexpr int RATE_300K = 300000;
constexpr int RATE_500K = 500000;

/* Cell time in seconds of a data rate: 2 us at 250 kbit/s, 1 us at 500. */
constexpr double cellSeconds(int rate) { return 1.0 / (2.0 * rate); }

/* Guesses the data rate of a track from its intervals (ticks at `sampleHz`):
 * the rate whose cell time makes the intervals cluster best at 2, 3 and 4
 * cells. Returns RATE_250K, RATE_300K or RATE_500K, or 0 when there are too
 * few intervals to tell. */
int detectDataRate(std::span<const uint32_t> intervals, double sampleHz);

/* The cells of a flux stream. */
struct CellStream {
    std::vector<uint8_t> bytes;   /* cells, earliest in bit 7; bits past `cells` are 0 */
    int64_t cells = 0;            /* number of cells */
    std::vector<int64_t> marks;   /* cell index where each requested interval begins */
};

/* Runs the PLL over `intervals` (ticks), nominal cell time `cellTicks`
 * ticks, and replaces the contents of `out` (its storage is reused).
 * For each entry of `marks` (ascending interval indices, up to
 * intervals.size()), out.marks gets the cell index at which that interval
 * begins, so that index pulses can be placed in the cell stream. */
void fluxToCells(std::span<const uint32_t> intervals, double cellTicks,
                 std::span<const size_t> marks, CellStream &out);

}

#endif
