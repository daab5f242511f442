/*
 * scanner.h -- the one search for sector fields in a cell stream.
 *
 * A Scanner finds every sync sequence at any bit offset of a stream of
 * cells and reports the field behind it as a record. The sync word is the
 * data byte A1 written with a clock cell missing (cells 4489), which both
 * MFM families use:
 *  - IBM MFM: three cell words whose data cells read A1 A1 A1, then a
 *    mark: for ID fields (mark FE) track, side, sector and size code, for
 *    data fields (mark FB) the decoded bytes; both with their stored and
 *    computed CRC. The track layout is drawn in scanner.cpp.
 *  - AmigaDOS (when asked for): two A1 words, not a third, followed by an
 *    info long whose format byte's odd bits are set: a whole sector, its
 *    header and data decoded by amiga.h. The track layout is drawn in
 *    amiga.cpp.
 * FM (single density) has no sync word: its marks are found by a search of
 * their own (scanFm, fm.h).
 *
 * Cell stream layout: eight cells to a byte, the earliest cell in bit 7;
 * cells beyond the end of the stream read as zero.
 *
 * A Scanner keeps no process-wide state: it owns its work buffers and its
 * results, so each thread uses its own Scanner. Scanning a stream again
 * reuses the storage of the previous scan.
 */
#ifndef MFM_SCANNER_H
#define MFM_SCANNER_H

#include "mfm/layout.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm {

/* Largest size code whose data field the scanner decodes: 3, 1,024 bytes. */
constexpr uint8_t MAX_SIZE_CODE = 3;
/* Bytes of a data field of size code `n` (0..3): 128 << n. */
constexpr int32_t sizeCodeBytes(uint8_t n) { return 128 << n; }

/* A data field belongs to the ID field before it only when its sync
 * sequence starts at most this many cells (80 bytes) after the first cell of
 * the ID's sync sequence. A formatted track has 704 (gap 2 and the sync's
 * zeros); a disk controller stops looking after about 850. A data field
 * farther away is one whose own ID was not read: binding it to the last ID
 * would file another sector's bytes under that ID. */
constexpr int64_t BIND_CELLS = 1280;

/* Data marks: FB normal data, F8 deleted data (F9 and FA are read as
 * deleted data too, as controllers of some systems wrote them). */
constexpr uint8_t MARK_DELETED = 0xF8;
constexpr bool isDeletedMark(uint8_t mark) { return mark >= 0xF8 && mark <= 0xFA; }

/* How long a data field is, and which marks start one. */
enum class DataLength {
    /* Always 512 bytes, whatever came before; only FB starts a data field
     * (the rules of analyse_track). */
    fixed512,
    /* 128 << N bytes, N the size code of the ID field the data field belongs
     * to; FB and the deleted-data marks start a data field. A data field
     * that belongs to no ID, or whose ID has a size code above 3, is
     * reported with its mark but not decoded. */
    fromId,
};

/* The code a Scanner runs. Every choice gives the same results; the plainer
 * ones are there so that each can be checked against the others on one
 * machine. */
enum class Simd {
    best,       /* the fastest this processor runs: AVX2, else SSE2, else portable */
    sse2,       /* SSE2 at most */
    portable,   /* plain C++ only */
};

/* One field found in the stream. */
struct Field {
    Family family = Family::ibm;
    int64_t bit = 0;             /* cell index of the first cell of the sync sequence
                                    (of an FM field: of its mark) */
    uint8_t scale = 1;           /* FM fields: the stream's cells per FM cell (fm.h) */
    uint8_t mark = 0;            /* the byte after A1 A1 A1; an AmigaDOS
                                    sector's format byte */
    /* ID fields: the four ID bytes. */
    uint8_t track = 0, side = 0, sector = 0, size = 0;
    /* Data fields: whether the last ID or data mark before this one was an
     * ID mark (other marks do not count); and the index in the results of
     * the ID field the data field belongs to: that ID field, when it lies
     * within BIND_CELLS before this one, else -1. */
    bool introduced = false;
    int32_t id = -1;
    /* Data fields: the decoded bytes (empty when not decoded). Valid until
     * the Scanner scans again or is destroyed. */
    std::span<const uint8_t> data;
    /* The CRC stored after the field and the CRC computed over A1 A1 A1,
     * the mark and the field's bytes; both 0 for fields that were not
     * decoded (marks other than FE and FB, data fields without a length). */
    uint16_t storedCrc = 0;
    uint16_t computedCrc = 0;
    bool decoded = false;        /* ID field, or data field whose bytes were read */
    /* AmigaDOS sectors (track, side and sector come from the info long's
     * track = cylinder * 2 + side, and its sector; size is 2, data the 512
     * bytes): the two checksums, the info long's sectors to the gap and the
     * data checksum as stored. */
    bool headerOk = false, dataOk = false;
    uint8_t toGap = 0;
    uint32_t dataSum = 0;

    bool crcOk() const { return decoded && storedCrc == computedCrc; }
    /* A data field that an ID field introduced from farther than BIND_CELLS. */
    bool unbound() const { return introduced && id < 0; }
    /* The place rawscan prints: scan position 2 * (bit / 16) and shift bit % 16. */
    int64_t pos() const { return 2 * (bit / 16); }
    int shift() const { return int(bit % 16); }
};

class Scanner {
public:
    explicit Scanner(Simd simd = Simd::best);
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    /* Scans `cells` (cells.size() bytes, 8 cells each) and returns every
     * sync sequence found, in order of bit offset: IBM MFM fields, and
     * AmigaDOS sectors too when `amiga` is set. At each scan position
     * (16 cells) only the earliest passing bit offset of each family
     * counts, as the literal scan of a track slot at shifts 0 to 15 finds
     * it. The returned records live until the next scan. Prints nothing;
     * never writes `cells`. */
    std::span<const Field> scan(std::span<const uint8_t> cells, DataLength length, bool amiga = false);

    /* Scans `cells` for FM fields (fm.h), the stream's cells read at
     * `scale` (1 or 2 cells per FM cell), as scan does with
     * DataLength::fromId. Its results live until the next scanFm; those of
     * scan are kept. */
    std::span<const Field> scanFm(std::span<const uint8_t> cells, int scale);

private:
    struct Work;
    Work *work_;
};

/* Whether `fields` hold an ID field (mark FE) whose CRC is right. */
bool anySoundId(std::span<const Field> fields);

/* The sync words (cells 4489, at any bit offset, one not overlapping the
 * next) among cells [from, to) of a stream: what a track of a format this
 * library does not decode still shows of itself. */
int countSyncWords(std::span<const uint8_t> cells, int64_t from, int64_t to);

}

#endif
