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
    // With bit 4 set the input lands at drive A's half (a sparse file), so
    // that drive A's tracks hold it.
    if ((control & 0x10) && fseek(out, long(DISK_SIZE), SEEK_SET) != 0)
        abort();
    if (size > 1 && fwrite(data + 1, 1, size - 1, out) != size - 1)
        abort();
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
