// Fuzz target: arbitrary bytes as one KryoFlux stream file. A FluxError is
// the answer to a bad file; a stream that reads must have at least one
// interval, index pulses ascending within range and a positive clock.
#include "mfm/flux.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mfm::FluxTrack track;
    try {
        mfm::readKryofluxStream(std::span<const uint8_t>(data, size), "fuzz.raw", track);
    } catch (const mfm::FluxError &) {
        return 0;
    }
    if (track.intervals.empty() || track.intervals.size() > size || track.index.empty() || !(track.sampleHz > 0))
        abort();
    for (size_t i = 0; i < track.index.size(); i++)
        if (track.index[i] > track.intervals.size() || (i && track.index[i] < track.index[i - 1]))
            abort();
    return 0;
}
