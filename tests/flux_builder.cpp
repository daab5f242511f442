#include "flux_builder.h"
#include "helpers.h"
#include "mfm/pll.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace {

// Relative strength of peak shift beside an interval of k cells.
double crowding(int64_t k) { return 4.0 / double(k * k); }

struct Transition {
    double time;
    int64_t cell;
};

}

std::vector<uint32_t> buildFlux(std::span<const uint8_t> cells, int64_t cellCount, double cellTicks,
                                const FluxNoise &noise, std::vector<int64_t> *transitionCell)
{
    cellCount = std::min(cellCount, int64_t(cells.size()) * 8);
    const int64_t revolution = noise.revolutionCells > 0 ? noise.revolutionCells : std::max<int64_t>(cellCount, 1);
    std::mt19937_64 rng(noise.seed);
    std::normal_distribution<double> gauss(0.0, noise.jitter * cellTicks);

    // Start time of every cell (and the end of the last), speed and splices applied.
    std::vector<double> start(size_t(cellCount) + 1);
    double t = 0;
    for (int64_t c = 0; c < cellCount; c++) {
        if (c > 0 && c % revolution == 0)
            t += noise.splice * cellTicks;
        start[size_t(c)] = t;
        const double angle = 2 * std::numbers::pi * noise.wobblePeriods * double(c % revolution) / double(revolution);
        t += cellTicks * (1 + noise.speed + noise.wobble * std::sin(angle));
    }
    start[size_t(cellCount)] = t;

    std::vector<int64_t> ones;
    for (int64_t c = 0; c < cellCount; c++)
        if (cells[size_t(c >> 3)] & (0x80 >> (c & 7)))
            ones.push_back(c);

    auto damaged = [&](int64_t c) {
        return std::any_of(noise.damage.begin(), noise.damage.end(),
                           [c](const CellSpan &s) { return c >= s.first && c < s.first + s.count; });
    };
    std::vector<Transition> flux;
    for (size_t j = 0; j < ones.size(); j++) {
        const int64_t c = ones[j];
        if (damaged(c))
            continue;
        double time = start[size_t(c) + 1] + gauss(rng);
        if (j > 0 && j + 1 < ones.size())
            time += noise.peakShift * cellTicks * (crowding(c - ones[j - 1]) - crowding(ones[j + 1] - c));
        flux.push_back({time, c});
    }
    std::uniform_real_distribution<double> randomCells(1.0, 5.0);
    for (const CellSpan &s : noise.damage) {
        const int64_t first = std::clamp<int64_t>(s.first, 0, cellCount);
        const int64_t end = std::clamp<int64_t>(s.first + s.count, first, cellCount);
        for (double time = start[size_t(first)] + randomCells(rng) * cellTicks; time < start[size_t(end)];
             time += randomCells(rng) * cellTicks)
            flux.push_back({time, -1});
    }
    std::sort(flux.begin(), flux.end(), [](const Transition &a, const Transition &b) { return a.time < b.time; });

    std::vector<uint32_t> intervals;
    intervals.reserve(flux.size());
    if (transitionCell)
        transitionCell->clear();
    int64_t previous = 0;
    for (const Transition &x : flux) {
        const int64_t tick = std::max(previous + 1, int64_t(std::llround(x.time)));
        intervals.push_back(uint32_t(tick - previous));
        previous = tick;
        if (transitionCell)
            transitionCell->push_back(x.cell);
    }
    return intervals;
}

int64_t revolutionCells(int rate)
{
    const int rpm = rate == mfm::RATE_300K ? 360 : 300;
    return int64_t(2) * rate * 60 / rpm;
}

std::vector<uint8_t> trackCells(int track, int side, int sectors, int rate, int revolutions)
{
    const int64_t perRevolution = revolutionCells(rate);
    std::vector<uint8_t> one(size_t(perRevolution / 8));
    CellWriter w(one, 0);
    w.fill(0x4E, 80);
    w.fill(0x00, 12);
    for (int i = 0; i < 3; i++)
        w.word(0x5224);   // C2 with a missing clock: the index mark's sync
    w.byte(0xFC);
    w.fill(0x4E, 50);
    for (int s = 1; s <= sectors; s++)
        w.sectorFields(uint8_t(track), uint8_t(side), uint8_t(s), sectorData(track, side, s).data());
    w.fill(0x4E, size_t(std::max<int64_t>(0, (perRevolution - w.bit()) / 16)));

    std::vector<uint8_t> all;
    all.reserve(one.size() * size_t(revolutions));
    for (int r = 0; r < revolutions; r++)
        all.insert(all.end(), one.begin(), one.end());
    return all;
}

fluxfiles::ScpTrack scpTrack(int number, std::span<const uint32_t> flux, std::span<const int64_t> transitionCell,
                             int64_t revolutionCells, int revolutions)
{
    fluxfiles::ScpTrack t{number, std::vector<fluxfiles::Intervals>(size_t(std::max(revolutions, 1)))};
    for (size_t i = 0, r = 0; i < flux.size(); i++) {
        if (transitionCell[i] >= 0)
            r = size_t(std::min<int64_t>(transitionCell[i] / revolutionCells, revolutions - 1));
        t.revolutions[r].push_back(flux[i]);
    }
    return t;
}
