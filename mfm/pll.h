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
/* No MFM disk's rate, but the cells of FM at 300 kbit/s (fm.h: FM at R is
 * read in cells of MFM at 2R). */
constexpr int RATE_600K = 600000;

/* Cell time in seconds of a data rate: 2 us at 250 kbit/s, 1 us at 500. */
constexpr double cellSeconds(int rate) { return 1.0 / (2.0 * rate); }

/* Guesses the data rate of a track from its intervals (ticks at `sampleHz`):
 * the rate whose cell time puts the most intervals within a quarter cell of
 * 2, 3 or 4 cells (RATE_600K last: it wins no tie). Unformatted flux and
 * noise fit no rate and so weigh little. Returns RATE_250K, RATE_300K,
 * RATE_500K or RATE_600K, or 0 when there are
 * fewer than DETECT_MIN_INTERVALS intervals, `sampleHz` is not positive, or
 * not even a quarter of the intervals fits the best rate. */
int detectDataRate(std::span<const uint32_t> intervals, double sampleHz);
constexpr size_t DETECT_MIN_INTERVALS = 64;

/* The cell time the flux shows, in ticks: the mean time per cell of the
 * intervals that lie within MEASURE_WINDOW cells of 2, 3 or 4 cells (of a
 * sample of runs of intervals spread over the whole track), found
 * from `nominalCellTicks` in a few rounds (so that a drive or a writer up to
 * about 12 % off its speed is measured right). The speed of the drive that
 * wrote the track shows in it as well as that of the drive that read it and
 * its sample clock; the index period shows only the reader's. Returns
 * `nominalCellTicks` when fewer than DETECT_MIN_INTERVALS intervals fit. */
double measureCellTicks(std::span<const uint32_t> intervals, double nominalCellTicks);
constexpr double MEASURE_WINDOW = 0.3;

/* The share of `intervals` (a sample of runs spread over the track, as
 * detectDataRate takes them) that lie within a quarter cell of `cells`
 * cells of `cellTicks` ticks; 0 when there are none. FM's flux in cells of
 * MFM at twice its rate has next to none of 3 cells, MFM's many. */
double intervalShare(std::span<const uint32_t> intervals, double cellTicks, int cells);

/* The cells of a flux stream. */
struct CellStream {
    std::vector<uint8_t> bytes;   /* cells, earliest in bit 7; bits past `cells` are 0 */
    int64_t cells = 0;            /* number of cells */
    std::vector<int64_t> marks;   /* cell index where each requested interval begins */
};

/* How the PLL follows the flux. The defaults are tuned on synthetic flux
 * with jitter, speed offset and wobble, peak shift, write splices and damage
 * (tests/pll_test.cpp), and on the real captures in the tests with jitter
 * added: low gains ride out noise; speed changes within a revolution are
 * slow enough for them.
 *
 * Each transition's phase error e (in cells, -0.5 .. 0.5: how much later
 * than the whole number of cells it came) corrects the phase by
 * phaseGain * e and the period by periodGain * e (of the nominal period),
 * the period staying within nominal * (1 +- clamp). Intervals of 2, 3 and
 * 4 cells (those of valid MFM; minValidCells to maxValidCells) steer the
 * loop at full gain; others, which only noise and damage make, at a quarter
 * of it. An interval of more than
 * LOCK_CELLS cells is a gap: it is rounded with the period of the moment and
 * the transition that ends it starts a fresh phase, the period kept. */
struct PllOptions {
    double phaseGain = 0.08;
    double periodGain = 0.001;
    double clamp = 0.05;
    /* Cells a single gap yields at most (the rest of a longer one is
     * dropped, which keeps a hostile stream of huge intervals from asking
     * for unbounded memory). */
    int64_t maxGapCells = int64_t(1) << 22;
    /* Cells after which every further gap yields one cell only, so that the
     * cells of one call stay within maxCells + LOCK_CELLS per interval
     * however long a hostile file's gaps are. Real tracks hold far fewer
     * (a revolution of HD flux is 200,000 cells). */
    int64_t maxCells = int64_t(1) << 27;
    /* The intervals that steer the loop at full gain, in cells: 2 to 4 for
     * MFM; 1 to 2 for FM read in its own cells (fm.h). */
    int minValidCells = 2, maxValidCells = 4;
};
constexpr int64_t LOCK_CELLS = 32;

/* Runs the PLL over `intervals` (ticks), nominal cell time `cellTicks`
 * ticks (1 to 2^24; anything else gives no cells), and replaces the
 * contents of `out` (its storage is reused). The first interval starts at
 * an unknown phase and is rounded like a gap. An interval shorter than half
 * a cell is no transition of its own: it adds to the next interval.
 * For each entry of `marks` (ascending interval indices, up to
 * intervals.size()), out.marks gets the cell index at which that interval
 * begins (the number of cells before it), so that index pulses can be
 * placed in the cell stream. An entry beyond intervals.size() counts as
 * intervals.size(); an entry smaller than its predecessor gets the
 * predecessor's cell index. */
void fluxToCells(std::span<const uint32_t> intervals, double cellTicks,
                 std::span<const size_t> marks, CellStream &out,
                 const PllOptions &options = {});

}

#endif
