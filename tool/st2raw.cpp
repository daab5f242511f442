// st2raw: turns a ".st" sector image into a raw capture of standard IBM MFM
// tracks, the input rawscan reads.
#include "mfm/mfm.h"

#include <cinttypes>
#include <filesystem>
#include <system_error>

namespace {

constexpr int64_t MAX_IMAGE = int64_t(TRACKS) * HEADS * IMAGE_SECTORS * SECTOR_SIZE;
constexpr size_t READ_BLOCK = size_t(1) << 16;

uint8_t image[MAX_IMAGE];

void usage()
{
    puts("usage:");
    puts("       st2raw image.st capture.raw [<Driveletter>]");
}

// Reads up to MAX_IMAGE bytes of the image; returns the file's whole length,
// or -1 when it cannot be opened or read.
int64_t readImage(const char *name)
{
    std::error_code ec;
    FILE *in = std::filesystem::is_directory(name, ec) ? nullptr : fopen(name, "rb");
    if (!in)
        return -1;
    int64_t total = 0;
    static uint8_t rest[READ_BLOCK];
    for (;;) {
        uint8_t *to = total < MAX_IMAGE ? image + total : rest;
        const size_t want = total < MAX_IMAGE ? size_t(MAX_IMAGE - total) : sizeof rest;
        const size_t got = fread(to, 1, want, in);
        total += int64_t(got);
        if (got < want)
            break;
    }
    const bool failed = ferror(in);
    fclose(in);
    return failed ? -1 : total;
}

// Writes the capture: for drive A, drive B's half as zero cells first.
bool writeCapture(FILE *out, bool driveA)
{
    static const uint8_t zeros[READ_BLOCK] = {};
    bool ok = true;
    for (int32_t i = 0; driveA && ok && i < DISK_SIZE; i += int32_t(sizeof zeros))
        ok = fwrite(zeros, 1, sizeof zeros, out) == sizeof zeros;
    ok = ok && fwrite(disk, 1, sizeof disk, out) == sizeof disk;
    return (fclose(out) == 0) && ok;
}

}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        usage();
        return -1;
    }
    const char *imageName = argv[1], *captureName = argv[2];
    const bool driveA = argc == 4 && argv[3][0] == 'A';

    const int64_t size = readImage(imageName);
    if (size < 0) {
        printf("File %s not found\n", imageName);
        return -1;
    }
    DiskGeometry geometry;
    if (!imageGeometry(image, size, &geometry)) {
        printf("Unsupported image size %" PRId64 "\n", size);
        return -1;
    }
    formatDisk(image, &geometry);
    encodeDisk();
    syncDisk();

    FILE *out = fopen(captureName, "wb");
    if (!out) {
        printf("File %s cannot be created\n", captureName);
        return -1;
    }
    if (!writeCapture(out, driveA)) {
        printf("File %s write error\n", captureName);
        return -1;
    }
    printf("%s: %d tracks, %d heads, %d sectors per track, %s kbit/s, drive %c\n", captureName, geometry.tracks,
           geometry.heads, geometry.spt, geometry.spt > 10 ? "500" : "250", driveA ? 'A' : 'B');
    return 0;
}
