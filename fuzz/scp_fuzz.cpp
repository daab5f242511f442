// Fuzz target: arbitrary bytes as an SCP image; when its header and table
// are sound, every track number is read. A FluxError is the answer to a bad
// file; the sanitizers catch any read outside the bytes, and a track read
// back must keep its index pulses ascending and in range.
#include "mfm/flux.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> image(data, size);
    try {
        mfm::scpTrackNumbers(image, "fuzz.scp");
    } catch (const mfm::FluxError &) {
        return 0;
    }
    mfm::FluxTrack track;
    for (int t = 0; t < 168; t++) {
        try {
            if (!mfm::readScpTrack(image, "fuzz.scp", t, track))
                continue;
        } catch (const mfm::FluxError &) {
            continue;
        }
        if (track.intervals.size() > size || track.index.empty())
            abort();
        for (size_t i = 0; i < track.index.size(); i++)
            if (track.index[i] > track.intervals.size() || (i && track.index[i] < track.index[i - 1]))
                abort();
    }
    return 0;
}
