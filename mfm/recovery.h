/*
 * recovery.h -- a whole disk from one or more reads of it.
 *
 * Every read of a track (a track slot of a raw capture, or a track of a flux
 * file) is scanned for sector fields; collectCopies keeps each data field
 * that an ID field introduced as a copy of that sector. recoverDisk then
 * works out the disk's layout, chooses one copy per sector from all reads
 * and lays out a full-size sector image, with a filler where nothing was
 * read.
 *
 * Which copy wins, per sector (cylinder, head, sector):
 *  - a good copy (ID CRC and data CRC both right, no clock cell wrong) wins;
 *    the first one found is kept. Good copies with other bytes make the
 *    sector a conflict, unless one set of bytes is held by two or more of
 *    them and every other set by one alone: then that set wins;
 *  - with no good copy, three or more bad ones are voted (vote.h); a vote
 *    that its CRC confirms, of copies one of which had a right ID CRC, makes
 *    the sector good (RecoveredSector::voted); otherwise the voted bytes are
 *    kept and the status is crc-error; one or two bad copies: the first is
 *    kept, crc-error;
 *  - with no copy at all the sector is missing and filled: with the byte
 *    RecoveryOptions::fill when one is given, else with missingFiller's
 *    text, which names the sector, so that a lost sector can be found in
 *    the image itself.
 * "First" is the order of the reads given, then of bit offset in a read.
 * A copy is placed by the read's cylinder and the side and sector numbers
 * of its ID; an ID that names another cylinder is counted, not placed.
 *
 * Nothing here keeps process-wide state or prints.
 */
#ifndef MFM_RECOVERY_H
#define MFM_RECOVERY_H

#include "mfm/layout.h"
#include "mfm/scanner.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mfm {

/* One sector copy found in a read. */
struct SectorCopy {
    Family family = Family::ibm;
    uint8_t cylinder = 0, head = 0, sector = 0, size = 0;   /* the ID's bytes */
    /* ID CRC right (AmigaDOS: header checksum right and the format byte
     * AmigaDOS's) */
    bool idOk = false;
    bool dataOk = false;                                     /* data CRC (checksum) right */
    bool deleted = false;                                    /* a deleted-data mark (F8..FA) */
    int64_t bit = 0;                                         /* cell of the data field's sync */
    int revolution = 0;                                      /* see collectCopies */
    /* Cells from the index pulse of its revolution to the data field's
     * sync: where on the track it lies; -1 when its read has no index
     * pulse before it. */
    int64_t place = -1;
    int pass = 0;                                            /* the flux decoder's pass (FLUX_PASSES) */
    uint32_t storedCheck = 0;                                /* the data CRC (checksum) as read */
    std::vector<uint8_t> data;
    /* A bad copy's cells, when collectCopies was given them: voteCells()
     * cells from the first cell of its bytes, eight to a byte. */
    std::vector<uint8_t> cells;

    /* Clock cells of the data field that break the encoding's rule (MFM's:
     * vote.h's clockErrors; FM's: fm.h's), when collectCopies was given the
     * cells; else 0. */
    int64_t clockErrors = 0;

    /* Both CRCs right, and no clock cell wrong. */
    bool good() const { return idOk && dataOk && clockErrors == 0; }
};

/* One read of one track. */
struct TrackRead {
    int input = 0;          /* which capture or flux file (the caller's numbering) */
    int physical = 0;       /* track slot, or physical cylinder of a flux track */
    int head = -1;          /* the flux track's head; -1 for a slot (both heads) */
    int rate = 0;           /* the flux track's data rate (RATE_250K ...); 0 for a slot */
    int passes = 0;         /* the flux decoder's passes run on the track; 0 for a slot */
    /* The track was read as FM (fm.h): its fields are FM's, found at
     * fmScale cells of the stream per FM cell (a flux track is read in FM's
     * own cells: 1). `rate` is then the rate a controller names it by: that
     * of MFM in cells half as long, twice the FM data rate (a DD drive's FM
     * is 125 kbit/s, "250 kbit/s FM"). */
    bool fm = false;
    int fmScale = 0;
    /* The data rate of the track's encoding. */
    int dataRate() const { return fm ? rate / 2 : rate; }
    std::vector<SectorCopy> copies;
    /* ID fields with a right CRC, data or not: what the layout is judged by. */
    struct Id {
        uint8_t cylinder, head, sector, size;
        Family family = Family::ibm;
    };
    std::vector<Id> ids;
    /* Sync sequences the scans of the read found, whatever their marks and
     * CRCs: a read with FORMATTED_SYNCS or more holds a formatted track. */
    int syncs = 0;
    /* ID fields (AmigaDOS headers) whose CRC (checksum) is wrong: noise,
     * whose numbers mean nothing. */
    int badIds = 0;
    /* A flux track's whole revolutions and their mean index period in
     * seconds; 0 for a slot. */
    int revolutions = 0;
    double indexPeriod = 0;
    /* Copies dropped because their ID CRC was wrong and they lay where a
     * sound ID of another sector puts that sector (dropMisplacedCopies). */
    int misplaced = 0;
    /* Forgets the fields collected so far: copies, IDs and their counts. */
    void clearFields()
    {
        copies.clear();
        ids.clear();
        syncs = badIds = 0;
    }
    /* Sync words (cells 4489) in one revolution of a read that holds no
     * sound sector header of any family (countSyncWords); -1 when not
     * counted. */
    int syncWords = -1;
};
constexpr int FORMATTED_SYNCS = 4;
/* The scales an FM track is looked for at in a raw capture, in order
 * (fm.h): its cells two of the capture's (FM at half the MFM rate of the
 * capture's cells), or its own. */
constexpr int FM_SCALES[] = {2, 1};

/* Collects the sectors of one scan (fields scanned with DataLength::fromId)
 * into `out` (appending to its copies and ids). Only a data field that
 * belongs to an ID (Field::id, within BIND_CELLS of it) is a copy of that
 * sector; an AmigaDOS sector is one copy of itself, its ID right when its
 * header checksum is and its format byte is AmigaDOS's. Fields whose sync lies inside a data field with a right CRC are
 * part of that sector's bytes and are skipped. `indexCells` are the
 * ascending cell indices of index pulses in the scanned stream: a copy's
 * revolution is the number of them at or before its sync (0 when there are
 * none). When `cells` (the scanned stream) is given, a copy whose CRCs are
 * right has its data field's clock cells checked (SectorCopy::clockErrors),
 * and every copy that is not good keeps its cells for the aligned vote
 * (vote.h). */
void collectCopies(std::span<const Field> fields, std::span<const int64_t> indexCells, TrackRead &out,
                   std::span<const uint8_t> cells = {});

/* Drops the copies of `read` whose ID CRC is wrong and that lie where the
 * sound IDs of another sector of the read put that sector's data field (its
 * place on the track, SectorCopy::place, within a quarter of the least
 * distance between two sectors' middle places, and within half the copy's
 * data field, of one such copy), and not where their own sector's lie: a damaged ID of that other
 * sector, whose numbers (one bit off, say) would file its bytes, or count
 * its bad reads, under a sector they are not. AmigaDOS copies, which name
 * their sector in a checked header only, are kept. Adds the count to
 * read.misplaced. */
void dropMisplacedCopies(TrackRead &read);

/* Scans a raw capture's slot (both heads of a cylinder, head 0 from its
 * start, head 1 from its middle) and collects its sectors into `out` as
 * collectCopies does: IBM MFM and AmigaDOS fields; and when those make no
 * formatted track (fewer than FORMATTED_SYNCS syncs), FM fields at each of
 * FM_SCALES in turn, until one finds a sound ID (then out.fm is set and out
 * holds the FM copies alone). An FM slot whose sound IDs in both halves
 * all name head 0 (Acorn DFS writes 0 on both sides) has those of its
 * second half taken as head 1. */
void readSlot(Scanner &scanner, std::span<const uint8_t> cells, TrackRead &out);

/* The family most sound sector IDs of the reads belong to; IBM MFM on a
 * tie (and when there are none). */
Family detectFamily(std::span<const TrackRead> reads);

/* Whether the IDs of a disk's second side name head 0, as Acorn DFS writes
 * them: the sound IDs (of IBM and FM sectors) that flux reads of head 1
 * hold name head 0 more often than head 1, and those of head 0 do not name
 * head 1 more often than head 0. A copy is then placed by the
 * head it was read with, not by its ID (a raw capture's slot, which holds
 * both, by its ID still), so that the two sides do not become one. */
bool sidesByRead(std::span<const TrackRead> reads);

/* 2 when most ID fields (with right CRCs, read off track 0) name half the
 * physical track they were read on: a 40-cylinder disk read in an 80-track
 * drive. Else 1. */
int detectStep(std::span<const TrackRead> reads);

/* notCaptured: a sector of a track that no input holds (a partial read, a
 * truncated file, a KryoFlux set without some stream files): not damage,
 * nothing was tried. */
enum class SectorStatus { good, crcError, missing, conflict, notCaptured };
constexpr int SECTOR_STATUSES = 5;
/* "good", "crc-error", "missing", "conflict", "not-captured". */
const char *statusName(SectorStatus s);

/* Where the layout came from. */
enum class GeometrySource { given, bootSector, ids, format };

struct RecoveryOptions {
    std::optional<Geometry> geometry;   /* forced layout; else found */
    /* A named layout to use (when no geometry is given): its family, heads,
     * sectors, numbering and size, and its cylinders or as many more as
     * the sector IDs of its family name. */
    const Layout *format = nullptr;
    std::optional<uint8_t> fill;        /* filler byte of missing sectors; else
                                           missingFiller's text */
};

/* A copy and the read it came from. */
struct CopyRef {
    const TrackRead *read = nullptr;
    const SectorCopy *copy = nullptr;
};

/* Why a copy was not placed in the image. */
enum class Outside { otherCylinder, pastCylinders, head, sectorNumber, size, otherFamily, otherHead };
/* "names another cylinder", "past the last cylinder", "head outside the
 * layout", "sector number outside the layout", "other sector size",
 * "another family's sector", "names the other head". */
const char *outsideName(Outside why);

struct RecoveredSector {
    int cylinder = 0, head = 0, sector = 0;
    SectorStatus status = SectorStatus::missing;
    int copies = 0;                     /* copies of the geometry's size seen */
    int goodCopies = 0;
    bool voted = false;                 /* the bytes are a vote of bad copies */
    bool idSeen = false;                /* some read held a sound ID of it */
    /* Not good, but its bytes come from a copy whose data CRC (checksum)
     * is right and whose clock cells keep the rule: only its ID was not
     * confirmed. A vote that its check does not confirm does not replace
     * them. */
    bool dataConfirmed = false;
    bool deleted = false;               /* the chosen copy had a deleted-data mark */
    const TrackRead *read = nullptr;    /* where the chosen copy came from */
    const SectorCopy *copy = nullptr;   /* (both null when missing; for a merge of
                                           bad copies, the first of them) */
    /* A sector not good: every copy of it, in the order found. */
    std::vector<CopyRef> seen;
};

struct Recovery {
    std::span<const TrackRead> reads;   /* the reads it was made from */
    Geometry geometry;
    const Layout *layout = nullptr;     /* the named layout closest to it, if any */
    GeometrySource source = GeometrySource::ids;
    /* 2 when a 40-cylinder disk was read in an 80-track drive: the data lie
     * on every second physical track and the IDs name half its number. Each
     * input is judged by its own reads; this is 2 when any input was. */
    int step = 1;
    bool sidesByRead = false;               /* see sidesByRead */
    std::vector<RecoveredSector> sectors;   /* cylinder, head, sector order */
    std::vector<uint8_t> image;             /* geometry.imageBytes() bytes */
    int counts[SECTOR_STATUSES] = {};       /* sectors of each SectorStatus */
    /* The tracks of the layout no input holds, as (cylinder, head). */
    std::vector<std::pair<int, int>> notCaptured;
    int foreignIds = 0;     /* IDs whose cylinder is not the read's */
    /* Where the cylinder count came from, when the layout was found: the
     * IDs read, the last formatted track, the standard layout they fit. */
    struct {
        int ids = 0, formatted = 0, standard = 0;
    } cylinders;
    /* Copies that lie outside the layout, and why; and how many distinct
     * sectors good copies of which lie outside it. */
    struct Unplaced {
        CopyRef ref;
        Outside why;
    };
    std::vector<Unplaced> outside;
    /* Copies whose ID CRC is wrong and whose numbers lie outside the
     * layout: noise, listed apart; and the ID fields with wrong CRCs the
     * reads held. */
    std::vector<CopyRef> outsideBadId;
    int badIds = 0;
    /* The distinct sectors good copies of which lie outside the layout and
     * are not sectors of it (a copy whose ID names another cylinder than
     * its track's, of a sector the layout holds, is no loss): the image
     * leaves them out. */
    struct LeftOut {
        int cylinder, head, sector, bytes;
        Family family;
        auto operator<=>(const LeftOut &) const = default;
    };
    std::vector<LeftOut> leftOut;
    int goodOutside = 0;    /* leftOut.size() */
    /* Per input (TrackRead::input): sectors of the layout it read good, and
     * those only it read good. */
    struct InputTally {
        int good = 0, only = 0;
    };
    std::vector<InputTally> inputs;
    /* Tracks of the layout on which no read found a sector of its family
     * but some read found sync words or another family's sectors: a track
     * of another format, not a damaged one. head is -1 for a raw capture's
     * slot (both heads). */
    struct OtherTrack {
        int cylinder = 0, head = -1;
        int syncWords = 0;          /* in one revolution */
        int otherSectors = 0;       /* sound headers of other families */
    };
    std::vector<OtherTrack> otherTracks;

    int count(SectorStatus s) const { return counts[int(s)]; }
    int found() const
    {
        return int(geometry.sectorCount()) - count(SectorStatus::missing) - count(SectorStatus::notCaptured);
    }
};

/* When good sectors are left out of the image: the layout that would hold
 * them and every good sector of the layout's family in it (when all of
 * them are another family's: the layout of theirs), as the named
 * layout of the table of just that shape (for --format, whose cylinders
 * grow to the IDs) or as a geometry (cylinders, heads, sectors from the
 * lowest number to the highest, their size, the first number). */
const Layout *layoutHoldingAll(const Recovery &rec);
Geometry geometryHoldingAll(const Recovery &rec);

/* Fills `out` (a sector's bytes) with "-=[MISSING c/h/s]=-" (cylinder,
 * head, sector in decimal) again and again, the last copy cut where the
 * sector ends. */
void missingFiller(int cylinder, int head, int sector, std::span<uint8_t> out);

/* Chooses the layout and the copies. The layout is options.geometry when
 * given, else options.format's; else found: the family is the one most
 * sound sector IDs belong to, and the layout the boot sector's (a FAT BPB in
 * the first good copy of cylinder 0, head 0, sector 1 of an IBM disk) when
 * the IDs found agree with it (same heads, sectors per track and sector
 * size, no more cylinders); else what the IDs of the family show: heads
 * seen, the lowest and highest sector numbers most tracks hold, the most
 * common size, and cylinders as many as the IDs name, but never fewer than
 * the last track that holds a formatted read (FORMATTED_SYNCS), nor than
 * the named layout of that shape with the fewest cylinders that hold them
 * (layout.h). With no ID at all and no geometry given, the geometry is
 * empty (0 sectors). The result points into `reads`, which must outlive it.
 *
 * An AmigaDOS sector's checksums are weak (amiga.h): a sector whose good
 * copies are all of one revolution of one read is good only when the other
 * copies of it do not speak against their bytes (see recovery.cpp); else
 * it is a crc error. */
Recovery recoverDisk(std::span<const TrackRead> reads, const RecoveryOptions &options);

}

#endif
