// Analyser speed: the fast scan beside the literal reference on the same
// tracks, and the tool's whole binary pass over a real 80-track capture.
#include "helpers.h"
#include "reference_analyser.h"

#include <benchmark/benchmark.h>

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

template <void (*Analyser)(int, int, int)>
void analyseTrack(benchmark::State &state)
{
    auto slot = trackOfKind(int(state.range(0)));
    useCapture(slot);
    state.SetLabel(kindName[state.range(0)]);
    QuietStdout quiet;
    for (auto _ : state) {
        Analyser(0, 0, 0);
        benchmark::ClobberMemory();
    }
    f = nullptr;
}

void BM_AnalyseTrack(benchmark::State &state) { analyseTrack<analyse_track>(state); }
void BM_ReferenceTrack(benchmark::State &state) { analyseTrack<reference_analyse_track>(state); }

BENCHMARK(BM_AnalyseTrack)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReferenceTrack)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(3);

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
