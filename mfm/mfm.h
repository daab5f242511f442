/*
 * mfm.h -- the MFM codec library under rawscan.
 *
 * Reads raw MFM cell captures of IBM-format floppy tracks, finds and decodes
 * their sector fields at any bit position, reports what it read and writes
 * sector images; it also aligns tracks, encodes data back into MFM cells and
 * saves its buffers.
 *
 * Conventions of the operations declared here:
 *  - Everything works on fixed process-wide buffers (declared below) in one
 *    thread; calls must not overlap. (The library's other headers --
 *    scanner.h, recovery.h, sectormap.h, flux.h, pll.h, fluxcells.h,
 *    mappedfile.h -- keep no process-wide state and may be used from many
 *    threads.)
 *  - Every report goes to standard output. Operations return nothing or a
 *    small int; each one prints its own messages.
 *  - Cell stream layout: eight cells to a byte, the earliest cell in bit 7.
 *    A cell word is two bytes b0 b1 read as W = b0 * 256 + b1; its odd bits
 *    (15, 13, ..., 1) are clock cells, its even bits (14, 12, ..., 0) data
 *    cells, data bit k of the byte being W bit 2k.
 *
 * The storage of the buffers except `f` lives in the companion target
 * `mfm_buffers`, which every user of `mfm` links automatically.
 */
#ifndef MFM_MFM_H
#define MFM_MFM_H

#include <cstdint>
#include <cstdio>

/* ------------------------------------------------------------------------ */
/* Sizes and fixed cell words                                               */
/* ------------------------------------------------------------------------ */

constexpr uint32_t MFM_VERSION = 0x20200509;

constexpr int32_t TRACK_SLOT_SIZE = 65536;       /* bytes of one TrackSlot   */
constexpr int32_t SLOTS_PER_DRIVE = 128;         /* slots of one drive half  */
constexpr int32_t TRACKS = 80;                   /* tracks the tool reads    */
constexpr int32_t HEADS = 2;                     /* heads of the sector table */
constexpr int32_t SECTOR_IDS = 256;              /* sector numbers per head  */
constexpr int32_t SECTOR_SIZE = 512;             /* bytes of a data field    */
constexpr int32_t IMAGE_SECTORS = 18;            /* sectors 1..18 per head in images */
constexpr int32_t DBUFFER_SIZE = TRACK_SLOT_SIZE / 2;
constexpr int32_t DISK_SIZE = TRACK_SLOT_SIZE * SLOTS_PER_DRIVE;   /* 8 MiB */
constexpr int32_t DDISK_SIZE = DISK_SIZE / 2;                      /* 4 MiB */
/* Bytes of a raw capture that slots can address: both drive halves. */
constexpr int64_t CAPTURE_BYTES = int64_t(DISK_SIZE) * 2;          /* 16 MiB */

/* Sync word: A1 with the clock cell of data bit 2 missing (bytes 44 89). */
constexpr uint8_t SYNC_WORD[2] = {0x44, 0x89};
/* A1 cell word: A1 with ordinary clocking (bytes 44 A9). */
constexpr uint8_t A1_WORD[2] = {0x44, 0xA9};

constexpr uint8_t MARK_ID = 0xFE;
constexpr uint8_t MARK_DATA = 0xFB;

/* ------------------------------------------------------------------------ */
/* Shared buffers                                                           */
/* ------------------------------------------------------------------------ */

/* One slot of the sector table. `valid`: a data field followed an ID field
 * naming this slot on the current track. `good`: the copy stored here had
 * matching ID and data CRCs (a later copy replaces a good one only when it is
 * good too). The tool clears both flags before every track. */
struct SectorSlot {
    uint8_t valid;
    uint8_t good;
    uint8_t data[SECTOR_SIZE];
};

/* Disk geometry read from a FAT boot sector by decodeBootblock. */
struct BootRecord {
    uint64_t sectors;   /* total sectors                          */
    uint16_t tracks;    /* sectors / heads / spt, modulo 65,536    */
    uint16_t bps;       /* bytes per sector                        */
    uint16_t spt;       /* sectors per track                       */
    uint16_t heads;     /* heads                                   */
    uint8_t disktype;   /* media descriptor                        */
};

extern int verbose;                              /* tool's verbose flag of the track */
extern BootRecord boot;                          /* last boot sector geometry        */
extern SectorSlot sector[HEADS][SECTOR_IDS];     /* sector table [side][sector]      */
extern uint8_t dbuffer[DBUFFER_SIZE];            /* decoded track, the user's to fill */
extern uint8_t buffer[TRACK_SLOT_SIZE];          /* track buffer: one TrackSlot      */
extern uint8_t disk[DISK_SIZE];                  /* MFM disk image (cells)           */
extern uint8_t ddisk[DDISK_SIZE];                /* decoded disk image (data bytes)  */

/* Raw capture block: the loaded file's bytes (at most CAPTURE_BYTES) plus
 * one spare byte (heap, allocated by readMFMfile, released by the caller
 * with free()). */
extern uint8_t *f;
/* Number of leading bytes of `f` that hold file data: the file's size, at
 * most CAPTURE_BYTES, and fewer after a read error; slot bytes beyond it
 * read as zero. */
extern int64_t floaded;

/* ------------------------------------------------------------------------ */
/* Banner                                                                   */
/* ------------------------------------------------------------------------ */

/* Prints "<name> built using Quillon 20200509" and a newline. */
void printversion(const char *name);

/* ------------------------------------------------------------------------ */
/* Raw capture input                                                        */
/* ------------------------------------------------------------------------ */

/* Loads the raw capture file `name` into `f` and sets `floaded`. Only the
 * first CAPTURE_BYTES (16 MiB) can be addressed by slots, so no more is ever
 * kept: `f` holds min(size, 16 MiB) + 1 bytes.
 *  - Regular files and block devices are sized by seeking: prints
 *    "File-Size: %ld\n" with the real size, then reads what is kept.
 *  - Pipes, FIFOs and character devices are read to their end first (bytes
 *    past 16 MiB are counted, not kept, so an endless stream never ends and
 *    never grows); the size line then gives the bytes read.
 * When a read fails or the file ends early, prints "File read Error
 * (i=%ld)\n" with the index of the first byte not delivered and keeps what
 * was read; the run goes on. A file that cannot be opened, or a directory,
 * prints "File %s not found\n" and exits with status -1; a failed allocation
 * prints "Out of memory\n" and exits with status -1. Every failure also
 * prints its reason on standard error (printFileReason). */
void readMFMfile(const char *name);

/* Prints "<program>: <name>: <reason>\n" on standard error, after flushing
 * standard output: the line that gives the system's reason for a file
 * message printed on standard output. <program> is the name the process was
 * started by, without its directory. */
void printFileReason(const char *name, const char *reason);

/* Copies TrackSlot drive * 128 + track (65,536 bytes from file offset
 * slot * 65,536) into `buffer`. Only the low 8 bits of `drive` count. Bytes
 * that lie outside the loaded part of the capture are stored as zero; nothing
 * outside `f` is read. Prints nothing. */
void loadTrackSlot(uint8_t drive, int32_t track);

/* 1 when the whole slot of `drive` and `track` lies inside the loaded bytes,
 * else 0 (then loadTrackSlot supplies zero bytes for the missing part). */
int trackSlotLoaded(uint8_t drive, int32_t track);

/* ------------------------------------------------------------------------ */
/* Cell primitives and CRC                                                  */
/* ------------------------------------------------------------------------ */

/* Reads the cell word at `cells` (two bytes) and returns its data byte:
 * bit k of the result is W bit 2k. Clock cells play no part. */
uint8_t decode_byte(const uint8_t *cells);

/* Checks the clock cells of the cell word at `cells` against the MFM rule,
 * given the previous data bit (0, or non-zero meaning 1). Writes a 56-character
 * clock trace and its terminating zero into `trace` (at least 57 bytes):
 * "mfm <prev> .." then, per cell pair, its value 0..3 and "(ok0)", "(er0)",
 * "(ok1)" or "(er1)". Returns 1 when any pair breaks the rule, else 0. */
int check_byte(const uint8_t *cells, int prev, char *trace);

/* Moves bytes 0..length of `data`, read as one bit string, `bits` (0..8)
 * positions towards the start: byte i becomes (byte i << bits) | (top bits of
 * byte i + 1). Writes bytes 0..length-1; reads byte `length` but never writes
 * it. A length <= 0 or a bit count above 8 changes nothing. */
void shift(uint8_t *data, int32_t length, uint8_t bits);

/* As shift, for a range that ends at the end of its buffer: the byte after
 * the range counts as zero and is not read. */
void shift_end(uint8_t *data, int32_t length, uint8_t bits);

/* CRC-16/IBM-3740 (polynomial 0x1021, start 0xFFFF, no reflection, no final
 * XOR) of `length` bytes, computed bit by bit. Length 0 gives 0xFFFF. */
uint16_t crc16(const uint8_t *data, uint16_t length);

/* The same CRC from a 256-entry table; equal to crc16 for every input. */
uint16_t crc16_table(const uint8_t *data, uint16_t length);

/* ------------------------------------------------------------------------ */
/* Whole-track alignment                                                    */
/* ------------------------------------------------------------------------ */

/* Counts sync words (44 89) that start at even positions i < len - 2 of
 * `buf`. Prints "A1 %d\n" with the count and, for 1 to 215 of them, the line
 * "Only %d A1-Marks found (2*3*Sides*Sectorsperside==216 expected) - probably
 * bitshift inside Track". Returns 1 when it counted any, else 0. */
int checkshift(const uint8_t *buf, int32_t len);

/* Loads the slot into `buffer`, then shifts the whole buffer left one bit at a
 * time (zero bits enter at the end) until checkshift finds sync words:
 * prints "shift %d ok\n" with the shift count then, or "shift nicht ok" after
 * each failed round; gives up silently after 16 shifts. */
void copytrack(uint8_t drive, int32_t track);

/* ------------------------------------------------------------------------ */
/* Track analyser                                                           */
/* ------------------------------------------------------------------------ */

/* Decodes one track. Loads the slot of `drive` (low 8 bits) and `track` into
 * `buffer`, tests every bit offset for three cell words whose data cells read
 * A1 A1 A1 (through mfm::Scanner, scanner.h, with 512-byte data fields), and
 * prints one trace entry per sync sequence:
 *   "%03d: shift %d ok %04x -- a1 a1 a1 %02x: "
 * followed by "Track: %02d Side: %01d Sector: %02d Size: %01d " for ID marks
 * (FE), "Data Mark " for data marks (FB), or the line "unknown Mark"; marks
 * out of order carry "*** Unexpected Mark *** "; each field ends with
 * "crc ok" or "crc Error: <stored> -- <computed>". A data field that follows
 * an ID field is stored in sector[side][sector] (sides 0 and 1 only) and
 * flagged valid; a good copy (both CRCs matched) is not replaced by a bad
 * one. With `verbose_flag` non-zero each data field is also dumped as cell
 * words and as a hex dump, and the boot sector (ID 0/0/1) report is printed.
 * Cells beyond the end of `buffer` read as zero. `buffer` holds the slot
 * unchanged on return. */
void analyse_track(int drive, int track, int verbose_flag);

/* ------------------------------------------------------------------------ */
/* Boot sector                                                              */
/* ------------------------------------------------------------------------ */

/* Reads bytes 11..35 of the FAT boot sector `bs` into `rec` (bps, total
 * sectors from the 16-bit count or else the 32-bit count, media byte, spt,
 * heads; tracks = sectors / heads / spt when both are non-zero, else kept).
 * Nothing is validated and nothing is printed. */
void readBootblock(const uint8_t *bs, BootRecord *rec);

/* readBootblock, then prints the geometry as the report
 * "\n*** Bootsector Info ****\n\n", "Disktype=%04x", "bps=0x%04x", "spt=%d",
 * "heads=%d", "sectors=%ld", "tracks=%d", "\n*** End Bootsector Info ****". */
void decodeBootblock(const uint8_t *bs, BootRecord *rec);

/* ------------------------------------------------------------------------ */
/* Reports and sector image                                                 */
/* ------------------------------------------------------------------------ */

/* Hex and text dump, 32 bytes a line: "%02x " per byte, then " -- " and the
 * text column (0x20..0x7E as themselves, others "."); a last partial line has
 * its hex groups only; one newline ends the dump. */
void hexdump(const uint8_t *data, int32_t length);

/* Prints the sector status table of sectors 1..18 of both heads, framed by
 * "############ Info Track %d ################" lines. */
void dumpTrackStatus(int32_t track);

/* Appends the valid sectors 1..18 of head 0, then head 1, to `image`; prints
 * "** Head %d - Sector %d invalid **" for every other one. Once the stream
 * has an error it writes nothing more (the caller checks ferror/fclose). */
void dumpTrack(FILE *image);

/* Hex dumps every valid sector 1..18 of both heads; names invalid ones. */
void hexdumpTrack();

/* ------------------------------------------------------------------------ */
/* Track formatter                                                          */
/* ------------------------------------------------------------------------ */

/* Geometry of a sector image: cylinders, heads and sectors of 512 bytes per
 * track, stored cylinder by cylinder, head 0 then head 1, sectors from 1. */
struct DiskGeometry {
    uint16_t tracks;
    uint16_t heads;
    uint16_t spt;
};

/* The image sizes imageGeometry knows without a boot sector. */
struct StandardImage {
    int64_t size;
    DiskGeometry geometry;
};
inline constexpr StandardImage STANDARD_IMAGES[] = {
    {737280, {80, 2, 9}},
    {819200, {80, 2, 10}},
    {1474560, {80, 2, 18}},
};

/* Chooses the geometry of the sector image `image` of `size` bytes: 737,280,
 * 819,200 and 1,474,560 bytes are 80 x 2 x 9, 10 and 18 sectors; any other
 * size takes the boot sector's geometry (readBootblock) when it has 512 bytes
 * per sector, 1 or 2 heads, 1 to 18 sectors per track, 1 to 80 tracks, and
 * tracks x heads x spt x 512 equals `size`. Returns 1 and fills `geometry`
 * when the image can be formatted, else 0. Prints nothing. */
int imageGeometry(const uint8_t *image, int64_t size, DiskGeometry *geometry);

/* Lays out `image` (geometry->tracks x heads x spt x 512 bytes) as IBM MFM
 * tracks in `ddisk`, one cylinder per 32,768-byte stretch: head 0's track
 * from the start of the stretch, head 1's one revolution later, gap bytes
 * (4E) everywhere else, also in the stretches of unused cylinders.
 * A track is one revolution at 300 rpm: 6,250 bytes at 250 kbit/s (up to 10
 * sectors) or 12,500 bytes at 500 kbit/s (11 to 18 sectors):
 *   gap 4a 80 x 4E, 12 x 00, C2 C2 C2 FC, gap 1 50 x 4E, then per sector
 *   12 x 00, A1 A1 A1 FE, C H R N=2, CRC, gap 2 22 x 4E,
 *   12 x 00, A1 A1 A1 FB, 512 bytes, CRC, gap 3,
 *   and 4E to the end of the revolution.
 * Gap 3 is 84 bytes at 500 kbit/s and 80 at 250 kbit/s, shortened where the
 * sectors would not fit otherwise (36 bytes for 10 sectors). The A1 bytes are
 * ordinary data here: encodeDisk then syncDisk give them their missing clock.
 * Returns 1, or 0 without touching `ddisk` for a geometry outside 1..128
 * tracks, 1..2 heads, 1..18 sectors. Prints nothing. */
int formatDisk(const uint8_t *image, const DiskGeometry *geometry);

/* ------------------------------------------------------------------------ */
/* Savers, sync rewriting and encoder                                       */
/* ------------------------------------------------------------------------ */

/* Each writes its whole buffer to the file `name` (created or truncated):
 * buffer 65,536, dbuffer 32,768, disk 8,388,608, ddisk 4,194,304 bytes.
 * Prints "File %s cannot be created\n" (and writes nothing) when the file
 * cannot be opened, or "File %s write error\n" when a write or the close
 * failed, each with its reason on standard error (printFileReason); nothing
 * on success. A file that could not be written whole is removed when it is a
 * regular file. */
void saveTrack(const char *name);
void saveDecodeTrack(const char *name);
void saveDisk(const char *name);
void saveDecodeDisk(const char *name);

/* Removes the file `name` when it is a regular file (not a device, pipe or
 * directory): what is left of an output that could not be written whole. */
void removePartial(const char *name);

/* Turns every run of three A1 cell words (44 A9 44 A9 44 A9) in `disk`, at
 * any byte position, into three sync words (44 89 ...), from the start of a
 * run three words at a time. */
void syncDisk();

/* Encodes all of `ddisk` into `disk` by the MFM rule as one continuous cell
 * stream (the cell before the first counts as 0). Writes no sync words. */
void encodeDisk();

#endif
