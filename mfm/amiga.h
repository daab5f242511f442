/*
 * amiga.h -- the AmigaDOS family: its sector layout, decode, checks and
 * encoder. The track layout is drawn in amiga.cpp.
 *
 * The Scanner (scanner.h) finds an AmigaDOS sector where the data cells of
 * two sync words (cells 4489 4489, data A1 A1) are followed by a format
 * byte whose odd bits are set, and hands over the data cells behind the
 * sync as bytes (FIELD_BYTES of them, eight data cells to a byte). The
 * functions here make a sector of them: the info long, the two checksums,
 * the 512 data bytes.
 *
 * The XOR checksums are weak: they are 16 column parities, which any even
 * number of errors in one column passes. A copy is taken as good only when
 * both checksums are right, its info long names the track it was read on
 * and no clock cell of the sector breaks the MFM rule; recovery.h asks for
 * more before it calls the sector good.
 *
 * No process-wide state.
 */
#ifndef MFM_AMIGA_H
#define MFM_AMIGA_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm::amiga {

constexpr uint8_t FORMAT_AMIGADOS = 0xFF;   /* the info long's format byte */
constexpr int SECTOR_BYTES = 512;
constexpr int LABEL_BYTES = 16;
/* Data bytes after the sync words: info, label, the two checksums, data. */
constexpr int INFO_AT = 0, LABEL_AT = 4, HEADER_SUM_AT = 20, DATA_SUM_AT = 24, DATA_AT = 28;
constexpr int FIELD_BYTES = DATA_AT + SECTOR_BYTES;                 /* 540 */
/* Cell words (16 cells, one data byte) of a whole sector on the track:
 * 00 00, the two sync words and FIELD_BYTES. */
constexpr int SECTOR_WORDS = 2 + 2 + FIELD_BYTES;                   /* 544 */
constexpr int SYNC_CELLS = 2 * 16;                                  /* A1 A1 */
/* Cells from the first cell of the sync words to the end of the sector. */
constexpr int64_t FIELD_CELLS = SYNC_CELLS + 16 * int64_t(FIELD_BYTES);
/* Cells from the first sync cell to the data checksum, and from there to
 * the end of the sector: what the aligned vote of bad copies looks at. */
constexpr int64_t DATA_SUM_CELL = SYNC_CELLS + 16 * DATA_SUM_AT;
constexpr int64_t VOTE_BODY_CELLS = 16 * int64_t(FIELD_BYTES - DATA_SUM_AT);

/* One sector's header as read. */
struct Header {
    uint8_t format = 0, track = 0, sector = 0, toGap = 0;   /* the info long */
    bool headerOk = false;      /* header checksum right */
    bool dataOk = false;        /* data checksum right */
    uint32_t dataSum = 0;       /* the data checksum as stored (decoded long) */
};

/* Decodes FIELD_BYTES bytes of data cells (`field`, from the first cell
 * after the sync words) into the header and, in `data`, the 512 bytes. */
void decodeSector(std::span<const uint8_t, FIELD_BYTES> field, Header &out, std::span<uint8_t, SECTOR_BYTES> data);

/* The data checksum of 512 decoded bytes, as a decoded long. */
uint32_t dataChecksum(std::span<const uint8_t, SECTOR_BYTES> data);

/* From the data cells of the data checksum and the data area (4 + 512
 * bytes, as decodeSector reads them from DATA_SUM_AT): the 512 bytes and
 * the stored checksum. Returns whether the checksum confirms them. */
bool decodeDataArea(std::span<const uint8_t, 4 + SECTOR_BYTES> cellsData, std::span<uint8_t, SECTOR_BYTES> data,
                    uint32_t &stored);

/* The MFM cells of one revolution of an AmigaDOS track, `cells` cells
 * (rounded up to whole bytes, eight to a byte, earliest in bit 7): a gap of
 * zero bytes from the start, then sectors 0 .. count - 1 of `data` (count
 * * 512 bytes) back to back up to the end, the track number
 * (cylinder * 2 + head) in every info long. A sector in `breakData` gets a
 * wrong data checksum. */
std::vector<uint8_t> encodeTrack(int track, std::span<const uint8_t> data, int count, int64_t cells,
                                 std::span<const int> breakData = {});

}

#endif
