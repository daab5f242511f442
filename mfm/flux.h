/*
 * flux.h -- readers of flux capture files: SuperCard Pro images (.scp) and
 * KryoFlux stream sets (NAMEcc.h.raw, one file per track).
 *
 * A flux file holds, per track, the times between magnetic transitions in
 * ticks of a sample clock, over one or more revolutions, and the times of
 * the index pulses. The readers keep no process-wide state: a FluxFile may be
 * read from several threads at once (readTrack is const).
 *
 * Every offset, count and size is checked against the file before it is
 * used; a file that does not hold what it claims raises FluxError, whose
 * message names the file and what is wrong, for example
 *   "disk.scp: track 12 revolution 2 data runs past the end of the file".
 */
#ifndef MFM_FLUX_H
#define MFM_FLUX_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace mfm {

/* A flux file that cannot be read; what() is "<file>: <what is wrong>". */
class FluxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/* The sample clock of KryoFlux streams that state no `sck=`:
 * 18,432,000 x 73 / 14 / 2 / 2 Hz (about 24,027,428.57 Hz). */
constexpr double KRYOFLUX_SAMPLE_HZ = 18432000.0 * 73.0 / 14.0 / 2.0 / 2.0;
/* SCP's sample period is 25 ns x (resolution byte + 1). */
constexpr double SCP_BASE_HZ = 40e6;

/* One track's flux: every revolution the file holds, one after another, as
 * one stream of intervals. */
struct FluxTrack {
    int cylinder = 0;                 /* physical cylinder as the file numbers it */
    int head = 0;                     /* 0 or 1 */
    double sampleHz = 0;              /* ticks per second of `intervals` */
    std::vector<uint32_t> intervals;  /* ticks from one transition to the next */
    /* Index pulses, ascending: the pulse came during interval index[i] (an
     * index equal to intervals.size() is a pulse after the last transition).
     * The revolution of interval j is the number of pulses at or before j:
     * flux ahead of the first pulse is revolution 0 (partial), the flux
     * between the first and second pulse revolution 1, and so on. */
    std::vector<size_t> index;
};

/* The kind of a file, judged by its content. */
enum class FluxKind { none, scp, kryoflux };

/* Looks at the first bytes of a file (at least 4; the whole file will do):
 * "SCP" is an SCP image; a stream that begins with a well-formed KryoFlux OOB
 * block (a known type, a plausible size, printable information text) is a
 * KryoFlux stream file. Anything else is `none` (for example a raw cell
 * capture). */
FluxKind fluxKind(std::span<const uint8_t> head);

/* What a file that is not a capture looks like, so that a message can name
 * it: files of other formats, which the readers here do not read. Disk and
 * flux images of other programs by their magic bytes (HFE, IPF, A2R, CPC
 * DSK, ImageDisk, MSA, Teledisk; a D88 image by a header whose disk size is
 * the file's), a zip archive (one that holds KryoFlux stream files, by the
 * names in its central directory), or a sector image (a length that common
 * floppy images have, or a boot sector whose sector size and count give the
 * length). `bytes` are the file's first bytes (at least the first 0x24; the
 * whole file for a zip's directory), `size` its length. */
enum class ForeignKind {
    unknown,
    sectorImage,
    zip,
    kryofluxZip,
    hfe,       /* HxC floppy emulator image */
    ipf,       /* SPS/CAPS preservation image */
    a2r,       /* Applesauce flux image */
    edsk,      /* Extended CPC DSK */
    dsk,       /* CPC DSK of the first kind (CPCEMU) */
    imageDisk, /* ImageDisk .imd */
    msa,       /* Magic Shadow Archiver (Atari ST) */
    d88,       /* D88 / D77 (PC-88, PC-98, FM-7) */
    teledisk,  /* Teledisk .td0 */
};
ForeignKind foreignKind(std::span<const uint8_t> bytes, uint64_t size);
/* The phrase a message uses for a kind, e.g. "an HFE image", "a zip
 * archive"; "" for `unknown`. */
const char *foreignName(ForeignKind kind);

/* Whether `path` is a folder holding KryoFlux stream files (a name that ends
 * in cc.h.raw and is no folder itself): FluxKind::kryoflux, which FluxFile
 * opens as the set in it; FluxKind::none for anything else, a folder that
 * cannot be listed too. Never throws; the stream files are not read. */
FluxKind folderFluxKind(const std::string &path);

/* An opened flux file: an SCP image, or the whole KryoFlux stream set that
 * one of its file names belongs to (track00.0.raw finds track00.0.raw ...
 * track83.1.raw beside it, whatever the prefix before the numbers) or that a
 * folder holds. Every stream file of a set must be a regular file (a FIFO
 * among them is refused, never waited on). */
class FluxFile {
public:
    struct TrackRef {
        int cylinder;
        int head;
    };

    /* Opens `path` and reads its header and track table (SCP; the file is
     * mapped or read as MappedFile does, its checksum checked) or finds its set (KryoFlux: the name must
     * end in cc.h.raw; the stream files are read later, one per readTrack).
     * A folder is opened as the KryoFlux set in it: the files whose names end
     * in cc.h.raw, which must share one prefix (FluxError when there are
     * none or several sets); its first stream file must be a KryoFlux stream,
     * and path() stays the folder's name.
     * Throws FluxError when the file cannot be read or is not a flux file.
     * An SCP image of more than 512 MiB, or a stream file of more than
     * 64 MiB, is not read past its limit: FluxError, however it is given
     * (a pipe or /dev/zero too); a stream file of a set that is not a
     * regular file (a FIFO) is a FluxError, and never waited on. */
    explicit FluxFile(const std::string &path);
    ~FluxFile();
    FluxFile(FluxFile &&) noexcept;
    FluxFile &operator=(FluxFile &&) noexcept;

    FluxKind kind() const;
    const std::string &path() const;
    /* The tracks the file holds, ordered by cylinder then head. */
    const std::vector<TrackRef> &tracks() const;
    /* Reads track `i` of tracks() into `out` (its vectors are reused), as
     * readScpTrack or readKryofluxStream does; out.cylinder and out.head are
     * those of tracks()[i]. An SCP track whose revolutions are all empty
     * (nothing was captured) gives no intervals and no index pulses. Throws
     * FluxError when `i` is out of range or the track's data is not sound. */
    void readTrack(size_t i, FluxTrack &out) const;
    /* Non-fatal remarks found while opening, e.g. a wrong SCP checksum. */
    const std::vector<std::string> &warnings() const;
    /* Every file the flux is read from: the SCP image, or each stream file
     * of the KryoFlux set (the name given is one of them). */
    std::vector<std::string> files() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/* Lower-level readers over bytes in memory (also what the fuzz targets
 * call); `name` is used in messages only. Both replace all of `out`.
 *
 * readScpTrack: the track at table index `track` (normally cylinder * 2 +
 * head) of an SCP image. Returns false when the image holds no such track
 * (or only revolutions with no flux). The revolutions follow one another in
 * out.intervals; a 0 entry adds 65,536 ticks to the next interval, even
 * across revolutions; revolutions with no entries at the end are ignored.
 * out.index: an index-cued image has a pulse where each revolution starts
 * (the first at 0) and one after the last; otherwise the first of several
 * revolutions is partial (no pulse before it) and a pulse ends each one. A
 * lone revolution counts as whole: pulses at 0 and at its end.
 * out.cylinder/head: track / 2 and track % 2, except in a single-sided image
 * (heads byte 1 or 2) whose table uses the other head's numbers too: its
 * writer numbered the tracks consecutively, so the cylinder is `track` and
 * the head the one the header names. out.sampleHz: 40 MHz / (resolution
 * byte + 1). The file checksum is not checked here (FluxFile does). */
bool readScpTrack(std::span<const uint8_t> image, const std::string &name, int track, FluxTrack &out);
/* scpTrackNumbers: the table indices of the tracks an SCP image lists,
 * ascending (whether their data is sound shows when they are read). Throws
 * FluxError when the header or the track table is not sound. */
std::vector<int> scpTrackNumbers(std::span<const uint8_t> image, const std::string &name);
/* readKryofluxStream: one stream file, all of it, up to its end-of-file
 * block. out.index maps each index block's stream position to the interval
 * during which the pulse came (the first interval whose bytes end past that
 * position; out.intervals.size() when none does); index blocks may come late
 * in the file. out.sampleHz is the information block's sck= or
 * KRYOFLUX_SAMPLE_HZ (an sck= or ick= outside 1 MHz to 1 GHz, or not a
 * number, is a FluxError); out.cylinder and out.head are set to 0 (the file's
 * name tells them; FluxFile fills them in). Throws FluxError when a block
 * runs past the end, a stream information or stream end block disagrees
 * with the reader's stream position (or reports a device error), index
 * positions go backwards or past the end, an interval exceeds 32 bits, or
 * the stream holds no transition. A stream with no index pulse (a drive
 * that gave none) is read whole as flux of unknown revolutions. */
void readKryofluxStream(std::span<const uint8_t> stream, const std::string &name, FluxTrack &out);

}

#endif
