/*
 * layout.h -- disk families and the table of named disk layouts.
 *
 * A family is a way of writing sectors on a track: IBM MFM (the PC, the
 * Atari ST, the Amstrad CPC, Acorn ADFS, ...) or AmigaDOS. Each family's
 * sync rule, field decode, checks and encoder live in one place of the
 * library (scanner.cpp for IBM MFM, amiga.h for AmigaDOS); everything that
 * turns sector copies into a disk (copies, votes, the choice of copy, the
 * layout, reports and image files) is written once for all of them.
 *
 * A layout is what a disk holds: its family, cylinders, heads, sectors per
 * track numbered upwards from a first number, and bytes per sector. The
 * table names the layouts users know ("ibm.1440", "amiga.amigados"); a
 * layout is a default, not a law: a disk with a few more cylinders keeps
 * its name and its cylinders.
 *
 * No process-wide state.
 */
#ifndef MFM_LAYOUT_H
#define MFM_LAYOUT_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mfm {

/* The disk families, in the order a track's fields are looked for. FM
 * (single density, fm.h) writes IBM's fields without MFM: a track is read
 * as FM when the MFM search finds no formatted track in it. */
enum class Family : uint8_t { ibm, amiga, fm };
constexpr int FAMILY_COUNT = 3;
/* "ibm", "amiga", "fm": the word of the table's names and of the JSON report. */
const char *familyName(Family f);
/* "IBM MFM", "AmigaDOS", "FM": what people call the family's sectors. */
const char *familyTitle(Family f);
/* The family whose sectors a family's sectors are: an FM sector is an IBM
 * one (the same ID field, numbers and CRC) written in another encoding, so
 * the FM track 0 of an MFM disk fills the same layout, and the reverse. */
constexpr Family sectorFamily(Family f) { return f == Family::fm ? Family::ibm : f; }

/* A disk layout: sectors numbered first .. first + sectors - 1 on every
 * track, stored in the image cylinder by cylinder, head 0 then head 1 (for
 * an AmigaDOS disk, track = cylinder * 2 + head: the same order). */
struct Geometry {
    int cylinders = 0;
    int heads = 0;
    int sectors = 0;
    int bytes = 512;
    int first = 1;                  /* number of a track's first sector */
    Family family = Family::ibm;

    int64_t sectorCount() const { return int64_t(cylinders) * heads * sectors; }
    int64_t imageBytes() const { return sectorCount() * bytes; }
    /* Whether sector number `s` belongs to the layout. */
    bool holdsSector(int s) const { return s >= first && s < first + sectors; }
    /* The place of a sector in the image, counted in sectors. */
    int64_t index(int cylinder, int head, int sector) const
    {
        return (int64_t(cylinder) * heads + head) * sectors + (sector - first);
    }
    bool operator==(const Geometry &) const = default;
};

/* A named layout of the table. */
struct Layout {
    const char *name;       /* "ibm.1440" */
    Geometry geometry;
    int rateKbps;           /* data rate at rpm */
    int rpm;
    const char *notes;
    /* Cylinders the layout's disks come with too (the 40-track disks of a
     * layout named for 80, the 40-track disks of one named for 35), or 0:
     * a disk whose IDs name no more than the fewer of the two gets those. */
    int otherCylinders = 0;
    /* The IDs of both sides name head 0 (Acorn DFS writes them so). */
    bool headZeroBothSides = false;

    /* Data bytes of one revolution at the layout's rate and rpm. */
    int revolutionBytes() const { return rateKbps * 1000 / 8 * 60 / rpm; }
};

/* Every named layout, in the order `rawimage --format help` lists them. */
std::span<const Layout> layouts();

/* Whether two layouts have one shape: family, heads, sectors per track,
 * first sector number and sector size (cylinders aside). */
bool sameShape(const Geometry &a, const Geometry &b);

/* The layout of that name, or null. */
const Layout *findLayout(std::string_view name);

/* The named layout closest to `g`: of its family, heads, sectors per track,
 * first sector number and sector size, with the cylinders (or other
 * cylinders) nearest to g's (ties go to the table's first). `atari` prefers
 * the Atari ST's names where a PC layout has the same shape. Null when none
 * has that shape. */
const Layout *closestLayout(const Geometry &g, bool atari = false);

/* The table as text, one layout a line, with a heading. */
std::string layoutTable();

}

#endif
