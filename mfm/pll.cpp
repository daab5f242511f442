// Flux to MFM cells: a second-order software PLL in fixed point.
//
// The loop keeps two numbers: `scale`, the cells per tick (the inverse of
// the period, so that no interval needs a division), and `phase`, the part
// of the last phase error not yet corrected, both scaled by 2^F. For an
// interval of t ticks
//
//   x     = t * scale + phase             cells since the last one cell
//   k     = round(x)                      whole cells: k-1 zeros and a one
//   e     = x - k                         phase error, -1/2 .. 1/2 cell
//   phase = e - phaseGain * e             the transition pulls the phase
//   scale = scale - periodGain * e * s0   and the period (s0: nominal scale)
//
// with `scale` kept within the clamp around nominal. Intervals of 2 to 4
// cells (valid MFM) steer with full gain, all others with a quarter: a
// stretch of damage then barely moves the loop. The period gain works like
// an integrator, so a constant speed offset leaves no lasting phase error;
// the phase gain sets how quickly the loop forgets a jittered or peak-shifted
// transition, the compromise between following speed changes and not
// following noise.
//
// The cells go into a 64-bit accumulator, earliest cell at the top: each
// interval ORs in its one cell, and once it holds 32 cells their four bytes
// are stored and shifted out. The buffer is zero beyond the current cell, so
// zero cells need no writing at all and a long gap only moves the position.
//
// The fast intervals (1 to LOCK_CELLS cells, after the first) run in a loop
// of their own with the whole state in registers; the others, and the checks
// for room, leave it.
#include "mfm/pll.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace mfm {

namespace {

constexpr int FRACTION_BITS = 32;           // bits below the cell in `scale` for 1-tick cells
constexpr int GAIN_BITS = 16;               // fixed-point gains: value * 2^16
constexpr int WEAK_GAIN_SHIFT = 2;          // intervals outside 2..4 cells: a quarter of the gain
constexpr int64_t MIN_VALID_CELLS = 2;
constexpr int64_t MAX_VALID_CELLS = 4;
constexpr double MAX_CELL_TICKS = double(int64_t(1) << 24);
constexpr double MAX_CLAMP = 0.5;
constexpr size_t CHUNK = 1024;              // intervals between capacity checks
constexpr size_t RESERVE_RUNS = 16;         // runs of intervals that size the cell buffer,
constexpr size_t RESERVE_RUN = 64;          // each this long,
constexpr double RESERVE_MARGIN = 1.05;     // and the margin on the cells they promise
constexpr size_t STORE_BYTES = 8;           // bytes of the accumulator store
constexpr size_t DETECT_RUNS = 8;           // runs of neighbouring intervals detectDataRate looks at,
constexpr size_t DETECT_RUN = 1024;         // each this long (a short track: every interval)
constexpr size_t MEASURE_RUNS = 16;         // runs measureCellTicks looks at,
constexpr size_t MEASURE_RUN = 2048;        // each this long
// Bytes a chunk of fast intervals can need: LOCK_CELLS cells each, plus the store.
constexpr size_t CHUNK_BYTES = CHUNK * LOCK_CELLS / 8 + 2 * STORE_BYTES;

inline void storeBigEndian(uint8_t *p, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
}

// The cell writer: bytes [0, pos) are final, `acc` holds the next `fill`
// (0..63) cells at its top, everything after them in `bytes` is zero.
struct Writer {
    std::vector<uint8_t> &bytes;
    size_t pos = 0;
    int64_t fill = 0;
    uint64_t acc = 0;

    int64_t cells() const { return int64_t(pos) * 8 + fill; }

    // Room for a chunk of fast intervals from cell `cell` on.
    void reserveFrom(int64_t cell)
    {
        const size_t need = size_t(cell / 8) + CHUNK_BYTES;
        if (bytes.size() < need)
            bytes.resize(std::max(need, bytes.size() * 2));
    }

    // Any number of cells (k >= 1): the accumulator goes out, the one cell
    // is set in place and the accumulator starts again from its byte.
    void putLong(int64_t k)
    {
        storeBigEndian(bytes.data() + pos, acc);
        const int64_t one = cells() + k - 1;
        reserveFrom(one);
        bytes[size_t(one >> 3)] |= uint8_t(0x80 >> (one & 7));
        pos = size_t((one + 1) >> 3);
        fill = (one + 1) & 7;
        acc = uint64_t(bytes[pos]) << 56;
    }
};

// Gains in fixed point, for intervals of valid MFM and (a quarter) for the
// others. The phase update e * (1 - phaseGain) is done on y = x + 1/2, whose
// fraction f = e + 1/2 is a plain mask:
//   y' = t' * scale + (f >> 16) * keep + base,   base = 1/2 - (1/2 >> 16) * keep.
struct Gains {
    int64_t keep, base, period;
};

// What the loop works with for a whole call.
struct Loop {
    int F;                          // bits below the cell in y
    int64_t mask;                   // the fraction of y
    int64_t half;                   // half a cell
    Gains full, weak;
    int64_t scaleLow, scaleHigh;
    uint32_t limitTicks;            // intervals this long leave the fast path
    uint64_t validFrom, validSpan;  // intervals at full gain: y - validFrom < validSpan
};

// What changes from interval to interval.
struct State {
    int64_t scale;
    int64_t offset;                 // phase still to correct, plus half a cell
    // Each period correction is applied one interval late: it then stays off
    // the chain of dependent operations from one interval to the next, which
    // sets the speed of the loop; at these gains one interval of delay
    // changes nothing that can be measured.
    int64_t pending;
};

constexpr int64_t ERROR_BIAS = int64_t(1) << (GAIN_BITS - 1);   // 1/2 cell in 2^-16 cells

// The intervals of [i, end) up to the first that is no fast one (1 to
// LOCK_CELLS cells), with room for their cells in w.bytes; returns the index
// where it stopped. The state lives in registers meanwhile. From one
// interval to the next only y -> f -> (f >> 16) * keep -> y' depends on the
// last: the base of the next phase is added to t' * scale' first, and the
// gains of valid MFM are taken for granted until y shows otherwise (a branch
// the processor predicts, where a choice would wait for y). The cells go
// into the accumulator, which holds up to 63 of them and gives out four
// bytes once it holds 32.
size_t fastIntervals(const uint32_t *intervals, size_t i, size_t end, const Loop &loop, State &state, Writer &w)
{
    const int F = loop.F;
    const int64_t mask = loop.mask, scaleLow = loop.scaleLow;
    const uint64_t scaleSpan = uint64_t(loop.scaleHigh - loop.scaleLow);
    const Gains full = loop.full, weak = loop.weak;
    const uint32_t limitTicks = loop.limitTicks;
    const int64_t one = int64_t(1) << F;
    const uint64_t lockSpan = uint64_t(LOCK_CELLS) << F;
    const uint64_t validFrom = loop.validFrom, validSpan = loop.validSpan;
    int64_t scale = state.scale, pending = state.pending;
    int64_t product = state.offset, base = 0;     // offset = product + base
    uint8_t *const bytes = w.bytes.data();
    size_t pos = w.pos;
    int64_t fill = w.fill;
    uint64_t acc = w.acc;
    for (; i < end; i++) {
        const uint32_t t = intervals[i];
        // Longer intervals are gaps whatever the period (and t * scale
        // stays far from overflow).
        if (t > limitTicks) [[unlikely]]
            break;
        const int64_t y = (int64_t(t) * scale + base) + product;
        const int64_t f = y & mask;
        const int64_t lastBase = base;
        int64_t keep = full.keep, period = full.period;
        base = full.base;
        if (uint64_t(y) - validFrom >= validSpan) [[unlikely]] {
            if (uint64_t(y - one) >= lockSpan) {
                base = lastBase;   // the slow path takes the phase as it was
                break;
            }
            keep = weak.keep, period = weak.period, base = weak.base;
        }
        const int64_t k = y >> F;
        product = (f >> GAIN_BITS) * keep;
        scale -= pending;
        pending = (((f >> (F - GAIN_BITS)) - ERROR_BIAS) * period) >> GAIN_BITS;
        if (uint64_t(scale - scaleLow) > scaleSpan) [[unlikely]] {
            // A branch, not a conditional move: the clamp then adds nothing
            // to the chain from one period to the next.
            asm("" : "+r"(scale));
            scale = std::clamp(scale, scaleLow, loop.scaleHigh);
        }
        // k cells: k-1 zeros and a one.
        fill += k;
        acc |= uint64_t(1) << (64 - fill);
        if (fill >= 32) {
            storeBigEndian(bytes + pos, acc);
            pos += 4;
            acc <<= 32;
            fill -= 32;
        }
    }
    state = {scale, product + base, pending};
    w.pos = pos, w.fill = fill, w.acc = acc;
    return i;
}

}

void fluxToCells(std::span<const uint32_t> intervals, double cellTicks,
                 std::span<const size_t> marks, CellStream &out, const PllOptions &options)
{
    out.bytes.clear();
    out.marks.clear();
    out.cells = 0;
    Writer w{out.bytes};
    const bool usable = cellTicks >= 1 && cellTicks <= MAX_CELL_TICKS;
    const size_t n = usable ? intervals.size() : 0;

    Loop loop;
    loop.F = FRACTION_BITS + int(std::floor(std::log2(usable ? cellTicks : 1.0)));
    const double unit = std::ldexp(1.0, loop.F);                // one cell
    loop.half = int64_t(1) << (loop.F - 1);
    loop.mask = (int64_t(1) << loop.F) - 1;
    const double clamp = std::clamp(options.clamp, 0.0, MAX_CLAMP);
    const double nominal = unit / cellTicks;                    // scale at the nominal period
    loop.scaleLow = int64_t(nominal / (1 + clamp));
    loop.scaleHigh = int64_t(nominal / (1 - clamp));
    const int64_t phaseGain = std::llround(std::clamp(options.phaseGain, 0.0, 1.0) * (1 << GAIN_BITS));
    const int64_t periodGain = std::llround(std::clamp(options.periodGain, 0.0, 1.0) * nominal);
    const int64_t maxGap = std::max<int64_t>(options.maxGapCells, LOCK_CELLS + 1);
    // Intervals this long leave the fast path whatever the period; clamping
    // to it keeps t * scale far from overflow.
    loop.limitTicks = uint32_t(std::min(
        std::ceil((LOCK_CELLS + 2) * cellTicks * (1 + clamp)), double(UINT32_MAX)));
    auto gains = [&](int shift) {
        const int64_t keep = (int64_t(1) << GAIN_BITS) - (phaseGain >> shift);
        return Gains{keep, loop.half - (loop.half >> GAIN_BITS) * keep, periodGain >> shift};
    };
    loop.full = gains(0), loop.weak = gains(WEAK_GAIN_SHIFT);
    const int64_t minValid = std::clamp<int64_t>(options.minValidCells, 1, LOCK_CELLS);
    const int64_t maxValid = std::clamp<int64_t>(options.maxValidCells, minValid, LOCK_CELLS);
    loop.validFrom = uint64_t(minValid) << loop.F;
    loop.validSpan = uint64_t(maxValid - minValid + 1) << loop.F;

    // Room for the cells that a sample of the intervals promises (runs of
    // neighbours spread over the whole stream), so that the buffer is
    // seldom grown and copied on the way.
    const size_t samples = std::min(RESERVE_RUNS, n / RESERVE_RUN + 1), sample = std::min(RESERVE_RUN, n);
    double ticks = 0;
    for (size_t r = 0; r < samples; r++) {
        const size_t from = samples == 1 ? 0 : r * (n - sample) / (samples - 1);
        for (size_t i = from; i < from + sample; i++)
            ticks += std::min(intervals[i], loop.limitTicks);
    }
    const double promised = n ? ticks / cellTicks * RESERVE_MARGIN * double(n) / double(samples * sample) : 0;
    w.reserveFrom(int64_t(std::min(promised, double(std::max<int64_t>(0, options.maxCells)))));

    State state{int64_t(nominal), loop.half, 0};

    // The rare intervals: too short to be a transition (k = 0: it adds to
    // the next one), gaps (the transition after them starts a fresh phase)
    // and the first interval, whose start has no phase at all.
    auto slow = [&](uint32_t t) {
        const double x = double(t) * double(state.scale) + double(state.offset - loop.half);
        const double cells = std::floor(x / unit + 0.5);
        if (cells < 1) {
            state.offset = int64_t(x) + loop.half;
            return;
        }
        state.offset = loop.half;
        state.pending = 0;
        // A gap yields at most maxGap cells, and once the stream holds
        // maxCells, one: cells then grow with the intervals, not their length.
        const int64_t room = std::max<int64_t>(1, options.maxCells - w.cells());
        w.putLong(std::min({int64_t(std::min(cells, double(maxGap))), room}));
    };

    auto run = [&](size_t from, size_t to) {
        if (from == 0 && to > 0)
            slow(intervals[from++]);
        for (size_t i = from; i < to;) {
            const size_t end = std::min(to, i + CHUNK);
            w.reserveFrom(w.cells());
            i = fastIntervals(intervals.data(), i, end, loop, state, w);
            if (i < end)
                slow(intervals[i++]);
        }
    };
    size_t done = 0;
    out.marks.reserve(marks.size());
    for (size_t m : marks) {
        const size_t to = std::min(m, n);
        if (to > done) {
            run(done, to);
            done = to;
        }
        out.marks.push_back(w.cells());
    }
    run(done, n);

    storeBigEndian(w.bytes.data() + w.pos, w.acc);
    out.cells = w.cells();
    out.bytes.resize(size_t((out.cells + 7) / 8));
}

namespace {

// The ticks t (as whole numbers) of an interval whose cells, double(t) *
// perTick, lie strictly between two numbers: t - from < width, modulo 2^32.
struct TickWindow {
    uint32_t from = 0, width = 0;
};

// The least t up to 2^32 from which `holds` is true (false below it), found
// from an estimate that is off by a tick or two at most.
template <typename Holds>
uint64_t firstTick(double estimate, Holds holds)
{
    constexpr uint64_t END = uint64_t(1) << 32;
    uint64_t t = estimate >= double(END) ? END : estimate > 0 ? uint64_t(estimate) : 0;
    while (t > 0 && holds(t - 1))
        t--;
    while (t < END && !holds(t))
        t++;
    return t;
}

TickWindow tickWindow(double perTick, double low, double high)
{
    // Multiplying by perTick keeps the order of the ticks, so each bound is
    // one tick, found with the very products the test would take.
    const uint64_t from = firstTick(low / perTick, [&](uint64_t t) { return double(t) * perTick > low; });
    const uint64_t to = firstTick(high / perTick, [&](uint64_t t) { return !(double(t) * perTick < high); });
    return to > from ? TickWindow{uint32_t(from), uint32_t(to - from)} : TickWindow{};
}

}

int detectDataRate(std::span<const uint32_t> intervals, double sampleHz)
{
    if (intervals.size() < DETECT_MIN_INTERVALS || !(sampleHz > 0))
        return 0;
    constexpr std::array<int, 4> rates = {RATE_250K, RATE_300K, RATE_500K, RATE_600K};
    constexpr double WINDOW = 0.25;         // cells either side of 2, 3 and 4
    constexpr double MIN_SHARE = 0.25;
    constexpr size_t VALID = MAX_VALID_CELLS - MIN_VALID_CELLS + 1;
    // An interval fits a rate when its cells, double(t) * perTick, round to
    // 2, 3 or 4 and lie within WINDOW of it: strictly inside one of three
    // windows of ticks, which are worked out once.
    std::array<TickWindow, rates.size() * VALID> windows;
    for (size_t r = 0; r < rates.size(); r++) {
        const double perTick = 1.0 / (sampleHz * cellSeconds(rates[r]));
        for (size_t k = 0; k < VALID; k++) {
            const double cells = double(MIN_VALID_CELLS + int64_t(k));
            windows[r * VALID + k] = tickWindow(perTick, cells - WINDOW, cells + WINDOW);
        }
    }
    // A sample of runs spread across the whole track is as telling as every
    // interval; runs of neighbours keep the reads in order.
    const size_t runs = std::min<size_t>(DETECT_RUNS, intervals.size() / DETECT_RUN);
    size_t sampled = 0;
    std::array<uint32_t, windows.size()> inside{};
    auto count = [&](std::span<const uint32_t> run) {
        for (uint32_t t : run)
            for (size_t w = 0; w < windows.size(); w++)
                inside[w] += uint32_t(t - windows[w].from) < windows[w].width;
        sampled += run.size();
    };
    if (runs == 0)
        count(intervals);
    for (size_t run = 0; run < runs; run++)
        count(intervals.subspan(run * (intervals.size() - DETECT_RUN) / std::max<size_t>(1, runs - 1), DETECT_RUN));
    std::array<size_t, rates.size()> hits{};
    for (size_t w = 0; w < windows.size(); w++)
        hits[w / VALID] += inside[w];
    const size_t best = size_t(std::max_element(hits.begin(), hits.end()) - hits.begin());
    return double(hits[best]) >= MIN_SHARE * double(sampled) ? rates[best] : 0;
}

double intervalShare(std::span<const uint32_t> intervals, double cellTicks, int cells)
{
    constexpr double WINDOW = 0.25;
    if (intervals.empty() || !(cellTicks > 0) || cellTicks > MAX_CELL_TICKS)
        return 0;
    const TickWindow w = tickWindow(1 / cellTicks, cells - WINDOW, cells + WINDOW);
    const size_t runs = std::min<size_t>(DETECT_RUNS, intervals.size() / DETECT_RUN);
    size_t inside = 0, sampled = 0;
    auto count = [&](std::span<const uint32_t> run) {
        for (const uint32_t t : run)
            inside += uint32_t(t - w.from) < w.width;
        sampled += run.size();
    };
    if (runs == 0)
        count(intervals);
    for (size_t run = 0; run < runs; run++)
        count(intervals.subspan(run * (intervals.size() - DETECT_RUN) / std::max<size_t>(1, runs - 1), DETECT_RUN));
    return double(inside) / double(sampled);
}

double measureCellTicks(std::span<const uint32_t> intervals, double nominalCellTicks)
{
    constexpr int ROUNDS = 4;
    constexpr double SPAN_CELLS = 6;        // intervals up to this long count at all
    constexpr size_t MAX_BINS = 4096;
    if (!(nominalCellTicks > 0) || nominalCellTicks > MAX_CELL_TICKS)
        return nominalCellTicks;
    // One pass over the intervals into a histogram (bins of `width` ticks),
    // then the rounds over the bins.
    const double width = std::max(1.0, SPAN_CELLS * nominalCellTicks / double(MAX_BINS));
    const size_t bins = size_t(SPAN_CELLS * nominalCellTicks / width) + 1;
    const double perBin = 1.0 / width;
    // Neighbouring intervals mostly fall in the same few bins: they count in
    // HISTOGRAMS histograms in turn, so that no count waits for the one
    // before it, and are added up after.
    constexpr size_t HISTOGRAMS = 4;
    std::vector<uint32_t> counts(bins * HISTOGRAMS, 0);
    // Runs of neighbouring intervals spread over the whole track show its
    // speed as well as every interval does.
    const size_t runs = std::min(MEASURE_RUNS, intervals.size() / MEASURE_RUN + 1);
    const size_t run = std::min(MEASURE_RUN, intervals.size());
    for (size_t r = 0; r < runs; r++) {
        const size_t from = runs == 1 ? 0 : r * (intervals.size() - run) / (runs - 1);
        if (width == 1) {
            // Bins of a tick (cells of up to MAX_BINS / SPAN_CELLS ticks):
            // the interval is its bin.
            for (size_t i = from; i < from + run; i++)
                if (intervals[i] < bins)
                    counts[size_t(intervals[i]) * HISTOGRAMS + i % HISTOGRAMS]++;
            continue;
        }
        for (size_t i = from; i < from + run; i++) {
            // Below 2^33: the signed conversion truncates as the unsigned would.
            const uint64_t b = uint64_t(int64_t(double(intervals[i]) * perBin));
            if (b < bins)
                counts[size_t(b) * HISTOGRAMS + i % HISTOGRAMS]++;
        }
    }
    std::vector<uint32_t> histogram(bins, 0);
    for (size_t b = 0; b < bins; b++)
        for (size_t h = 0; h < HISTOGRAMS; h++)
            histogram[b] += counts[b * HISTOGRAMS + h];
    double cell = nominalCellTicks;
    for (int round = 0; round < ROUNDS; round++) {
        double ticks = 0, cells = 0, n = 0;
        for (size_t b = 0; b < bins; b++) {
            if (histogram[b] == 0)
                continue;
            const double t = (double(b) + 0.5) * width;
            const double x = t / cell;
            const double k = std::floor(x + 0.5);
            if (k >= double(MIN_VALID_CELLS) && k <= double(MAX_VALID_CELLS) && std::fabs(x - k) < MEASURE_WINDOW) {
                ticks += t * histogram[b];
                cells += k * histogram[b];
                n += histogram[b];
            }
        }
        if (n < double(DETECT_MIN_INTERVALS))
            return nominalCellTicks;
        cell = ticks / cells;
    }
    return cell;
}

}
