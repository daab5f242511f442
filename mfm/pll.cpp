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
// interval ORs in its one cell, the whole bytes are stored (an unaligned
// 8-byte store at every interval, no branch) and shifted out. The buffer is
// zero beyond the current cell, so zero cells need no writing at all and a
// long gap only moves the position.
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
// (0..7) cells at its top, everything after them in `bytes` is zero.
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

    // k (1..LOCK_CELLS) cells: k-1 zeros and a one.
    [[gnu::always_inline]] void put(int64_t k)
    {
        fill += k;
        acc |= uint64_t(1) << (64 - fill);
        storeBigEndian(bytes.data() + pos, acc);
        const int64_t whole = fill >> 3;
        pos += size_t(whole);
        acc <<= whole * 8;
        fill &= 7;
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
    w.reserveFrom(int64_t(n / 2));

    const int F = FRACTION_BITS + int(std::floor(std::log2(usable ? cellTicks : 1.0)));
    const double unit = std::ldexp(1.0, F);                     // one cell
    const int64_t half = int64_t(1) << (F - 1);
    const double clamp = std::clamp(options.clamp, 0.0, MAX_CLAMP);
    const double nominal = unit / cellTicks;                    // scale at the nominal period
    const int64_t scaleLow = int64_t(nominal / (1 + clamp));
    const int64_t scaleHigh = int64_t(nominal / (1 - clamp));
    const int64_t phaseGain = std::llround(std::clamp(options.phaseGain, 0.0, 1.0) * (1 << GAIN_BITS));
    const int64_t periodGain = std::llround(std::clamp(options.periodGain, 0.0, 1.0) * nominal);
    const int64_t maxGap = std::max<int64_t>(options.maxGapCells, LOCK_CELLS + 1);
    // Intervals this long leave the fast path whatever the period; clamping
    // to it keeps t * scale far from overflow.
    const uint32_t limitTicks = uint32_t(std::min(
        std::ceil((LOCK_CELLS + 2) * cellTicks * (1 + clamp)), double(UINT32_MAX)));

    // Gains in fixed point, for intervals of valid MFM and (a quarter) for
    // the others. The phase update e * (1 - phaseGain) is done on y = x + 1/2,
    // whose fraction f = e + 1/2 is a plain mask:
    //   y' = t' * scale + (f >> 16) * keep + base,   base = 1/2 - (1/2 >> 16) * keep.
    struct Gains {
        int64_t keep, base, period;
    };
    auto gains = [&](int shift) {
        const int64_t keep = (int64_t(1) << GAIN_BITS) - (phaseGain >> shift);
        return Gains{keep, half - (half >> GAIN_BITS) * keep, periodGain >> shift};
    };
    const Gains full = gains(0), weak = gains(WEAK_GAIN_SHIFT);
    const int64_t mask = (int64_t(1) << F) - 1;
    constexpr int64_t ERROR_BIAS = int64_t(1) << (GAIN_BITS - 1);   // 1/2 cell in 2^-16 cells

    int64_t scale = int64_t(nominal);
    int64_t offset = half;       // phase still to correct, plus half a cell
    // Each period correction is applied one interval late: it then stays off
    // the chain of dependent operations from one interval to the next,
    // which sets the speed of the loop; at these gains one interval of delay
    // changes nothing that can be measured.
    int64_t pending = 0;

    // The rare intervals: too short to be a transition (k = 0: it adds to
    // the next one), gaps (the transition after them starts a fresh phase)
    // and the first interval, whose start has no phase at all.
    auto slow = [&](uint32_t t) {
        const double x = double(t) * double(scale) + double(offset - half);
        const double cells = std::floor(x / unit + 0.5);
        if (cells < 1) {
            offset = int64_t(x) + half;
            return;
        }
        offset = half;
        pending = 0;
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
            for (; i < end; i++) {
                const uint32_t t = intervals[i];
                const int64_t y = int64_t(std::min(t, limitTicks)) * scale + offset;
                const int64_t k = y >> F;
                if (uint64_t(k - 1) >= uint64_t(LOCK_CELLS)) [[unlikely]] {
                    slow(t);
                    w.reserveFrom(w.cells());
                    continue;
                }
                const bool valid = uint64_t(k - MIN_VALID_CELLS) <= uint64_t(MAX_VALID_CELLS - MIN_VALID_CELLS);
                const int64_t keep = valid ? full.keep : weak.keep;
                const int64_t base = valid ? full.base : weak.base;
                const int64_t period = valid ? full.period : weak.period;
                const int64_t f = y & mask;
                offset = (f >> GAIN_BITS) * keep + base;
                scale -= pending;
                pending = (((f >> (F - GAIN_BITS)) - ERROR_BIAS) * period) >> GAIN_BITS;
                if (scale < scaleLow || scale > scaleHigh) [[unlikely]]
                    scale = std::clamp(scale, scaleLow, scaleHigh);
                w.put(k);
            }
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

int detectDataRate(std::span<const uint32_t> intervals, double sampleHz)
{
    if (intervals.size() < DETECT_MIN_INTERVALS || !(sampleHz > 0))
        return 0;
    constexpr std::array<int, 3> rates = {RATE_250K, RATE_300K, RATE_500K};
    constexpr double WINDOW = 0.25;         // cells either side of 2, 3 and 4
    constexpr double MIN_SHARE = 0.25;
    std::array<double, 3> perTick{};
    for (size_t r = 0; r < rates.size(); r++)
        perTick[r] = 1.0 / (sampleHz * cellSeconds(rates[r]));
    // A sample of runs spread across the whole track is as telling as every
    // interval; runs of neighbours keep the reads in order.
    const size_t runs = std::min<size_t>(DETECT_RUNS, intervals.size() / DETECT_RUN);
    size_t sampled = 0;
    std::array<size_t, 3> hits{};
    auto count = [&](uint32_t t) {
        for (size_t r = 0; r < rates.size(); r++) {
            const double cells = double(t) * perTick[r];
            const double k = double(int64_t(cells + 0.5));   // cells >= 0: truncation rounds
            hits[r] += k >= double(MIN_VALID_CELLS) && k <= double(MAX_VALID_CELLS) && std::fabs(cells - k) < WINDOW;
        }
        sampled++;
    };
    if (runs == 0) {
        for (uint32_t t : intervals)
            count(t);
    }
    for (size_t run = 0; run < runs; run++) {
        const size_t from = run * (intervals.size() - DETECT_RUN) / std::max<size_t>(1, runs - 1);
        for (size_t i = from; i < from + DETECT_RUN; i++)
            count(intervals[i]);
    }
    const size_t best = size_t(std::max_element(hits.begin(), hits.end()) - hits.begin());
    return double(hits[best]) >= MIN_SHARE * double(sampled) ? rates[best] : 0;
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
    std::vector<uint32_t> histogram(bins, 0);
    const double perBin = 1.0 / width;
    // Runs of neighbouring intervals spread over the whole track show its
    // speed as well as every interval does.
    const size_t runs = std::min(MEASURE_RUNS, intervals.size() / MEASURE_RUN + 1);
    const size_t run = std::min(MEASURE_RUN, intervals.size());
    for (size_t r = 0; r < runs; r++) {
        const size_t from = runs == 1 ? 0 : r * (intervals.size() - run) / (runs - 1);
        for (size_t i = from; i < from + run; i++) {
            const size_t b = size_t(double(intervals[i]) * perBin);
            if (b < bins)
                histogram[b]++;
        }
    }
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
