// st2raw: turns a ".st" sector image into a raw capture of standard IBM MFM
// tracks, the input rawscan reads, an Amiga ".adf" into one of AmigaDOS
// tracks, and an image of an FM layout (--format, or a BBC Micro's ".ssd" or
// ".dsd") into one of FM tracks.
#include "mfm/amiga.h"
#include "mfm/fm.h"
#include "mfm/layout.h"
#include "mfm/imagefile.h"
#include "mfm/mappedfile.h"
#include "mfm/mfm.h"
#include "cli.h"
#include "output.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "st2raw";
constexpr int EXIT_OK = 0, EXIT_LOG_CUT = 3;
constexpr int64_t MAX_IMAGE = int64_t(TRACKS) * HEADS * IMAGE_SECTORS * SECTOR_SIZE;

uint8_t image[MAX_IMAGE];

void usage(FILE *to)
{
    fprintf(to, "usage: st2raw [options] IMAGE CAPTURE [A|B]\n"
                "Lays out a sector image (512-byte sectors, track by track, head 0 then head 1)\n"
                "as standard IBM MFM tracks and writes them as a raw capture for drive B (8 MiB,\n"
                "the default) or drive A (16 MiB); the drive is A or a, B or b.\n"
                "\n"
                "  -f, --format NAME  the image is of this FM (single density) layout:\n"
                "                     ibm.3740 (77 x 1 x 26 x 128 bytes), acorn.dfs.ss (40\n"
                "                     or 80 x 1 x 10 x 256), acorn.dfs.ds (40 or 80 x 2 x 10\n"
                "                     x 256) or trs80.sssd (35 or 40 x 1 x 10 x 256); the\n"
                "                     cylinders are judged by the image's size\n"
                "  -h, --help         this text\n"
                "  -V, --version      the version\n"
                "\n"
                "The image is 80 to 86 cylinders of 1 or 2 heads x 9, 10 or 11 sectors, written\n"
                "at 250 kbit/s (737280, 819200 or 901120 bytes for 80 x 2; 11 sectors with an\n"
                "Atari ST's tight gaps), or 80 x 2 x 18 sectors (1474560 bytes) at 500 kbit/s,\n"
                "or any size its boot sector's geometry gives exactly, up to 80 x 2 x 18 (up to\n"
                "11 sectors a track at 250 kbit/s, more at 500). An image named .adf is an\n"
                "Amiga disk: 80 to 83 cylinders of 2 x 11 sectors (DD, 250 kbit/s) or of 2 x 22\n"
                "(HD, 500 kbit/s), laid out as AmigaDOS tracks. An image named .ssd or .dsd is\n"
                "an Acorn DFS disk (acorn.dfs.ss, acorn.dfs.ds) unless --format names another.\n"
                "FM tracks are written at their data rate (125 kbit/s, 250 for ibm.3740) as\n"
                "cells of MFM at twice the rate, one revolution per head. A CAPTURE named - is\n"
                "standard output; the text then goes to standard error.\n"
                "Exit status: 0 written, 2 a bad command line or an image that cannot be read\n"
                "or used (nothing written), 3 written but standard output closed before the\n"
                "text was whole.\n");
}

struct Options {
    std::string image, capture;
    bool driveA = false;
    const mfm::Layout *fm = nullptr;   // --format's layout
};

// The FM layouts of the table, for messages.
std::string fmLayoutNames()
{
    std::string names;
    for (const mfm::Layout &l : mfm::layouts())
        if (l.geometry.family == mfm::Family::fm)
            names += (names.empty() ? "" : ", ") + std::string(l.name);
    return names;
}

Options parseArguments(int argc, char **argv)
{
    static const option longOptions[] = {
        {"format", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    const mfm::Layout *fm = nullptr;
    for (int c; (c = getopt_long(argc, argv, ":f:hV", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'f':
            cli::once(fm != nullptr, "--format");
            fm = mfm::findLayout(optarg);
            if (!fm || fm->geometry.family != mfm::Family::fm)
                cli::badUsage(std::string("unknown FM layout '") + optarg + "': want " + fmLayoutNames());
            break;
        case 'h':
            usage(stdout);
            exit(EXIT_OK);
        case 'V':
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
    o.fm = fm;
    return o;
}

// Images known by their size alone besides imageGeometry's: an Atari ST's
// disks, which often have a few cylinders more than 80, of 9 to 11 sectors
// at 250 kbit/s.
constexpr int ST_MIN_CYLINDERS = 80, ST_MAX_CYLINDERS = 86;
constexpr int ST_SECTORS[] = {9, 10, 11};
static_assert(ST_MAX_CYLINDERS <= SLOTS_PER_DRIVE, "a cylinder per slot");
static_assert(int64_t(ST_MAX_CYLINDERS) * HEADS * ST_SECTORS[2] * SECTOR_SIZE <= MAX_IMAGE,
              "the image buffer holds them");

// The geometry of an image of `size` bytes: imageGeometry's (the standard
// sizes, else the boot sector's when it gives the size exactly), else an
// Atari ST layout of that size.
bool chooseGeometry(int64_t size, DiskGeometry *geometry)
{
    if (imageGeometry(image, size, geometry))
        return true;
    for (const int spt : ST_SECTORS)
        for (int heads = 1; heads <= HEADS; heads++)
            for (int cylinders = ST_MIN_CYLINDERS; cylinders <= ST_MAX_CYLINDERS; cylinders++)
                if (int64_t(cylinders) * heads * spt * SECTOR_SIZE == size) {
                    *geometry = {uint16_t(cylinders), uint16_t(heads), uint16_t(spt)};
                    return true;
                }
    return false;
}

// The sizes the tool takes, for the message that refuses another.
std::string supportedSizes()
{
    return "want " + std::to_string(ST_MIN_CYLINDERS) + " to " + std::to_string(ST_MAX_CYLINDERS) +
           " cylinders of 1 or 2 heads x 9, 10 or 11 sectors (250 kbit/s) or 80 x 2 x 18 (500 kbit/s) of " +
           std::to_string(SECTOR_SIZE) + " bytes, or a size the boot sector's geometry gives (up to " +
           std::to_string(TRACKS) + " x " + std::to_string(HEADS) + " x " + std::to_string(IMAGE_SECTORS) +
           " sectors of " + std::to_string(SECTOR_SIZE) + " bytes)";
}

// Eleven sectors fill a 250 kbit/s track (6,250 bytes a revolution) only
// with gaps as tight as an Atari ST writes them: no index mark, a gap 1 of
// 10 bytes, 3 zeros before each ID and a gap 3 of 2 bytes. Gap 2 and the
// zeros before the data mark keep their usual 22 and 12 bytes, where the
// controller puts them when it rewrites a sector. formatDisk lays out every
// other track.
constexpr int TIGHT_SPT = 11;
constexpr int DD_REVOLUTION = 6250;
constexpr uint8_t GAP = 0x4E;
constexpr int TIGHT_GAP1 = 10, TIGHT_ID_ZEROS = 3, GAP2 = 22, DATA_ZEROS = 12, TIGHT_GAP3 = 2;
constexpr int MARK_BYTES = 4, CRC_BYTES = 2, ID_BYTES = 4;   // A1 A1 A1 and the mark; C H R N
constexpr int TIGHT_SECTOR = TIGHT_ID_ZEROS + MARK_BYTES + ID_BYTES + CRC_BYTES + GAP2 + DATA_ZEROS + MARK_BYTES +
                             SECTOR_SIZE + CRC_BYTES + TIGHT_GAP3;
static_assert(TIGHT_GAP1 + TIGHT_SPT * TIGHT_SECTOR <= DD_REVOLUTION, "eleven sectors fit one revolution");
constexpr uint8_t SIZE_CODE_512 = 2;

uint8_t *put(uint8_t *out, uint8_t value, int count)
{
    memset(out, value, size_t(count));
    return out + count;
}

// `zeros` zero bytes, then A1 A1 A1, `mark`, `contents` and their CRC.
uint8_t *putField(uint8_t *out, int zeros, uint8_t mark, const uint8_t *contents, int length)
{
    uint8_t *const field = put(out, 0x00, zeros);
    out = put(field, 0xA1, 3);
    *out++ = mark;
    out = std::copy_n(contents, length, out);
    const uint16_t crc = crc16(field, uint16_t(out - field));
    *out++ = uint8_t(crc >> 8);
    *out++ = uint8_t(crc);
    return out;
}

// The tight tracks in `ddisk` as formatDisk lays out others: a cylinder to
// a stretch of DBUFFER_SIZE bytes, head 1's revolution after head 0's, gap
// bytes everywhere else.
void formatTight(const DiskGeometry &g)
{
    memset(ddisk, GAP, sizeof ddisk);
    const size_t trackBytes = size_t(TIGHT_SPT) * SECTOR_SIZE;
    for (int c = 0; c < g.tracks; c++)
        for (int h = 0; h < g.heads; h++) {
            uint8_t *out = ddisk + size_t(c) * DBUFFER_SIZE + size_t(h) * DD_REVOLUTION + TIGHT_GAP1;
            const uint8_t *sectors = image + (size_t(c) * g.heads + size_t(h)) * trackBytes;
            for (int s = 0; s < TIGHT_SPT; s++) {
                const uint8_t id[ID_BYTES] = {uint8_t(c), uint8_t(h), uint8_t(s + 1), SIZE_CODE_512};
                out = putField(out, TIGHT_ID_ZEROS, MARK_ID, id, ID_BYTES);
                out = putField(out + GAP2, DATA_ZEROS, MARK_DATA, sectors + size_t(s) * SECTOR_SIZE, SECTOR_SIZE);
                out += TIGHT_GAP3;
            }
        }
}

// Sync words at the fields' marks only, as a controller writes them.
// syncDisk would make them of any A1 A1 A1 in a sector's bytes too, which
// no drive writes and readers take for damage. Each cylinder's stretch is
// walked field by field, from gap to mark, so no sector's bytes are looked
// at: gaps hold only 4E, 00 and the index mark.
void syncMarks(int cylinders)
{
    for (size_t start = 0; start < size_t(cylinders) * DBUFFER_SIZE; start += DBUFFER_SIZE)
        for (size_t i = start; i + MARK_BYTES <= start + DBUFFER_SIZE;) {
            if (ddisk[i] != 0xA1 || ddisk[i + 1] != 0xA1 || ddisk[i + 2] != 0xA1) {
                i++;
                continue;
            }
            for (size_t k = i; k < i + 3; k++)
                std::copy_n(SYNC_WORD, 2, disk + 2 * k);
            i += MARK_BYTES + size_t(ddisk[i + 3] == MARK_ID ? ID_BYTES : SECTOR_SIZE) + CRC_BYTES;
        }
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
    exit(cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text) ? EXIT_OK : EXIT_LOG_CUT);
}

// The FM layout an image's name gives: .ssd and .dsd are Acorn DFS disks.
const mfm::Layout *fmLayoutByName(const std::string &path)
{
    const mfm::ImageFormat format = mfm::imageFormatOf(path);
    return format == mfm::ImageFormat::ssd ? mfm::findLayout("acorn.dfs.ss")
           : format == mfm::ImageFormat::dsd ? mfm::findLayout("acorn.dfs.ds")
                                             : nullptr;
}

// An image of an FM layout as FM tracks written at scale 2 (cells of MFM at
// twice the FM rate), one revolution per head: head 0's from the start of
// its cylinder's slot, head 1's from its middle. Acorn DFS writes head 0 in
// the IDs of both sides.
[[noreturn]] void fmCapture(const Options &o, const mfm::Layout &l)
{
    const mfm::Geometry &g = l.geometry;
    const int64_t cylinderBytes = int64_t(g.heads) * g.sectors * g.bytes;
    const int most = std::max(g.cylinders, l.otherCylinders);
    const int fewest = l.otherCylinders ? std::min(g.cylinders, l.otherCylinders) : most;
    std::vector<uint8_t> sectors;
    int64_t size = 0;
    try {
        const mfm::MappedFile file(o.image, uint64_t(most * cylinderBytes) + 1);
        cli::refuseClashes({o.image}, {{o.capture, "capture"}});
        size = int64_t(file.fileSize());
        sectors.assign(file.bytes().begin(), file.bytes().end());
    } catch (const mfm::FileError &e) {
        cli::fail(e.what());
    }
    const int cylinders = int(size / cylinderBytes);
    if (size % cylinderBytes || (cylinders != g.cylinders && cylinders != l.otherCylinders)) {
        const auto bytes = [&](int c) { return std::to_string(c * cylinderBytes); };
        cli::fail(o.image + ": unsupported " + l.name + " image size " + std::to_string(size) + ": want " +
                  (fewest != most ? std::to_string(fewest) + " or " : "") + std::to_string(most) + " cylinders of " +
                  std::to_string(g.heads) + (g.heads == 1 ? " head x " : " heads x ") + std::to_string(g.sectors) +
                  " sectors of " + std::to_string(g.bytes) + " bytes (" +
                  (fewest != most ? bytes(fewest) + " or " : "") + bytes(most) + " bytes)");
    }
    const int trackBytes = l.revolutionBytes();
    const mfm::fm::Gaps gaps = mfm::fm::gapsFor(g.sectors, g.bytes, trackBytes);
    std::vector<uint8_t> capture(size_t(o.driveA ? DISK_SIZE : 0) + size_t(DISK_SIZE), 0);
    uint8_t *slots = capture.data() + (o.driveA ? DISK_SIZE : 0);
    std::vector<mfm::fm::Sector> track(size_t(g.sectors));
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < g.heads; h++) {
            for (int s = 0; s < g.sectors; s++) {
                const size_t at = size_t(g.index(c, h, g.first + s)) * size_t(g.bytes);
                track[size_t(s)] = {uint8_t(c), uint8_t(l.headZeroBothSides ? 0 : h), uint8_t(g.first + s),
                                    uint8_t(std::countr_zero(unsigned(g.bytes / 128))),
                                    std::span<const uint8_t>(sectors.data() + at, size_t(g.bytes))};
            }
            const std::vector<uint8_t> one = mfm::fm::encodeTrack(track, gaps, trackBytes, 2);
            std::copy(one.begin(), one.end(), slots + size_t(c) * TRACK_SLOT_SIZE + size_t(h) * (TRACK_SLOT_SIZE / 2));
        }
    const std::string text = o.capture + ": " + std::to_string(cylinders) + " cylinders, " + std::to_string(g.heads) +
                             (g.heads == 1 ? " head, " : " heads, ") + std::to_string(g.sectors) + " FM sectors of " +
                             std::to_string(g.bytes) + " bytes per track (" + l.name + "), " +
                             std::to_string(l.rateKbps) + " kbit/s, drive " + (o.driveA ? "A" : "B") + "\n";
    exit(cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text) ? EXIT_OK : EXIT_LOG_CUT);
}

}

int main(int argc, char **argv)
{
    cli::setProgram(PROGRAM);
    const Options o = parseArguments(argc, argv);
    if (const mfm::Layout *fm = o.fm ? o.fm : fmLayoutByName(o.image))
        fmCapture(o, *fm);
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
    if (!chooseGeometry(size, &geometry))
        cli::fail(o.image + ": unsupported image size " + std::to_string(size) + ": " + supportedSizes());
    if (geometry.spt == TIGHT_SPT)
        formatTight(geometry);
    else
        formatDisk(image, &geometry);
    encodeDisk();
    syncMarks(geometry.tracks);

    // For drive A, drive B's half as zero cells first.
    std::vector<uint8_t> capture(size_t(o.driveA ? DISK_SIZE : 0), 0);
    capture.insert(capture.end(), disk, disk + DISK_SIZE);
    const std::string text = o.capture + ": " + std::to_string(geometry.tracks) + " tracks, " +
                             std::to_string(geometry.heads) + " heads, " + std::to_string(geometry.spt) +
                             " sectors per track, " + (geometry.spt > TIGHT_SPT ? "500" : "250") + " kbit/s, drive " +
                             (o.driveA ? "A" : "B") + "\n";
    return cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text) ? EXIT_OK : EXIT_LOG_CUT;
}
