// Flux decoding throughput, in transitions per second, on three revolutions
// of a noisy HD track (18 sectors, 40 MHz ticks): the PLL alone, rate
// detection alone, the SCP reader alone, and the whole road of a track in
// rawimage (reader, rate, PLL, scanner, sector copies). And the aligned vote
// of a sector's bad copies, each with slips and errors of its own.
#include "flux_builder.h"
#include "flux_files.h"
#include "helpers.h"
#include "mfm/flux.h"
#include "mfm/pll.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"
#include "mfm/vote.h"

#include <benchmark/benchmark.h>

#include <random>

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

// The track as an SCP image of three revolutions (split by count: the
// readers do not care where).
const std::vector<uint8_t> &scpOfTrack()
{
    static const std::vector<uint8_t> image = [] {
        const auto &flux = noisyHdTrack();
        fluxfiles::ScpTrack t{0, {}};
        for (size_t r = 0; r < 3; r++)
            t.revolutions.emplace_back(flux.begin() + long(r * flux.size() / 3),
                                       flux.begin() + long((r + 1) * flux.size() / 3));
        return fluxfiles::scpImage({t});
    }();
    return image;
}

void BM_ReadScpTrack(benchmark::State &state)
{
    mfm::FluxTrack track;
    for (auto _ : state) {
        mfm::readScpTrack(scpOfTrack(), "bench", 0, track);
        benchmark::DoNotOptimize(track.intervals.data());
    }
    countTransitions(state, noisyHdTrack().size());
}
BENCHMARK(BM_ReadScpTrack);

void BM_ReadPllScan(benchmark::State &state)
{
    mfm::FluxTrack track;
    mfm::CellStream cells;
    mfm::Scanner scanner;
    size_t good = 0;
    for (auto _ : state) {
        mfm::readScpTrack(scpOfTrack(), "bench", 0, track);
        const int rate = mfm::detectDataRate(track.intervals, track.sampleHz);
        mfm::fluxToCells(track.intervals, track.sampleHz * mfm::cellSeconds(rate), track.index, cells);
        mfm::TrackRead read;
        mfm::collectCopies(scanner.scan({cells.bytes.data(), cells.bytes.size()}, mfm::DataLength::fromId),
                           cells.marks, read);
        good = size_t(std::count_if(read.copies.begin(), read.copies.end(), [](auto &c) { return c.good(); }));
    }
    countTransitions(state, noisyHdTrack().size());
    state.counters["good copies"] = double(good);
}
BENCHMARK(BM_ReadPllScan);

// `reads` bad copies of a 512-byte sector, every one with a cell lost or an
// error every few hundred cells, so that only the aligned vote can hold it.
std::vector<mfm::SectorCopy> damagedCopies(size_t reads)
{
    const auto data = sectorData(0, 0, 1);
    std::mt19937 random(5);
    std::vector<mfm::SectorCopy> copies;
    mfm::Scanner scanner;
    while (copies.size() < reads) {
        std::vector<uint8_t> cells(4000, 0);
        CellWriter(cells, 0).sectorFields(0, 0, 1, data.data());
        std::vector<bool> bits;
        for (size_t i = 0; i < cells.size() * 8; i++)
            bits.push_back((cells[i >> 3] >> (7 - (i & 7))) & 1);
        for (size_t at = 1100 + random() % 300; at < 1000 + 16 * 514; at += 300 + random() % 900) {
            if (random() % 4)
                bits[at] = !bits[at];
            else
                bits.erase(bits.begin() + ptrdiff_t(at));
        }
        std::fill(cells.begin(), cells.end(), 0);
        for (size_t i = 0; i < bits.size(); i++)
            cells[i >> 3] = uint8_t(cells[i >> 3] | bits[i] << (7 - (i & 7)));
        mfm::TrackRead read;
        mfm::collectCopies(scanner.scan(cells, mfm::DataLength::fromId), {}, read, cells);
        for (auto &c : read.copies)
            if (!c.dataOk && !c.cells.empty())
                copies.push_back(std::move(c));
    }
    return copies;
}

void BM_AlignedVote(benchmark::State &state)
{
    const auto copies = damagedCopies(size_t(state.range(0)));
    std::vector<const mfm::SectorCopy *> voters;
    for (const auto &c : copies)
        voters.push_back(&c);
    bool aligned = false;
    for (auto _ : state) {
        const mfm::Vote v = mfm::voteCopies(voters, SECTOR_SIZE);
        aligned = v.aligned;
        benchmark::DoNotOptimize(v.data.data());
    }
    state.counters["aligned"] = aligned;
}
BENCHMARK(BM_AlignedVote)->Arg(5)->Arg(15)->Arg(31)->Unit(benchmark::kMicrosecond);

}

