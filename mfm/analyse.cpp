// Track analyser: reports every field the scanner finds in a TrackSlot,
// one trace line each, and fills the sector table. The track layout and the
// search are described beside the scanner (scanner.cpp).
#include "mfm/mfm.h"
#include "mfm/hexfmt.h"
#include "mfm/scanner.h"

#include <cstring>

namespace {

using mfm::Field;

constexpr int WORD_DATA = 4;        // cell words from the sync to the data bytes
constexpr int DUMP_WORDS_PER_LINE = 16;

inline uint8_t cellByte(int64_t i) { return i < TRACK_SLOT_SIZE ? buffer[i] : 0; }

// The 16 cells from bit `bit` of the track as a cell word.
unsigned cellWord(int64_t bit)
{
    const int64_t i = bit >> 3;
    const uint32_t v = uint32_t(cellByte(i)) << 16 | uint32_t(cellByte(i + 1)) << 8 | cellByte(i + 2);
    return (v >> (8 - (bit & 7))) & 0xFFFF;
}

struct TrackState {
    uint8_t lastMark = 0;
    int32_t marks = 0;
    uint8_t idTrack = 0, idSide = 0, idSector = 0;
    bool idGood = false;
};

// One trace entry is gathered here and written with one call: printf's
// parsing would cost more than the whole search for the fields.
struct Line {
    char text[192];
    char *end = text;
    void flush()
    {
        fwrite(text, 1, size_t(end - text), stdout);
        end = text;
    }
};

void verdict(Line &line, const Field &fd)
{
    if (fd.storedCrc == fd.computedCrc) {
        line.end = hexfmt::literal(line.end, "crc ok\n");
    } else {
        line.end = hexfmt::literal(line.end, "crc Error: ");
        line.end = hexfmt::word(line.end, fd.storedCrc);
        line.end = hexfmt::literal(line.end, " -- ");
        line.end = hexfmt::word(line.end, fd.computedCrc);
        *line.end++ = '\n';
    }
    line.flush();
}

void unexpected(Line &line) { line.end = hexfmt::literal(line.end, "*** Unexpected Mark *** "); }

void handleId(TrackState &t, Line &line, const Field &fd)
{
    if (t.lastMark == MARK_ID)
        unexpected(line);
    t.idTrack = fd.track;
    t.idSide = fd.side;
    t.idSector = fd.sector;
    char *out = hexfmt::literal(line.end, "Track: ");
    out = hexfmt::decimal(out, fd.track, 2);
    out = hexfmt::literal(out, " Side: ");
    out = hexfmt::decimal(out, fd.side);
    out = hexfmt::literal(out, " Sector: ");
    out = hexfmt::decimal(out, fd.sector, 2);
    out = hexfmt::literal(out, " Size: ");
    out = hexfmt::decimal(out, fd.size);
    line.end = hexfmt::literal(out, " ");
    verdict(line, fd);
    t.idGood = fd.crcOk();
    t.lastMark = MARK_ID;
}

// Verbose dump of a data field's cell words, 16 to a line, each line headed
// by the track buffer offset of its first cell word.
void dumpCellWords(const Field &fd)
{
    char text[SECTOR_SIZE / DUMP_WORDS_PER_LINE * (1 + 8 + 1) + SECTOR_SIZE * 5];
    char *out = text;
    for (int i = 0; i < SECTOR_SIZE; i++) {
        if (i % DUMP_WORDS_PER_LINE == 0) {
            *out++ = '\n';
            out = hexfmt::word(out, uint32_t(fd.pos() + 8 + 2 * i));
            *out++ = ':';
        }
        const unsigned w = cellWord(fd.bit + 16 * (WORD_DATA + i));
        *out++ = ' ';
        out = hexfmt::byte(out, w >> 8);
        out = hexfmt::byte(out, w);
    }
    fwrite(text, 1, size_t(out - text), stdout);
}

void handleData(TrackState &t, Line &line, const Field &fd, bool verbose_flag)
{
    if (!fd.introduced)
        unexpected(line);
    line.end = hexfmt::literal(line.end, "Data Mark ");
    const uint8_t *data = fd.data.data();
    if (verbose_flag) {
        line.flush();
        dumpCellWords(fd);
        if (t.idTrack == 0 && t.idSide == 0 && t.idSector == 1)
            decodeBootblock(data, &boot);
        else
            putchar('\n');
        hexdump(data, SECTOR_SIZE);
    }
    verdict(line, fd);

    // Only a field that belongs to the ID field just before it is that
    // sector's (one farther away lost its own ID), and the table has two
    // heads. A good copy is kept against a later bad one.
    if (fd.id >= 0 && t.idSide < HEADS) {
        SectorSlot &slot = sector[t.idSide][t.idSector];
        const bool good = t.idGood && fd.crcOk();
        if (!slot.valid || !slot.good || good) {
            memcpy(slot.data, data, SECTOR_SIZE);
            slot.good = good;
        }
        slot.valid = 1;
    }
    t.lastMark = MARK_DATA;
}

void handleMark(TrackState &t, const Field &fd, bool verbose_flag)
{
    Line line;
    if (verbose_flag)
        *line.end++ = '\n';
    // "%03d: shift %d ok %04x -- a1 a1 a1 %02x: "
    char *out = hexfmt::decimal(line.end, unsigned(t.marks), 3);
    out = hexfmt::literal(out, ": shift ");
    out = hexfmt::decimal(out, unsigned(fd.shift()));
    out = hexfmt::literal(out, " ok ");
    out = hexfmt::word(out, uint32_t(fd.pos()));
    out = hexfmt::literal(out, " -- a1 a1 a1 ");
    out = hexfmt::byte(out, fd.mark);
    line.end = hexfmt::literal(out, ": ");
    if (fd.mark == MARK_ID) {
        handleId(t, line, fd);
    } else if (fd.mark == MARK_DATA) {
        handleData(t, line, fd, verbose_flag);
    } else {
        line.end = hexfmt::literal(line.end, "unknown Mark\n");
        line.flush();
    }
    t.marks++;
}

}

void analyse_track(int drive, int track, int verbose_flag)
{
    // analyse_track works on the process-wide buffers; one scanner serves it.
    static mfm::Scanner scanner;
    loadTrackSlot(uint8_t(drive), track);
    TrackState t;
    for (const Field &fd : scanner.scan(std::span<const uint8_t>(buffer, TRACK_SLOT_SIZE), mfm::DataLength::fixed512))
        handleMark(t, fd, verbose_flag != 0);
}
