// Fuzz target: arbitrary bytes as a track slot for the analyser, verbose or
// not, and for rawimage's reading of a slot (MFM, then FM at both scales).
// The slot must come back unchanged and the sector table's flags must stay
// 0 or 1; the sanitizers catch any access outside the buffers.
#include "mfm/mfm.h"
#include "mfm/recovery.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static uint8_t slot[TRACK_SLOT_SIZE];
    const int verboseFlag = size > 0 && (data[0] & 1);
    // The rest of the input is the slot; a short input leaves the slot's end
    // missing (zero cells), as a short capture does.
    const size_t n = size > 1 ? std::min(size - 1, sizeof slot) : 0;
    memset(slot, 0, sizeof slot);
    if (n)
        memcpy(slot, data + 1, n);
    f = slot;
    floaded = int64_t(n);
    for (auto &head : sector)
        for (auto &s : head)
            s.valid = s.good = 0;
    analyse_track(0, 0, verboseFlag);
    if (memcmp(buffer, slot, sizeof slot) != 0)
        abort();
    for (const auto &head : sector)
        for (const auto &s : head)
            if (s.valid > 1 || s.good > 1 || (s.good && !s.valid))
                abort();
    f = nullptr;
    static mfm::Scanner scanner;
    mfm::TrackRead read;
    mfm::readSlot(scanner, std::span<const uint8_t>(slot, n), read);
    if (read.fm && read.fmScale != 1 && read.fmScale != 2)
        abort();
    return 0;
}
