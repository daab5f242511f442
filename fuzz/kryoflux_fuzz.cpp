// Fuzz target: arbitrary bytes as one KryoFlux stream file. A FluxError is
// the answer to a bad file; a stream that reads must have at least one
// interval, a positive clock and sound index pulses, and goes on through the
// PLL and the scanner.
#include "flux_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mfm::FluxTrack track;
    try {
        mfm::readKryofluxStream(std::span<const uint8_t>(data, size), "fuzz.raw", track);
    } catch (const mfm::FluxError &) {
        return 0;
    }
    if (track.intervals.empty())
        abort();
    checkFluxTrack(track, size);
    return 0;
}
