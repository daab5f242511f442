// st2raw: turns a ".st" sector image into a raw capture of standard IBM MFM
// tracks, the input rawscan reads, and an Amiga ".adf" into one of AmigaDOS
// tracks.
#include "mfm/amiga.h"
#include "mfm/imagefile.h"
#include "mfm/mappedfile.h"
#include "mfm/mfm.h"
#include "cli.h"
#include "output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "st2raw";
constexpr int EXIT_OK = 0;
constexpr int64_t MAX_IMAGE = int64_t(TRACKS) * HEADS * IMAGE_SECTORS * SECTOR_SIZE;

uint8_t image[MAX_IMAGE];

void usage(FILE *to)
{
    fprintf(to, "usage: st2raw [options] IMAGE CAPTURE [A|B]\n"
                "Lays out a sector image (512-byte sectors, track by track, head 0 then head 1)\n"
                "as standard IBM MFM tracks and writes them as a raw capture for drive B (8 MiB,\n"
                "the default) or drive A (16 MiB); the drive is A or a, B or b.\n"
                "\n"
                "  --help      this text\n"
                "  --version   the version\n"
                "\n"
                "The image is 737280, 819200 or 1474560 bytes (80 x 2 x 9, 10 or 18 sectors), or\n"
                "any size its boot sector's geometry gives exactly, up to 80 x 2 x 18. An image\n"
                "named .adf is an Amiga disk: 80 to 83 cylinders of 2 x 11 sectors (DD, 250\n"
                "kbit/s) or of 2 x 22 (HD, 500 kbit/s), laid out as AmigaDOS tracks. A\n"
                "CAPTURE named - is standard output; the text then goes to standard error.\n"
                "Exit status: 0 written, 2 a bad command line or an image that cannot be read\n"
                "or used (nothing written).\n");
}

struct Options {
    std::string image, capture;
    bool driveA = false;
};

Options parseArguments(int argc, char **argv)
{
    enum { HELP = 256, VERSION };
    static const option longOptions[] = {
        {"help", no_argument, nullptr, HELP},
        {"version", no_argument, nullptr, VERSION},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+:", longOptions, nullptr)) != -1;) {
        switch (c) {
        case HELP:
            usage(stdout);
            exit(EXIT_OK);
        case VERSION:
            cli::version();
        default:
            cli::badOption(c, argv[optind - 1]);
        }
    }
    const int operands = argc - optind;
    if (operands < 2 || operands > 3)
        cli::badUsage("want IMAGE CAPTURE [A|B]");
    Options o{argv[optind], argv[optind + 1]};
    if (operands == 3)
        o.driveA = cli::parseDrive(argv[optind + 2]);
    return o;
}

// The sizes the tool takes, for the message that refuses another.
std::string supportedSizes()
{
    std::string text;
    for (const StandardImage &s : STANDARD_IMAGES)
        text += (text.empty() ? "" : ", ") + std::to_string(s.size) + " (" + std::to_string(s.geometry.tracks) + " x " +
                std::to_string(s.geometry.heads) + " x " + std::to_string(s.geometry.spt) + ")";
    return "want " + text + " bytes, or a size the boot sector's geometry gives (up to " + std::to_string(TRACKS) +
           " x " + std::to_string(HEADS) + " x " + std::to_string(IMAGE_SECTORS) + " sectors of " +
           std::to_string(SECTOR_SIZE) + " bytes)";
}

// The AmigaDOS layouts st2raw writes: sectors per track and cell rate.
struct AmigaKind {
    int sectors;
    int kbits;
};
constexpr AmigaKind AMIGA_KINDS[] = {{11, 250}, {22, 500}};
constexpr int AMIGA_MIN_CYLINDERS = 80, AMIGA_MAX_CYLINDERS = 83;
constexpr int64_t CELLS_PER_KBIT = 400;   // cells of one revolution at 300 rpm per kbit/s

// An .adf as AmigaDOS tracks: each cylinder's slot holds head 0's track
// from its start and head 1's from its middle, one revolution each.
[[noreturn]] void amigaCapture(const Options &o)
{
    std::vector<uint8_t> adf;
    int64_t size = 0;
    try {
        const uint64_t largest = uint64_t(AMIGA_MAX_CYLINDERS) * 2 * 22 * mfm::amiga::SECTOR_BYTES;
        const mfm::MappedFile file(o.image, largest + 1);
        cli::refuseClashes({o.image}, {{o.capture, "capture"}});
        size = int64_t(file.fileSize());
        adf.assign(file.bytes().begin(), file.bytes().end());
    } catch (const mfm::FileError &e) {
        cli::fail(e.what());
    }
    const AmigaKind *kind = nullptr;
    int cylinders = 0;
    for (const AmigaKind &k : AMIGA_KINDS) {
        const int64_t cylinder = int64_t(2) * k.sectors * mfm::amiga::SECTOR_BYTES;
        if (size % cylinder == 0 && size / cylinder >= AMIGA_MIN_CYLINDERS && size / cylinder <= AMIGA_MAX_CYLINDERS)
            kind = &k, cylinders = int(size / cylinder);
    }
    if (!kind)
        cli::fail(o.image + ": unsupported .adf size " + std::to_string(size) + ": want 80 to 83 cylinders of 2 x 11 "
                  "sectors (901120 bytes for 80) or of 2 x 22 (1802240 bytes for 80) of 512 bytes");
    const int64_t cells = CELLS_PER_KBIT * kind->kbits;
    const size_t trackBytes = size_t(kind->sectors) * mfm::amiga::SECTOR_BYTES;
    std::vector<uint8_t> capture(size_t(o.driveA ? DISK_SIZE : 0) + size_t(DISK_SIZE), 0);
    uint8_t *slots = capture.data() + (o.driveA ? DISK_SIZE : 0);
    for (int track = 0; track < cylinders * 2; track++) {
        const std::vector<uint8_t> one = mfm::amiga::encodeTrack(
            track, std::span<const uint8_t>(adf.data() + size_t(track) * trackBytes, trackBytes), kind->sectors, cells);
        const size_t at = size_t(track / 2) * TRACK_SLOT_SIZE + size_t(track % 2) * (TRACK_SLOT_SIZE / 2);
        std::copy(one.begin(), one.end(), slots + at);
    }
    const std::string text = o.capture + ": " + std::to_string(cylinders) + " cylinders, 2 heads, " +
                             std::to_string(kind->sectors) + " AmigaDOS sectors per track, " +
                             std::to_string(kind->kbits) + " kbit/s, drive " + (o.driveA ? "A" : "B") + "\n";
    cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text);
    exit(EXIT_OK);
}

}

int main(int argc, char **argv)
{
    cli::setProgram(PROGRAM);
    const Options o = parseArguments(argc, argv);
    if (mfm::imageFormatOf(o.image) == mfm::ImageFormat::adf)
        amigaCapture(o);
    int64_t size = 0;
    try {
        // One byte more than the largest image tells a larger one.
        const mfm::MappedFile file(o.image, uint64_t(MAX_IMAGE) + 1);
        cli::refuseClashes({o.image}, {{o.capture, "capture"}});
        size = int64_t(file.fileSize());
        std::copy_n(file.bytes().begin(), std::min<size_t>(file.bytes().size(), MAX_IMAGE), image);
    } catch (const mfm::FileError &e) {
        cli::fail(e.what());
    }
    DiskGeometry geometry;
    if (!imageGeometry(image, size, &geometry))
        cli::fail(o.image + ": unsupported image size " + std::to_string(size) + ": " + supportedSizes());
    formatDisk(image, &geometry);
    encodeDisk();
    syncDisk();

    // For drive A, drive B's half as zero cells first.
    std::vector<uint8_t> capture(size_t(o.driveA ? DISK_SIZE : 0), 0);
    capture.insert(capture.end(), disk, disk + DISK_SIZE);
    const std::string text = o.capture + ": " + std::to_string(geometry.tracks) + " tracks, " +
                             std::to_string(geometry.heads) + " heads, " + std::to_string(geometry.spt) +
                             " sectors per track, " + (geometry.spt > 10 ? "500" : "250") + " kbit/s, drive " +
                             (o.driveA ? "A" : "B") + "\n";
    cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text);
    return EXIT_OK;
}
