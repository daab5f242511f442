// Synthetic flux for the tests and benchmarks: intervals made from known MFM
// cells, with the faults of real media added on request (jitter, speed
// offset and wobble, peak shift, write splices, damaged stretches). Seeded,
// so every run gives the same flux.
#ifndef TESTS_FLUX_BUILDER_H
#define TESTS_FLUX_BUILDER_H

#include "flux_files.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A stretch of cells: `count` cells from cell index `first`.
struct CellSpan {
    int64_t first = 0;
    int64_t count = 0;
};

// What the medium does to the flux. All times are fractions of a cell.
struct FluxNoise {
    double jitter = 0;           // gaussian sigma of every transition's time
    double speed = 0;            // cells last (1 + speed) times the nominal cell
    double wobble = 0;           // sinusoidal speed change, amplitude (0.015: +-1.5 %)
    double wobblePeriods = 1;    // sine periods per revolution
    // A transition between intervals of a and b cells moves by
    // peakShift * (4/a^2 - 4/b^2) cells: away from the nearer neighbour, by
    // 0.75 * peakShift between intervals of 2 and 4 cells.
    double peakShift = 0;
    int64_t revolutionCells = 0; // cells per revolution (0: the whole stream is one)
    // At the start of every revolution but the first the flux jumps by this
    // many cells: the write splice of a track written in one go.
    double splice = 0;
    // Stretches whose transitions are replaced by random intervals of 1 to 5
    // cells.
    std::vector<CellSpan> damage{};
    uint64_t seed = 1;
};

// The flux of `cellCount` cells of `cells` (eight to a byte, earliest in
// bit 7) with a nominal cell time of `cellTicks` ticks: the ticks from the
// start (or from the previous transition) to each transition, each interval
// at least one tick. A one cell's transition lies at the end of the cell, so
// clean flux of cells starting at tick 0 reads back exactly. With `transitionCell`, also the cell index of the one
// cell behind every interval (-1 for the random ones of a damaged stretch).
std::vector<uint32_t> buildFlux(std::span<const uint8_t> cells, int64_t cellCount, double cellTicks,
                                const FluxNoise &noise, std::vector<int64_t> *transitionCell = nullptr);

// Flux of `revolutions` revolutions of `revolutionCells` cells, made by
// buildFlux with `transitionCell`, as SCP track `number`: each interval in
// the revolution its cell lies in (a damaged stretch's random ones in the
// revolution of the interval before them).
fluxfiles::ScpTrack scpTrack(int number, std::span<const uint32_t> flux, std::span<const int64_t> transitionCell,
                             int64_t revolutionCells, int revolutions);

// Cells of one revolution at a data rate (bit/s): 100,000 at 250 kbit/s
// (300 rpm), 100,000 at 300 kbit/s (360 rpm), 200,000 at 500 kbit/s.
int64_t revolutionCells(int rate);

// The cells of `revolutions` reads of one formatted track at `rate`: gap 4a,
// index mark, gap 1, sectors 1..`sectors` with the content of sectorData,
// gap 4E to the end of the revolution, the same cells every revolution.
// Returns the bytes; the number of cells is revolutions * revolutionCells.
std::vector<uint8_t> trackCells(int track, int side, int sectors, int rate, int revolutions);

#endif
