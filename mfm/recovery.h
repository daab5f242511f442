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
 *  - a good copy (ID CRC and data CRC both right) wins; the first one found
 *    is kept, and a later good copy with other bytes makes the sector a
 *    conflict;
 *  - with no good copy, three or more bad ones are merged byte by byte, each
 *    byte the value most copies hold (on a tie, the earliest copy's); one or
 *    two bad copies: the first is kept; the status is crc-error;
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

#include "mfm/scanner.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mfm {

/* A disk layout: sectors numbered 1..sectors on every track, stored in the
 * image cylinder by cylinder, head 0 then head 1. */
struct Geometry {
    int cylinders = 0;
    int heads = 0;
    int sectors = 0;
    int bytes = 512;

    int64_t sectorCount() const { return int64_t(cylinders) * heads * sectors; }
    int64_t imageBytes() const { return sectorCount() * bytes; }
    bool operator==(const Geometry &) const = default;
};

/* One sector copy found in a read. */
struct SectorCopy {
    uint8_t cylinder = 0, head = 0, sector = 0, size = 0;   /* the ID's bytes */
    bool idOk = false;                                       /* ID CRC right */
    bool dataOk = false;                                     /* data CRC right */
    int64_t bit = 0;                                         /* cell of the data field's sync */
    int revolution = 0;                                      /* see collectCopies */
    std::vector<uint8_t> data;

    bool good() const { return idOk && dataOk; }
};

/* One read of one track. */
struct TrackRead {
    int input = 0;          /* which capture or flux file (the caller's numbering) */
    int physical = 0;       /* track slot, or physical cylinder of a flux track */
    int head = -1;          /* the flux track's head; -1 for a slot (both heads) */
    std::vector<SectorCopy> copies;
    /* ID fields with a right CRC, data or not: what the layout is judged by. */
    struct Id {
        uint8_t cylinder, head, sector, size;
    };
    std::vector<Id> ids;
};

/* Collects the sectors of one scan (fields scanned with DataLength::fromId)
 * into `out` (appending to its copies and ids). Fields whose sync lies
 * inside a data field with a right CRC are part of that sector's bytes and
 * are skipped. `indexCells` are the ascending cell indices of index pulses
 * in the scanned stream: a copy's revolution is the number of them at or
 * before its sync (0 when there are none). */
void collectCopies(std::span<const Field> fields, std::span<const int64_t> indexCells, TrackRead &out);

/* 2 when most ID fields (with right CRCs, read off track 0) name half the
 * physical track they were read on: a 40-cylinder disk read in an 80-track
 * drive. Else 1. */
int detectStep(std::span<const TrackRead> reads);

enum class SectorStatus { good, crcError, missing, conflict };
/* "good", "crc-error", "missing", "conflict". */
const char *statusName(SectorStatus s);

/* Where the layout came from. */
enum class GeometrySource { given, bootSector, ids };

struct RecoveryOptions {
    std::optional<Geometry> geometry;   /* forced layout; else found */
    std::optional<uint8_t> fill;        /* filler byte of missing sectors; else
                                           missingFiller's text */
};

struct RecoveredSector {
    int cylinder = 0, head = 0, sector = 0;
    SectorStatus status = SectorStatus::missing;
    int copies = 0;                     /* copies of the geometry's size seen */
    int goodCopies = 0;
    const TrackRead *read = nullptr;    /* where the chosen copy came from */
    const SectorCopy *copy = nullptr;   /* (both null when missing; for a merge of
                                           bad copies, the first of them) */
};

struct Recovery {
    Geometry geometry;
    GeometrySource source = GeometrySource::ids;
    /* 2 when a 40-cylinder disk was read in an 80-track drive: the data lie
     * on every second physical track and the IDs name half its number. Each
     * input is judged by its own reads; this is 2 when any input was. */
    int step = 1;
    std::vector<RecoveredSector> sectors;   /* cylinder, head, sector order */
    std::vector<uint8_t> image;             /* geometry.imageBytes() bytes */
    int counts[4] = {};                     /* sectors of each SectorStatus */
    int foreignIds = 0;     /* IDs whose cylinder is not the read's */

    int count(SectorStatus s) const { return counts[int(s)]; }
    int found() const { return int(geometry.sectorCount()) - count(SectorStatus::missing); }
};

/* Fills `out` (a sector's bytes) with "-=[MISSING c/h/s]=-" (cylinder,
 * head, sector in decimal) again and again, the last copy cut where the
 * sector ends. */
void missingFiller(int cylinder, int head, int sector, std::span<uint8_t> out);

/* Chooses the layout and the copies. The layout is options.geometry when
 * given; else the boot sector's (a FAT BPB in the first good copy of
 * cylinder 0, head 0, sector 1) when the IDs found agree with it (same
 * heads, sectors per track and sector size, no more cylinders); else what
 * the IDs show: cylinders and heads seen, the highest sector number most
 * tracks hold, the most common size. With no ID at all and no geometry
 * given, the geometry is empty (0 sectors). The result points into `reads`,
 * which must outlive it. */
Recovery recoverDisk(std::span<const TrackRead> reads, const RecoveryOptions &options);

}

#endif
