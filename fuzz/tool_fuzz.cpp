// Fuzz target: the whole rawscan run on an arbitrary capture file of any
// length, with the drive letter, mode and track selector taken from the
// input's first byte.
#include "mfm/mfm.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

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
    const uint8_t control = size ? data[0] : 0;
    FILE *out = fopen(capture.c_str(), "wb");
    if (!out)
        abort();
    // Small inputs are stretched over several slots so that the analyser
    // sees real fields in more than one track and drive A's half.
    const size_t body = size ? size - 1 : 0;
    const size_t repeat = control & 0x10 ? 130 : 1;
    for (size_t r = 0; r < repeat; r++) {
        if (body && fwrite(data + 1, 1, body, out) != body)
            abort();
        if (repeat > 1 && body < TRACK_SLOT_SIZE)
            for (size_t pad = body; pad < TRACK_SLOT_SIZE; pad++)
                fputc(0, out);
    }
    fclose(out);
    std::string drive = control & 1 ? "A" : "B";
    std::string track = std::to_string(int(control >> 5) - 2);
    std::string mode = control & 2 ? "binary" : "analyse";
    std::string image = "/dev/null";
    std::string name = "rawscan";
    char *argv[] = {name.data(), const_cast<char *>(capture.c_str()), drive.data(), track.data(), mode.data(),
                    image.data(), nullptr};
    if (rawscan_main(6, argv) != 0)
        abort();
    return 0;
}
