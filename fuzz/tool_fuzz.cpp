// Fuzz target: the whole rawscan run on a full capture made from the input,
// so that every track of either drive is reached whatever the input's length.
//
// Input: byte 0 chooses the drive (bit 0: A), the mode (bit 1: binary) and
// whether the capture ends early (bit 2: its last slot is cut at a length
// taken from byte 1); byte 1 the track selector (-1 to 80). The rest is
// tiled end to end over slots 0 to 79 of the drive, so each track holds the
// bytes from another place in the input. Drive A's captures leave drive B's
// half a hole in the file.
#include "mfm/mfm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int rawscan_main(int argc, char **argv);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string capture = "/tmp/rawscan_fuzz_capture." + std::to_string(getpid());
    static std::vector<uint8_t> slots(size_t(TRACKS) * TRACK_SLOT_SIZE);
    const uint8_t control = size > 0 ? data[0] : 0;
    const uint8_t selector = size > 1 ? data[1] : 0;
    const uint8_t *payload = data + (size > 2 ? 2 : size);
    const size_t n = size > 2 ? size - 2 : 0;
    if (n == 0) {
        memset(slots.data(), 0, slots.size());
    } else {
        for (size_t at = 0; at < slots.size(); at += n)
            memcpy(slots.data() + at, payload, std::min(n, slots.size() - at));
    }
    size_t length = slots.size();
    if (control & 4)
        length -= TRACK_SLOT_SIZE - size_t(selector) * 257;

    const bool driveA = control & 1;
    FILE *out = fopen(capture.c_str(), "wb");
    if (!out || (driveA && fseek(out, long(DISK_SIZE), SEEK_SET) != 0) ||
        fwrite(slots.data(), 1, length, out) != length || fclose(out) != 0)
        abort();

    std::string name = "rawscan";
    std::string drive = driveA ? "A" : "B";
    std::string track = std::to_string(int(selector % 82) - 1);
    std::string mode = control & 2 ? "binary" : "analyse";
    std::string image = "/dev/null";
    char *argv[] = {name.data(), const_cast<char *>(capture.c_str()), drive.data(), track.data(), mode.data(),
                    image.data(), nullptr};
    if (rawscan_main(6, argv) != 0)
        abort();
    return 0;
}
