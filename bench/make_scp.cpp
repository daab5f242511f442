// make_scp: writes a synthetic SCP image of a whole formatted disk, for
// whole-process timings: every track's cells made by the tests' flux builder
// with the faults of real media, three revolutions per track by default.
//   make_scp OUT.scp [CYLINDERS [SECTORS [REVOLUTIONS [JITTER [SPEED [WOBBLE [PEAKSHIFT]]]]]]]
// The noise is in fractions of a cell (see FluxNoise); by default 0.04
// jitter, no speed offset, 0.01 wobble and 0.05 peak shift.
// 18 sectors (the default) are written at 500 kbit/s, fewer at 250.
#include "flux_builder.h"
#include "flux_files.h"
#include "mfm/pll.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: make_scp OUT.scp [CYLINDERS [SECTORS [REVOLUTIONS [JITTER [SPEED [WOBBLE "
                        "[PEAKSHIFT]]]]]]]\n");
        return 2;
    }
    const int cylinders = argc > 2 ? atoi(argv[2]) : 80;
    const int sectors = argc > 3 ? atoi(argv[3]) : 18;
    const int revolutions = argc > 4 ? atoi(argv[4]) : 3;
    auto noiseArg = [&](int i, double dflt) { return argc > i ? atof(argv[i]) : dflt; };
    const double jitter = noiseArg(5, 0.04), speed = noiseArg(6, 0), wobble = noiseArg(7, 0.01),
                 peakShift = noiseArg(8, 0.05);
    const int rate = sectors > 10 ? mfm::RATE_500K : mfm::RATE_250K;
    const double cellTicks = 40e6 * mfm::cellSeconds(rate);   // SCP's 25 ns ticks
    const int64_t rev = revolutionCells(rate);
    std::vector<fluxfiles::ScpTrack> tracks;
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < 2; h++) {
            const auto cells = trackCells(c, h, sectors, rate, revolutions);
            FluxNoise noise;
            noise.jitter = jitter, noise.speed = speed, noise.wobble = wobble, noise.peakShift = peakShift;
            noise.revolutionCells = rev, noise.seed = uint64_t(c * 2 + h + 1);
            std::vector<int64_t> at;
            const auto flux = buildFlux(cells, revolutions * rev, cellTicks, noise, &at);
            fluxfiles::ScpTrack t{c * 2 + h, std::vector<fluxfiles::Intervals>(size_t(revolutions))};
            for (size_t i = 0; i < flux.size(); i++)
                t.revolutions[size_t(std::min<int64_t>(at[i] / rev, revolutions - 1))].push_back(flux[i]);
            tracks.push_back(std::move(t));
        }
    const auto image = fluxfiles::scpImage(tracks);
    FILE *out = fopen(argv[1], "wb");
    if (!out || fwrite(image.data(), 1, image.size(), out) != image.size() || fclose(out) != 0) {
        fprintf(stderr, "make_scp: cannot write %s\n", argv[1]);
        return 2;
    }
    return 0;
}
