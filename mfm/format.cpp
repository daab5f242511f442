// Track formatter: lays out a sector image as standard IBM MFM tracks in the
// decoded disk image, ready for encodeDisk and syncDisk.
#include "mfm/mfm.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t GAP = 0x4E;
constexpr int GAP4A = 80, GAP1 = 50, GAP2 = 22, SYNC_ZEROS = 12;
constexpr int INDEX_MARK = 4;                         // C2 C2 C2 FC
constexpr int TRACK_HEAD = GAP4A + SYNC_ZEROS + INDEX_MARK + GAP1;
// One sector without its gap 3: ID field, gap 2, data field.
constexpr int SECTOR_BYTES = SYNC_ZEROS + 4 + 4 + 2 + GAP2 + SYNC_ZEROS + 4 + SECTOR_SIZE + 2;
constexpr int SIZE_CODE_512 = 2;
constexpr int MAX_SPT = IMAGE_SECTORS;

struct Timing {
    int revolution;   // data bytes in one revolution at 300 rpm
    int gap3;         // preferred gap 3
};
constexpr Timing DOUBLE_DENSITY = {6250, 80};    // 250 kbit/s, up to 10 sectors
constexpr Timing HIGH_DENSITY = {12500, 84};     // 500 kbit/s
constexpr int DD_MAX_SPT = 10;

Timing timingFor(int spt) { return spt <= DD_MAX_SPT ? DOUBLE_DENSITY : HIGH_DENSITY; }

uint8_t *put(uint8_t *out, uint8_t value, int count)
{
    memset(out, value, size_t(count));
    return out + count;
}

// A mark with its CRC: A1 A1 A1, `mark`, the contents, CRC high and low.
uint8_t *putField(uint8_t *out, uint8_t mark, const uint8_t *contents, int length)
{
    out = put(out, 0x00, SYNC_ZEROS);
    uint8_t *field = out;
    out = put(out, 0xA1, 3);
    *out++ = mark;
    memcpy(out, contents, size_t(length));
    out += length;
    const uint16_t crc = crc16(field, uint16_t(out - field));
    *out++ = uint8_t(crc >> 8);
    *out++ = uint8_t(crc);
    return out;
}

// One revolution of one head from `out`; returns the end of the revolution.
uint8_t *formatTrack(uint8_t *out, int cylinder, int head, int spt, const uint8_t *sectors)
{
    const Timing timing = timingFor(spt);
    uint8_t *const end = out + timing.revolution;
    const int gap3 = std::min(timing.gap3, (timing.revolution - TRACK_HEAD) / spt - SECTOR_BYTES);
    out = put(out, GAP, GAP4A);
    out = put(out, 0x00, SYNC_ZEROS);
    out = put(out, 0xC2, 3);
    *out++ = 0xFC;
    out = put(out, GAP, GAP1);
    for (int s = 0; s < spt; s++) {
        const uint8_t id[4] = {uint8_t(cylinder), uint8_t(head), uint8_t(s + 1), SIZE_CODE_512};
        out = putField(out, MARK_ID, id, sizeof id);
        out = put(out, GAP, GAP2);
        out = putField(out, MARK_DATA, sectors + size_t(s) * SECTOR_SIZE, SECTOR_SIZE);
        out = put(out, GAP, gap3);
    }
    put(out, GAP, int(end - out));
    return end;
}

}

int imageGeometry(const uint8_t *image, int64_t size, DiskGeometry *geometry)
{
    for (const auto &standard : STANDARD_IMAGES)
        if (size == standard.size) {
            *geometry = standard.geometry;
            return 1;
        }
    if (size < SECTOR_SIZE)
        return 0;
    BootRecord rec{};
    readBootblock(image, &rec);
    const bool plausible = rec.bps == SECTOR_SIZE && (rec.heads == 1 || rec.heads == 2) && rec.spt >= 1 &&
                           rec.spt <= MAX_SPT && rec.tracks >= 1 && rec.tracks <= TRACKS;
    if (!plausible || int64_t(rec.tracks) * rec.heads * rec.spt * SECTOR_SIZE != size)
        return 0;
    *geometry = {rec.tracks, rec.heads, rec.spt};
    return 1;
}

int formatDisk(const uint8_t *image, const DiskGeometry *geometry)
{
    if (geometry->heads < 1 || geometry->heads > HEADS || geometry->spt < 1 || geometry->spt > MAX_SPT ||
        geometry->tracks < 1 || geometry->tracks > SLOTS_PER_DRIVE)
        return 0;
    memset(ddisk, GAP, sizeof ddisk);
    const size_t trackBytes = size_t(geometry->spt) * SECTOR_SIZE;
    for (int c = 0; c < geometry->tracks; c++) {
        uint8_t *out = ddisk + size_t(c) * DBUFFER_SIZE;
        for (int h = 0; h < geometry->heads; h++) {
            const uint8_t *sectors = image + (size_t(c) * geometry->heads + size_t(h)) * trackBytes;
            out = formatTrack(out, c, h, geometry->spt, sectors);
        }
    }
    return 1;
}
