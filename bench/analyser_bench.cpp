// Analyser speed: the fast scan beside the literal reference on the same
// tracks, and the tool's whole binary pass over a real 80-track capture.
#include "helpers.h"
#include "reference_analyser.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace {

// Sends the library's reports to /dev/null while a benchmark runs.
class QuietStdout {
public:
    QuietStdout()
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

std::vector<uint8_t> trackOfKind(int kind)
{
    if (kind == 0)
        return formattedSlot(5, 18, 12345);
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE);
    if (kind == 1) {
        std::mt19937 rng(1);
        for (auto &b : slot)
            b = uint8_t(rng());
        return slot;
    }
    // Dense: a mark at every fourth scan position.
    CellWriter w(slot, 0);
    for (int i = 0; i < TRACK_SLOT_SIZE / 8; i++) {
        w.sync(), w.sync(), w.sync();
        w.byte(i % 2 ? MARK_DATA : MARK_ID);
    }
    return slot;
}

const char *const kindName[] = {"formatted 18-sector track", "random cells", "dense syncs"};

// Seconds per call of `analyser` on the loaded track, over `calls` calls.
double secondsPerCall(void (*analyser)(int, int, int), int calls)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; i++)
        analyser(0, 0, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / calls;
}

// The fast analyser per track; the counter "x_literal" is how many times
// faster it is than the literal scan on the same track.
void BM_AnalyseTrack(benchmark::State &state)
{
    auto slot = trackOfKind(int(state.range(0)));
    useCapture(slot);
    state.SetLabel(kindName[state.range(0)]);
    QuietStdout quiet;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        analyse_track(0, 0, 0);
        benchmark::ClobberMemory();
    }
    const double fast = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                        double(state.iterations());
    state.counters["x_literal"] = secondsPerCall(reference_analyse_track, 2) / fast;
    f = nullptr;
}
BENCHMARK(BM_AnalyseTrack)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// The literal scan on the same tracks.
void BM_LiteralTrack(benchmark::State &state)
{
    auto slot = trackOfKind(int(state.range(0)));
    useCapture(slot);
    state.SetLabel(kindName[state.range(0)]);
    QuietStdout quiet;
    for (auto _ : state)
        reference_analyse_track(0, 0, 0);
    f = nullptr;
}
BENCHMARK(BM_LiteralTrack)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(3);

// The tool's binary pass: load the capture, analyse 80 tracks, write the image.
void BM_BinaryPassFixture(benchmark::State &state)
{
    QuietStdout quiet;
    FILE *image = fopen("/dev/null", "wb");
    for (auto _ : state) {
        readMFMfile(FIXTURE_RAW);
        for (int t = 0; t < TRACKS; t++) {
            for (auto &head : sector)
                for (auto &slot : head)
                    slot.valid = slot.good = 0;
            analyse_track(0, t, 0);
            dumpTrackStatus(t);
            dumpTrack(image);
        }
        free(f);
        f = nullptr;
    }
    fclose(image);
}
BENCHMARK(BM_BinaryPassFixture)->Unit(benchmark::kMillisecond);

}

BENCHMARK_MAIN();
