// Fuzz target: arbitrary bytes as an SCP image; when its header and table
// are sound, every track number is read. A FluxError is the answer to a bad
// file; the sanitizers catch any read outside the bytes, and a track read
// back must keep its index pulses ascending and in range, and goes on
// through the PLL and the scanner. The same bytes also go through the
// judge of what a file that is no capture looks like (a zip's directory).
#include "flux_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> image(data, size);
    if (mfm::foreignKind(image, size) == mfm::ForeignKind::kryofluxZip && size < 22)
        __builtin_trap();   // a zip's directory needs its 22-byte end record
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
        checkFluxTrack(track, size);
    }
    return 0;
}
