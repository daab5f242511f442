/*
 * scanner.h -- the one search for IBM MFM sector fields in a cell stream.
 *
 * A Scanner finds every sync sequence (three cell words whose data cells
 * read A1 A1 A1) at any bit offset of a stream of cells and reports the
 * field behind it as a record: where it starts, its mark byte, and for ID
 * fields (mark FE) track, side, sector and size code, for data fields
 * (mark FB) the decoded bytes; both with their stored and computed CRC.
 * The track layout these fields come from is drawn in scanner.cpp.
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

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm {

/* Largest size code whose data field the scanner decodes: 3, 1,024 bytes. */
constexpr uint8_t MAX_SIZE_CODE = 3;
/* Bytes of a data field of size code `n` (0..3): 128 << n. */
constexpr int32_t sizeCodeBytes(uint8_t n) { return 128 << n; }

/* How long a data field is. */
enum class DataLength {
    /* Always 512 bytes, whatever came before (the rule of analyse_track). */
    fixed512,
    /* 128 << N bytes, N the size code of the ID field that introduced the
     * data field; a data field that no ID introduced, or whose ID has a size
     * code above 3, is reported with its mark but not decoded. */
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
    int64_t bit = 0;             /* cell index of the first cell of the sync sequence */
    uint8_t mark = 0;            /* the byte after A1 A1 A1 */
    /* ID fields: the four ID bytes. */
    uint8_t track = 0, side = 0, sector = 0, size = 0;
    /* Data fields: whether the last ID or data mark before this one was an
     * ID mark (other marks do not count), and that ID field's index in the
     * results, or -1. */
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

    bool crcOk() const { return decoded && storedCrc == computedCrc; }
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
     * sync sequence found, in order of bit offset. At each scan position
     * (16 cells) only the earliest passing bit offset counts, as the literal
     * scan of a track slot at shifts 0 to 15 finds it. The returned records
     * live until the next scan. Prints nothing; never writes `cells`. */
    std::span<const Field> scan(std::span<const uint8_t> cells, DataLength length);

private:
    struct Work;
    Work *work_;
};

}

#endif
