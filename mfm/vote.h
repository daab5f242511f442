/*
 * vote.h -- the bytes of a sector that no read gave whole, from the votes of
 * its bad copies, confirmed by its CRC.
 *
 * Each read of a damaged sector goes wrong in its own places: a burst of
 * noise, a weak transition read a cell early, a cell lost or gained where
 * the loop slipped. Where most copies agree, they hold what was written.
 * The votes are taken in turn, each only when the one before is not
 * confirmed:
 *
 *  1. bit by bit over the decoded bytes (and the stored CRC): every data
 *     cell takes the value most copies hold;
 *  2. cell by cell over the copies' cells aligned on their sync: each copy
 *     is aligned with the vote of all of them, allowing cells lost or
 *     gained (within ALIGN_BAND cells), so that a copy which slipped a cell
 *     still counts after the slip; then the vote is taken again over the
 *     aligned cells, twice. When that is not confirmed, the vote's own
 *     slips are mended (its first reference was a copy, which slipped too
 *     when every read did): a place most copies have no cell at is
 *     dropped, a cell most gained is put in, and the cells are voted again.
 *
 * A vote is confirmed when the CRC of A1 A1 A1 (of FM: none), the mark and
 * the voted bytes equals the voted stored CRC: one candidate tried per vote, so a wrong vote
 * passes with the odds of any CRC check (one in 65,536). (Its cells are not
 * held to the clock rule below: where reads disagree, the vote of each cell
 * on its own may break it while the data cells are right.) Nothing here
 * flips bits to find bytes that fit the CRC.
 *
 * No process-wide state; nothing is printed.
 */
#ifndef MFM_VOTE_H
#define MFM_VOTE_H

#include "mfm/recovery.h"
#include "mfm/scanner.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mfm {

/* The clock cells among `count` cells of `cells` (eight to a byte) from
 * cell `from`, the first of a cell word, that break the MFM rule: a clock
 * cell holds a transition exactly when the data cells either side of it
 * hold none. A field read right has none: each of its transitions lies in
 * its own cell. A read whose CRC matches by chance, among the many bad reads
 * of a worn track, nearly always has some (on the real tracks of the test
 * set, none of thousands of good reads had any). Cells beyond `cells` read
 * as zero. */
int64_t clockErrors(std::span<const uint8_t> cells, int64_t from, int64_t count);

/* Cells a copy may be ahead of or behind the vote, in the aligned vote. */
constexpr int ALIGN_BAND = 8;
/* Copies the aligned vote looks at, at most (the first ones). */
constexpr size_t ALIGN_MAX_COPIES = 31;

/* Cells SectorCopy::cells keeps of a data field of `bytes` bytes: its data
 * and CRC cell words (an AmigaDOS sector: its data checksum and data), and
 * ALIGN_BAND cells more for a copy that lost some. */
constexpr int64_t voteCells(size_t bytes, Family family)
{
    return 16 * (int64_t(bytes) + (family == Family::amiga ? 4 : 2)) + ALIGN_BAND;
}

struct Vote {
    std::vector<uint8_t> data;  /* the voted bytes */
    bool confirmed = false;     /* their CRC is the voted stored CRC */
    bool aligned = false;       /* they come from the aligned cell vote */
};

/* Votes `copies` (at least one, all of one family; every one's data `bytes`
 * long). On a tie the earliest copy's value wins. The mark under the CRC
 * is F8 when most copies carry a deleted-data mark, else FB; an AmigaDOS
 * sector's vote is confirmed by its data checksum. The aligned vote is
 * taken over the copies that kept their cells, when there are three or
 * more; `simd` chooses its code (every choice gives the same vote: with
 * AVX2 sixteen alignments run at once, Simd::sse2 and Simd::portable take
 * them one by one). */
Vote voteCopies(std::span<const SectorCopy *const> copies, size_t bytes, Simd simd = Simd::best);

}

#endif
