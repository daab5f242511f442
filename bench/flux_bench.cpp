// PLL throughput: transitions per second through fluxToCells on three
// revolutions of a noisy HD track (18 sectors, 40 MHz ticks), and through
// detectDataRate on the same flux.
#include "flux_builder.h"
#include "mfm/pll.h"

#include <benchmark/benchmark.h>

namespace {

constexpr double SAMPLE_HZ = 40e6;

const std::vector<uint32_t> &noisyHdTrack()
{
    static const std::vector<uint32_t> flux = [] {
        const auto cells = trackCells(1, 0, 18, mfm::RATE_500K, 3);
        FluxNoise noise;
        noise.jitter = 0.06, noise.wobble = 0.015, noise.peakShift = 0.1, noise.splice = 0.4;
        noise.revolutionCells = revolutionCells(mfm::RATE_500K);
        noise.damage = {{250000, 3000}};
        return buildFlux(cells, int64_t(cells.size()) * 8, SAMPLE_HZ * mfm::cellSeconds(mfm::RATE_500K), noise);
    }();
    return flux;
}

void countTransitions(benchmark::State &state, size_t perIteration)
{
    state.counters["transitions/s"] = benchmark::Counter(
        double(state.iterations()) * double(perIteration), benchmark::Counter::kIsRate);
}

void BM_FluxToCells(benchmark::State &state)
{
    const auto &flux = noisyHdTrack();
    const std::vector<size_t> index = {0, flux.size() / 3, 2 * flux.size() / 3, flux.size()};
    mfm::CellStream out;
    for (auto _ : state) {
        mfm::fluxToCells(flux, SAMPLE_HZ * mfm::cellSeconds(mfm::RATE_500K), index, out);
        benchmark::DoNotOptimize(out.bytes.data());
    }
    countTransitions(state, flux.size());
}
BENCHMARK(BM_FluxToCells);

void BM_DetectDataRate(benchmark::State &state)
{
    const auto &flux = noisyHdTrack();
    for (auto _ : state)
        benchmark::DoNotOptimize(mfm::detectDataRate(flux, SAMPLE_HZ));
    countTransitions(state, flux.size());
}
BENCHMARK(BM_DetectDataRate);

}
