// The PLL: exact cells from clean flux, the data rate, sectors from noisy
// flux (no fewer than a classic PLL recovers), speed offsets, gaps and
// marks. The real capture goes through it end to end in fluxtools_test.
#include "flux_builder.h"
#include "helpers.h"
#include "mfm/flux.h"
#include "mfm/fluxcells.h"
#include "mfm/pll.h"
#include "mfm/scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>

using namespace mfm;

namespace {

constexpr double SCP_HZ = 40e6;

double cellTicksAt(int rate, double hz = SCP_HZ) { return hz * cellSeconds(rate); }
int sectorsAt(int rate) { return rate == RATE_500K ? 18 : 9; }

struct Decoded {
    int good = 0;    // distinct sectors with both CRCs right and the right data
    int wrong = 0;   // CRCs right, but not the data or ID that was written
};

Decoded decode(const CellStream &cs, int track, int side)
{
    Scanner scanner;
    const auto fields = scanner.scan(cs.bytes, DataLength::fromId);
    std::set<int> good;
    Decoded d;
    for (const Field &data : fields) {
        if (data.mark != MARK_DATA || !data.crcOk() || data.id < 0 || !fields[size_t(data.id)].crcOk())
            continue;
        const Field &id = fields[size_t(data.id)];
        const auto want = sectorData(track, side, id.sector);
        if (id.track != track || id.side != side || data.data.size() != want.size()
            || memcmp(data.data.data(), want.data(), want.size()) != 0)
            d.wrong++;
        else
            good.insert(id.sector);
    }
    d.good = int(good.size());
    return d;
}

// The baseline: a classic software PLL as peer decoders use it. Period
// nudged by 5 % of each phase error and clamped to +-10 %, 60 % of the phase
// error corrected at every transition, one cell at a time.
void classicPll(std::span<const uint32_t> intervals, double cellTicks, CellStream &out)
{
    out.bytes.assign(1, 0);
    int64_t cell = 0;
    double clock = cellTicks, flux = 0;
    for (uint32_t t : intervals) {
        flux += t;
        if (flux < clock / 2)
            continue;
        double clocked = clock;
        for (; clocked < flux - clock / 2; clocked += clock)
            cell++;
        if (size_t(cell >> 3) >= out.bytes.size())
            out.bytes.resize(size_t(cell >> 3) * 2 + 1, 0);
        out.bytes[size_t(cell >> 3)] |= uint8_t(0x80 >> (cell & 7));
        cell++;
        const double error = flux - clocked;
        clock = std::clamp(clock + 0.05 * error, 0.9 * cellTicks, 1.1 * cellTicks);
        flux = 0.4 * error;
    }
    out.cells = cell;
}

// The fixed-point loop of pll.cpp written plainly: every interval through
// the same steps, a cell at a time. The PLL must give exactly its cells.
CellStream plainPll(std::span<const uint32_t> intervals, double cellTicks, std::span<const size_t> marks,
                    const PllOptions &o)
{
    const bool usable = cellTicks >= 1 && cellTicks <= double(1 << 24);
    const size_t n = usable ? intervals.size() : 0;
    const int F = 32 + int(std::floor(std::log2(usable ? cellTicks : 1.0)));
    const double unit = std::ldexp(1.0, F);
    const int64_t half = int64_t(1) << (F - 1);
    const double clamp = std::clamp(o.clamp, 0.0, 0.5);
    const double nominal = unit / cellTicks;
    const int64_t low = int64_t(nominal / (1 + clamp)), high = int64_t(nominal / (1 - clamp));
    const int64_t phaseGain = std::llround(std::clamp(o.phaseGain, 0.0, 1.0) * 65536);
    const int64_t periodGain = std::llround(std::clamp(o.periodGain, 0.0, 1.0) * nominal);
    const uint32_t limit =
        uint32_t(std::min(std::ceil((LOCK_CELLS + 2) * cellTicks * (1 + clamp)), double(UINT32_MAX)));
    int64_t scale = int64_t(nominal), offset = half, pending = 0;
    std::vector<bool> bits;
    auto one = [&](int64_t k) {
        bits.resize(bits.size() + size_t(k));
        bits.back() = true;
    };
    auto gap = [&](uint32_t t) {
        const double x = double(t) * double(scale) + double(offset - half);
        const double k = std::floor(x / unit + 0.5);
        if (k < 1) {
            offset = int64_t(x) + half;
            return;
        }
        offset = half;
        pending = 0;
        const int64_t room = std::max<int64_t>(1, o.maxCells - int64_t(bits.size()));
        one(std::min({int64_t(std::min(k, double(std::max<int64_t>(o.maxGapCells, LOCK_CELLS + 1)))), room}));
    };
    CellStream out;
    size_t next = 0;
    for (size_t i = 0; i <= n; i++) {
        for (; next < marks.size() && std::min(marks[next], n) <= i; next++)
            out.marks.push_back(next > 0 && marks[next] < marks[next - 1] ? out.marks.back() : int64_t(bits.size()));
        if (i == n)
            break;
        const uint32_t t = intervals[i];
        const int64_t y = int64_t(std::min(t, limit)) * scale + offset;
        const int64_t k = y >> F;
        if (i == 0 || k < 1 || k > LOCK_CELLS) {
            gap(t);
            continue;
        }
        const int shift = k >= 2 && k <= 4 ? 0 : 2;
        const int64_t keep = 65536 - (phaseGain >> shift);
        const int64_t f = y & ((int64_t(1) << F) - 1);
        offset = (f >> 16) * keep + half - (half >> 16) * keep;
        scale = std::clamp(scale - pending, low, high);
        pending = (((f >> (F - 16)) - 32768) * (periodGain >> shift)) >> 16;
        one(k);
    }
    out.cells = int64_t(bits.size());
    out.bytes.assign((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++)
        out.bytes[i / 8] = uint8_t(out.bytes[i / 8] | bits[i] << (7 - i % 8));
    return out;
}

// Three revolutions of a formatted track at `rate` read through `noise`.
std::vector<uint32_t> trackFlux(int track, int rate, FluxNoise noise)
{
    const auto cells = trackCells(track, 0, sectorsAt(rate), rate, 3);
    noise.revolutionCells = revolutionCells(rate);
    return buildFlux(cells, int64_t(cells.size()) * 8, cellTicksAt(rate), noise);
}

}

TEST(PllCells, CleanFluxGivesBackTheCells)
{
    struct Case {
        int rate;
        double hz;
    } cases[] = {{RATE_250K, SCP_HZ}, {RATE_300K, SCP_HZ}, {RATE_500K, KRYOFLUX_SAMPLE_HZ}, {RATE_500K, 1.5e6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        const auto cells = trackCells(1, 0, sectorsAt(c.rate), c.rate, 2);
        const auto flux = buildFlux(cells, int64_t(cells.size()) * 8, cellTicksAt(c.rate, c.hz), FluxNoise());
        CellStream out;
        fluxToCells(flux, cellTicksAt(c.rate, c.hz), {}, out);
        int64_t last = int64_t(cells.size()) * 8 - 1;
        while (!(cells[size_t(last >> 3)] & (0x80 >> (last & 7))))
            last--;
        ASSERT_EQ(out.cells, last + 1);
        EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), cells.begin()));
    }
}

// Every pass's loop gives exactly the cells of the plain loop, on flux with
// jitter, damage, gaps, runs of short intervals and zero ticks.
TEST(PllCells, SameCellsAsThePlainLoop)
{
    FluxNoise noise;
    noise.jitter = 0.15, noise.speed = 0.03, noise.wobble = 0.02, noise.peakShift = 0.1, noise.splice = 0.4;
    noise.damage = {{30000, 5000}, {130000, 200}};
    auto flux = trackFlux(4, RATE_250K, noise);
    std::mt19937 random(7);
    for (size_t i = 1000; i + 50 < flux.size(); i += 9000) {
        for (size_t k = 0; k < 20; k++)
            flux[i + k] = uint32_t(random() % 30);
        flux[i + 30] = uint32_t(random() % 100000);
    }
    flux[5000] = UINT32_MAX;
    const std::vector<size_t> marks = {0, 0, 1, 1000, flux.size() / 3, 12, flux.size(), flux.size() + 1};
    CellStream out;
    for (const FluxPass &pass : FLUX_PASSES)
        for (double cellTicks : {cellTicksAt(RATE_250K), cellTicksAt(RATE_250K) * 1.03, 5.0}) {
            SCOPED_TRACE(testing::Message() << pass.name << " " << cellTicks);
            PllOptions options = pass.pll;
            options.maxCells = cellTicks < 10 ? 3000000 : options.maxCells;
            fluxToCells(flux, cellTicks, marks, out, options);
            const CellStream want = plainPll(flux, cellTicks, marks, options);
            EXPECT_EQ(out.cells, want.cells);
            EXPECT_TRUE(out.bytes == want.bytes);
            EXPECT_EQ(out.marks, want.marks);
        }
}

TEST(PllCells, NoCellsForAnUnusableCellTime)
{
    const uint32_t flux[] = {80, 120, 160};
    CellStream out;
    for (double cellTicks : {0.0, -40.0, 0.5, double(NAN), 1e9}) {
        fluxToCells(flux, cellTicks, {}, out);
        EXPECT_EQ(out.cells, 0);
        EXPECT_TRUE(out.bytes.empty());
    }
}

TEST(PllRate, DetectsEachRateThroughNoise)
{
    FluxNoise noise;
    noise.jitter = 0.08, noise.speed = 0.02, noise.wobble = 0.015, noise.peakShift = 0.1;
    for (int rate : {RATE_250K, RATE_300K, RATE_500K}) {
        SCOPED_TRACE(rate);
        // Half of a revolution unformatted: random intervals.
        noise.damage = {{0, revolutionCells(rate) / 2}};
        const auto flux = trackFlux(2, rate, noise);
        EXPECT_EQ(detectDataRate(flux, SCP_HZ), rate);
        EXPECT_EQ(detectDataRate(std::span(flux).first(DETECT_MIN_INTERVALS - 1), SCP_HZ), 0);
    }
    const std::vector<uint32_t> noFit(1000, 30);   // 1.5 us: no rate's 2, 3 or 4 cells
    EXPECT_EQ(detectDataRate(noFit, SCP_HZ), 0);
}

// Noisy tracks: all sectors while the noise is moderate, never a wrong one,
// and never fewer than the classic PLL, which falls well behind as the noise
// grows (pll.h names how the defaults were chosen).
TEST(PllQuality, NoisyTracksDecodeAtLeastAsWellAsAClassicPll)
{
    struct Level {
        double jitter, peakShift;
        bool allSectors;
    } levels[] = {{0.04, 0.05, true}, {0.06, 0.10, true}, {0.08, 0.12, true}, {0.10, 0.14, false}};
    CellStream ours, classic;
    for (const Level &level : levels) {
        for (int rate : {RATE_250K, RATE_500K}) {
            int oursGood = 0, classicGood = 0;
            for (int track = 0; track < 3; track++) {
                SCOPED_TRACE(testing::Message() << "jitter " << level.jitter << " rate " << rate << " track " << track);
                FluxNoise noise;
                noise.jitter = level.jitter, noise.peakShift = level.peakShift;
                noise.speed = 0.01 * (track - 1), noise.wobble = 0.015, noise.wobblePeriods = 1 + track % 2;
                noise.splice = 0.43, noise.seed = uint64_t(100 + track);
                // One revolution damaged in the middle of a sector.
                noise.damage = {{revolutionCells(rate) * track + 20000, 3000}};
                const auto flux = trackFlux(track, rate, noise);
                fluxToCells(flux, cellTicksAt(rate), {}, ours);
                classicPll(flux, cellTicksAt(rate), classic);
                const Decoded o = decode(ours, track, 0), c = decode(classic, track, 0);
                EXPECT_EQ(o.wrong, 0);
                if (level.allSectors) {
                    EXPECT_EQ(o.good, sectorsAt(rate));
                }
                oursGood += o.good;
                classicGood += c.good;
            }
            EXPECT_GE(oursGood, classicGood) << "jitter " << level.jitter << " rate " << rate;
        }
    }
}

TEST(PllQuality, FollowsSpeedOffsetsUpToTheClamp)
{
    CellStream out;
    for (double speed : {-0.045, -0.02, 0.02, 0.045}) {
        SCOPED_TRACE(speed);
        FluxNoise noise;
        noise.jitter = 0.05, noise.speed = speed, noise.peakShift = 0.05;
        const auto flux = trackFlux(5, RATE_500K, noise);
        fluxToCells(flux, cellTicksAt(RATE_500K), {}, out);
        EXPECT_EQ(decode(out, 5, 0).good, sectorsAt(RATE_500K));
    }
}

TEST(PllQuality, LocksAgainAfterALongGap)
{
    // Sectors 1..4, then no flux for a third of a revolution, then 5..9, the
    // disk 2 % slow.
    constexpr int64_t GAP_CELLS = 30000;
    std::vector<uint8_t> cells(size_t(2 * revolutionCells(RATE_250K) / 8));
    CellWriter before(cells, 0);
    before.fill(0x4E, 60);
    for (int s = 1; s <= 4; s++)
        before.sectorFields(7, 0, uint8_t(s), sectorData(7, 0, s).data());
    CellWriter w(cells, before.bit() + GAP_CELLS);
    for (int s = 5; s <= 9; s++)
        w.sectorFields(7, 0, uint8_t(s), sectorData(7, 0, s).data());
    w.fill(0x4E, 40);
    FluxNoise noise;
    noise.jitter = 0.06, noise.speed = 0.02;
    const auto flux = buildFlux(cells, w.bit(), cellTicksAt(RATE_250K), noise);
    ASSERT_TRUE(std::any_of(flux.begin(), flux.end(), [](uint32_t t) { return t > GAP_CELLS * 80; }));
    CellStream out;
    fluxToCells(flux, cellTicksAt(RATE_250K), {}, out);
    EXPECT_EQ(decode(out, 7, 0).good, 9);
    EXPECT_NEAR(double(out.cells), double(w.bit()), 16.0);

    // A gap yields at most maxGapCells cells.
    const uint32_t huge[] = {80, UINT32_MAX, 80};
    PllOptions options;
    options.maxGapCells = 1000;
    fluxToCells(huge, 40, {}, out, options);
    EXPECT_EQ(out.cells, 2 + 1000 + 2);

    // And a stream of gaps, past maxCells, one cell each.
    const std::vector<uint32_t> gaps(10000, UINT32_MAX);
    options.maxCells = 100000;
    fluxToCells(gaps, 40, {}, out, options);
    EXPECT_EQ(out.cells, 100 * 1000 + 9900);
}

TEST(PllMarks, MapIntervalsToTheCellsBeforeThem)
{
    const auto cells = trackCells(3, 1, 9, RATE_250K, 1);
    std::vector<int64_t> oneCell;
    FluxNoise noise;
    noise.jitter = 0.05;
    const auto flux = buildFlux(cells, int64_t(cells.size()) * 8, cellTicksAt(RATE_250K), noise, &oneCell);
    const size_t n = flux.size();
    const std::vector<size_t> marks = {0, 1, 2, 777, n / 2, n - 1, n, n + 5, 3};
    CellStream out;
    fluxToCells(flux, cellTicksAt(RATE_250K), marks, out);
    ASSERT_EQ(out.marks.size(), marks.size());
    for (size_t i = 0; i < marks.size(); i++) {
        SCOPED_TRACE(marks[i]);
        const size_t m = std::min(marks[i], n);
        // Interval m begins after the one cell of interval m - 1; an entry
        // out of order keeps the cell index reached before it.
        const int64_t want = i > 0 && marks[i] < marks[i - 1] ? out.marks[i - 1]
                             : m == 0                         ? 0
                                                              : oneCell[m - 1] + 1;
        EXPECT_EQ(out.marks[i], want);
    }
}
