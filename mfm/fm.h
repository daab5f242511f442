/*
 * fm.h -- FM (single density): the IBM track format without MFM.
 *
 * FM came before MFM: the 8-inch IBM 3740 format (early CP/M, DEC RX01), the
 * BBC Micro's Acorn DFS, the TRS-80, and track 0 of some MFM disks. Its
 * fields are IBM's (an ID field of cylinder, head, sector and size code, a
 * data field of 128 << N bytes, each closed by the CRC-16 of MFM), but every
 * data bit is preceded by a clock cell that is always 1, so a byte is 16
 * cells, clock first, and a data 1 gives intervals of one cell, a 0 of two.
 * There is no A1 sync word: a mark is a byte written with clock C7 (three
 * clock cells missing), found at any cell offset:
 *
 *      mark          data  clock  cells
 *      ID            FE    C7     F57E
 *      data          FB    C7     F56F
 *      deleted data  F8    C7     F56A   (F9, FA read as deleted too)
 *      index         FC    D7     F77A   (after the index pulse; optional)
 *
 * The CRC covers the mark byte and the field's bytes (no A1 bytes before).
 *
 * A track (the IBM 3740's; Acorn DFS writes the same with smaller gaps):
 *
 *   index pulse
 *   | gap 4a: 40 x FF | 6 x 00 | index mark | gap 1: 26 x FF |
 *   then per sector:
 *   | 6 x 00 | FE C H R N CRC | gap 2: 11 x FF | 6 x 00 | FB data CRC | gap 3: 27 x FF |
 *   and gap 4b (FF) to the index pulse.
 *
 * A data mark follows its ID mark by 24 bytes (384 cells), well inside the
 * scanner's binding window of 80 bytes (a byte is 16 cells in both
 * encodings).
 *
 * The cell of FM at a data rate R is that of MFM at R, and twice that of MFM
 * at 2R: in a stream of cells of MFM at 2R (a DD drive's flux decoded as
 * 250 kbit/s MFM holding a 125 kbit/s FM track) every FM cell is two cells,
 * the second always 0. Such streams are read at `scale` 2: the FM cells are
 * every second cell, in either phase. A stream whose cells are FM's own is
 * read at scale 1.
 *
 * No process-wide state.
 */
#ifndef MFM_FM_H
#define MFM_FM_H

#include "mfm/scanner.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm::fm {

constexpr uint8_t MARK_CLOCK = 0xC7;    /* clock of the ID and data marks */
constexpr uint8_t INDEX_MARK = 0xFC, INDEX_CLOCK = 0xD7;
constexpr int CELLS_PER_BYTE = 16;
constexpr int MAX_SCALE = 2;

/* The 16 cells of data byte `data` written with clock byte `clock` (clock
 * cell first). */
constexpr uint16_t cellWord(uint8_t data, uint8_t clock = 0xFF)
{
    uint16_t w = 0;
    for (int b = 7; b >= 0; b--)
        w = uint16_t(w << 2 | ((clock >> b) & 1) << 1 | ((data >> b) & 1));
    return w;
}

/* The CRC of a field: mark byte and bytes. */
uint16_t fieldCrc(uint8_t mark, const uint8_t *bytes, size_t count);

/* The search of one stream: the FM fields at any cell offset, as Scanner
 * reports MFM's (scanner.h): Field::family is Family::fm, Field::bit the
 * stream's cell of the mark's first cell, Field::scale the stream's cells
 * per FM cell; an ID field's four bytes, a data field's bytes when an ID
 * within BIND_CELLS FM cells before it introduced it (the mark before the
 * data mark was that ID's, as scanner.h's Field::introduced; with a size
 * code of at most MAX_SIZE_CODE), and both CRCs. Data marks FB and F8..FA start data
 * fields (DataLength::fromId). Owns its buffers; results live until the
 * next search. */
class Search {
public:
    /* Searches `cells` read at `scale` (1 or 2: the stream's cells per
     * FM cell; every phase is searched). */
    std::span<const Field> scan(std::span<const uint8_t> cells, int scale);

private:
    std::vector<Field> fields_;
    std::vector<uint8_t> arena_;
    std::vector<uint8_t> phases_;
    std::vector<size_t> offsets_;
    struct Hit {            /* a mark found in one phase of the stream */
        int64_t bit;        /* in the stream searched */
        int phase;
        int64_t at;         /* FM cell of the mark in its phase */
        uint8_t mark;
    };
    std::vector<Hit> hits_;
};

/* Whether `cells` can hold FM read at `scale` (1 or 2), judged byte by byte
 * over the bytes that hold transitions: at scale 2 an FM cell is followed by
 * a 0, so nine in ten of them keep their ones in one parity of cells; at
 * scale 1 every clock cell is 1, so nine in ten have one parity all ones.
 * MFM (no two ones side by side, gaps of 4E) and noise fall far short. */
bool mayHoldFm(std::span<const uint8_t> cells, int scale);

/* The FM cells [from, from + count * scale) of `cells` read at `scale` make
 * `count` FM cells, the first a clock cell: the clock cells among them that
 * are not 1, and (scale > 1) the cells between FM cells that are not 0. A
 * field read right has none. Cells beyond `cells` read as zero. */
int64_t clockErrors(std::span<const uint8_t> cells, int64_t from, int scale, int64_t count);

/* `count` FM cells from stream cell `from` at `scale`, packed eight to a
 * byte into `out` (replaced), the earliest in bit 7. */
void gatherCells(std::span<const uint8_t> cells, int64_t from, int scale, int64_t count, std::vector<uint8_t> &out);

/* One sector to write. */
struct Sector {
    uint8_t cylinder = 0, head = 0, sector = 0, size = 0;   /* the ID; 128 << size bytes */
    std::span<const uint8_t> data;                          /* 128 << size bytes */
    bool deleted = false;                                   /* mark F8 instead of FB */
    bool badData = false;                                   /* write a wrong data CRC */
    bool badId = false;                                     /* write a wrong ID CRC */
};

/* The gaps of a track, in bytes. */
struct Gaps {
    int gap4a = 40, sync = 6, gap1 = 26, gap2 = 11, gap3 = 27;
    bool indexMark = true;
};

/* Gaps that fit `sectors` sectors of `bytes` bytes in a track of
 * `trackBytes` bytes: the IBM 3740's, gap 3 narrowed (down to 8) where the
 * track is short (an Acorn DFS track of 10 x 256 at 125 kbit/s). */
Gaps gapsFor(int sectors, int bytes, int trackBytes);

/* One revolution of an FM track: `trackBytes` bytes of cells (16 cells
 * each), the sectors in the order given, gap 4b (FF) to the end, each FM
 * cell written `scale` times as wide (the cell and scale - 1 zeros). Cells
 * packed eight to a byte, the earliest in bit 7. */
std::vector<uint8_t> encodeTrack(std::span<const Sector> sectors, const Gaps &gaps, int trackBytes, int scale);

}

#endif
