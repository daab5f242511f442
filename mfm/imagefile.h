/*
 * imagefile.h -- sector image files that keep more than the bytes: the
 * ImageDisk (.imd) file, which keeps each sector's status, deleted-data
 * mark, ID and place on the track, and the Magic Shadow Archiver (.msa)
 * file of Atari ST disks, which keeps the bytes compressed. The plain image
 * is Recovery::image itself.
 *
 * Every function takes values and returns or hands over bytes; none prints,
 * reads the clock or keeps state.
 *
 * ImageDisk, as written here:
 *  - the header line "IMD 1.18: DATE" and a comment (the program, the date,
 *    each input, the layout and the summary line), lines ended by CR LF, the
 *    whole ended by 0x1A; any 0x1A in a name is written as '?';
 *  - one track record for every cylinder and head of the layout, cylinder by
 *    cylinder, head 0 then head 1, each with the layout's sector count (a
 *    track of which nothing was read has every sector unavailable);
 *  - the mode byte: the encoding (FM or MFM) of most reads that gave the
 *    track's copies, at the data rate of those reads (the most common among
 *    them) as a controller names it (FM at 125 kbit/s is mode 2, "250 kbit/s
 *    FM"; the 8-inch disk's 250 kbit/s FM is mode 0); a track none of whose
 *    copies came from a read with a known rate (raw captures, or nothing
 *    read) takes the disk's most common known rate, and a disk with none at
 *    all 500 kbit/s when a track's sectors hold more than a 250 kbit/s track
 *    at 300 rpm (6,250 bytes of MFM: 13 sectors of 512 or more, 7 of 1,024;
 *    half as many of FM), 250 kbit/s otherwise; a track with no copy takes
 *    the disk's encoding;
 *  - the sector numbering map in the order the sectors lie on the track: the
 *    order in which they first appear in one read (from its first index
 *    pulse on, for flux) -- of the reads that gave the track's chosen
 *    copies, the one holding copies of most of its sectors -- then those
 *    that read does not hold, by number; a cylinder map (head byte
 *    bit 7) when a chosen copy's ID names another cylinder than its track,
 *    a head map (bit 6) when one names another head (not for side 1's
 *    sectors naming head 0 on a disk whose IDs name head 0 on both sides,
 *    Recovery::sidesByRead: readers such as libdsk would then find no
 *    sector of side 1; the comment says it);
 *  - per sector its record: unavailable for a missing sector; for the
 *    others the image's bytes (the filler never, the byte-wise vote of bad
 *    copies where there was one), compressed to one byte when all are
 *    equal, marked deleted when the chosen copy had a deleted-data mark,
 *    and marked as read with a data error unless the sector is good (a
 *    crc error, or a conflict between good copies: neither is trusted).
 * Sector sizes 128 to 8,192 bytes (size codes 0 to 6); writeImd and
 * imdImage throw std::invalid_argument for any other, before anything
 * reaches the sink.
 *
 * Magic Shadow Archiver, as written here: the header (0x0E0F, sectors per
 * track, sides - 1, first track 0, last track), then per cylinder and side
 * the track's sectors run-length coded (a literal 0xE5 and any run longer
 * than four bytes as E5 BYTE COUNT), kept plain when coding does not make
 * the track shorter. Missing sectors carry the filler, as in the plain
 * image: MSA has no place for a status. Only layouts Hatari reads are
 * written: 1 to 87 cylinders, 1 or 2 heads, 1 to 56 sectors of 512 bytes,
 * at least 8 sectors (4,096 bytes) in all.
 */
#ifndef MFM_IMAGEFILE_H
#define MFM_IMAGEFILE_H

#include "mfm/recovery.h"
#include "mfm/sectormap.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mfm {

enum class ImageFormat { plain, imd, msa, adf, ssd, dsd };

/* The format a path's extension names, in any case: ".imd" ImageDisk,
 * ".msa" Magic Shadow Archiver, ".adf" the Amiga's disk file (the plain
 * image of an AmigaDOS disk), ".ssd" and ".dsd" the BBC Micro's (the plain
 * image of an Acorn DFS disk, one side or both: track by track, side 0 then
 * side 1), anything else (".st", ".img", none) the plain image. Only the
 * last part of the path counts. */
ImageFormat imageFormatOf(std::string_view path);

/* Why a recovery cannot be written in format `f` (ImageDisk and MSA hold
 * IBM-format disks, FM or MFM, MSA only Atari ST layouts, an .adf only
 * AmigaDOS disks, an .ssd or .dsd only Acorn DFS disks of its sides), or an
 * empty string when it can. */
std::string imageRefusal(ImageFormat f, const Recovery &rec);

/* Takes a file's bytes piece by piece, in order (a piece of the header,
 * then one per track); a piece lasts only as long as the call. The writers
 * below hand their files over so, so that a whole second image need not be
 * held in memory; imdImage and msaImage gather the pieces into one. */
using ByteSink = std::function<void(std::span<const uint8_t>)>;

/* The ImageDisk file of a recovery. `program` names the writer and its
 * version ("rawimage 1.0.0"), `date` is "dd/mm/yyyy hh:mm:ss", `inputs` as
 * for jsonReport. The recovery's reads must still exist. */
void writeImd(const Recovery &rec, std::span<const InputInfo> inputs, std::string_view program,
              std::string_view date, const ByteSink &sink);
std::vector<uint8_t> imdImage(const Recovery &rec, std::span<const InputInfo> inputs, std::string_view program,
                              std::string_view date);

/* Why a layout cannot be written as an MSA file ("MSA holds ..."), or an
 * empty string when it can. */
std::string msaRefusal(const Geometry &g);

/* The MSA file of a recovery; both throw std::invalid_argument, before
 * anything reaches the sink, when msaRefusal has a reason. */
void writeMsa(const Recovery &rec, const ByteSink &sink);
std::vector<uint8_t> msaImage(const Recovery &rec);

}

#endif
