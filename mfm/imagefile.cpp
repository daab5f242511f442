// Sector image files that keep more than the bytes: ImageDisk and MSA.
#include "mfm/imagefile.h"
#include "mfm/pll.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace mfm {

namespace {

// ImageDisk
constexpr std::string_view IMD_SIGNATURE = "IMD 1.18: ";
constexpr std::string_view LINE_END = "\r\n";
constexpr uint8_t IMD_COMMENT_END = 0x1A;
constexpr uint8_t IMD_MODE_500K = 3, IMD_MODE_300K = 4, IMD_MODE_250K = 5;   // MFM at each rate
constexpr uint8_t IMD_FM = 3;   // FM's mode at a rate: MFM's less this
constexpr uint8_t IMD_CYLINDER_MAP = 0x80, IMD_HEAD_MAP = 0x40;               // flags of the head byte
constexpr uint8_t IMD_MAX_SIZE_CODE = 6;                                      // 8,192 bytes
// Record types: unavailable, then normal data plus what is true of it.
constexpr uint8_t IMD_UNAVAILABLE = 0, IMD_NORMAL = 1;
constexpr uint8_t IMD_COMPRESSED = 1, IMD_DELETED = 2, IMD_DATA_ERROR = 4;
// What a 250 kbit/s track holds at 300 rpm; a track with more data is a
// 500 kbit/s one.
constexpr int64_t DD_TRACK_BYTES = 6250;

// Magic Shadow Archiver
constexpr uint16_t MSA_SIGNATURE = 0x0E0F;
constexpr uint8_t MSA_RUN = 0xE5;
constexpr size_t MSA_RUN_BYTES = 4;    // a coded run's length: longer runs are coded
// The layouts Hatari reads: tracks 0 to 86 of 1 or 2 sides, 1 to 56 sectors
// of 512 bytes, and 4,096 bytes at least in all.
constexpr Geometry MSA_SMALLEST{1, 1, 1, 512}, MSA_LARGEST{87, 2, 56, 512};
constexpr int64_t MSA_LEAST_SECTORS = 8;

ByteSink gatherInto(std::vector<uint8_t> &out)
{
    return [&out](std::span<const uint8_t> piece) { out.insert(out.end(), piece.begin(), piece.end()); };
}

void putWord(std::vector<uint8_t> &out, unsigned v)   // 16 bits, big-endian
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

// The header line and the comment, lines ended by CR LF, the comment's end
// byte in them as '?', and the end byte.
std::string imdHeader(std::string_view text)
{
    std::string out;
    for (const char ch : text) {
        if (ch == '\n')
            out += LINE_END;
        else
            out += uint8_t(ch) == IMD_COMMENT_END ? '?' : ch;
    }
    return out + char(IMD_COMMENT_END);
}

std::string inputLine(const InputInfo &in)
{
    return "Input: " + in.file + " (" + in.kind + (in.drive.empty() ? "" : ", drive " + in.drive) + ")\n";
}

// The value most often seen (on a tie the smallest), or 0 when none was.
int mostCommon(const std::map<int, int> &counts)
{
    int best = 0, seen = 0;
    for (const auto &[value, n] : counts)
        if (n > seen)
            best = value, seen = n;
    return best;
}

// Adds the data rates of the reads that gave `sectors`' copies to `rates`,
// and their encodings to `fm` (reads in FM less those in MFM).
void countRates(std::span<const RecoveredSector> sectors, std::map<int, int> &rates, int &fm)
{
    for (const RecoveredSector &s : sectors) {
        if (s.read && (s.read->rate == RATE_250K || s.read->rate == RATE_300K || s.read->rate == RATE_500K))
            rates[s.read->rate]++;
        if (s.read)
            fm += s.read->fm ? 1 : -1;
    }
}

// The mode of a track: its rate as a controller names it (an FM track's
// cells are those of MFM at that rate) and its encoding.
uint8_t imdMode(int rate, bool fm)
{
    const uint8_t mfm = rate == RATE_500K ? IMD_MODE_500K : rate == RATE_300K ? IMD_MODE_300K : IMD_MODE_250K;
    return uint8_t(fm ? mfm - IMD_FM : mfm);
}

uint8_t imdSizeCode(int bytes)
{
    for (uint8_t code = 0; code <= IMD_MAX_SIZE_CODE; code++)
        if (128 << code == bytes)
            return code;
    throw std::invalid_argument("an ImageDisk file holds sectors of 128 to 8192 bytes, not " + std::to_string(bytes));
}

// The numbers of the track's sectors in the order `r` first holds them:
// from its first index pulse on, then what came before it.
// (as indices from the track's first sector number `first`).
std::vector<int> orderIn(const TrackRead &r, int cylinder, int head, int first, int sectors)
{
    std::vector<int> order;
    std::vector<bool> seen(static_cast<size_t>(sectors));
    for (const bool beforeIndex : {false, true})
        for (const SectorCopy &c : r.copies) {
            const int k = c.sector - first;
            if ((c.revolution == 0) == beforeIndex && c.cylinder == cylinder && c.head == head && k >= 0 &&
                k < sectors && !seen[size_t(k)]) {
                seen[size_t(k)] = true;
                order.push_back(k);
            }
        }
    return order;
}

// The track's sectors (indices into `track`, sector s at s - first) in the
// order they lie on it, as far as the read that holds most of them shows;
// the rest by number.
std::vector<size_t> trackOrder(std::span<const RecoveredSector> track, int cylinder, int head, int first)
{
    const int sectors = int(track.size());
    std::vector<int> order;
    const TrackRead *last = nullptr;   // sectors mostly come from one read
    for (const RecoveredSector &s : track)
        if (s.read && s.read != last) {
            last = s.read;
            std::vector<int> o = orderIn(*s.read, cylinder, head, first, sectors);
            if (o.size() > order.size())
                order = std::move(o);
        }
    std::vector<bool> listed(static_cast<size_t>(sectors));
    std::vector<size_t> indices;
    for (const int k : order)
        listed[size_t(k)] = true, indices.push_back(size_t(k));
    for (int k = 0; k < sectors; k++)
        if (!listed[size_t(k)])
            indices.push_back(size_t(k));
    return indices;
}

void putImdTrack(std::vector<uint8_t> &out, const Recovery &rec, size_t first, int cylinder, int head, int diskRate,
                 bool diskFm, uint8_t sizeCode)
{
    const Geometry &g = rec.geometry;
    const std::span<const RecoveredSector> track(rec.sectors.data() + first, size_t(g.sectors));
    const std::vector<size_t> order = trackOrder(track, cylinder, head, g.first);
    bool otherCylinder = false, otherHead = false;
    for (const RecoveredSector &s : track) {
        otherCylinder |= s.copy && s.copy->cylinder != cylinder;
        // A disk whose IDs name head 0 on both sides (Acorn DFS) gets no
        // head map: readers find the sectors of side 1 by its head, and the
        // comment says what the IDs name.
        otherHead |= s.copy && s.copy->head != head && !(rec.sidesByRead && s.copy->head == 0);
    }
    std::map<int, int> rates;
    int fm = 0;
    countRates(track, rates, fm);
    const int rate = mostCommon(rates);

    out.push_back(imdMode(rate ? rate : diskRate, fm ? fm > 0 : diskFm));
    out.push_back(uint8_t(cylinder));
    out.push_back(uint8_t(head | (otherCylinder ? IMD_CYLINDER_MAP : 0) | (otherHead ? IMD_HEAD_MAP : 0)));
    out.push_back(uint8_t(g.sectors));
    out.push_back(sizeCode);
    for (const size_t i : order)
        out.push_back(uint8_t(track[i].sector));
    if (otherCylinder)
        for (const size_t i : order)
            out.push_back(track[i].copy ? track[i].copy->cylinder : uint8_t(cylinder));
    if (otherHead)
        for (const size_t i : order)
            out.push_back(track[i].copy ? track[i].copy->head : uint8_t(head));

    const size_t bytes = size_t(g.bytes);
    for (const size_t i : order) {
        const RecoveredSector &s = track[i];
        if (s.status == SectorStatus::missing) {
            out.push_back(IMD_UNAVAILABLE);
            continue;
        }
        const uint8_t *data = rec.image.data() + (first + i) * bytes;
        const bool same = std::all_of(data, data + bytes, [&](uint8_t b) { return b == data[0]; });
        out.push_back(uint8_t(IMD_NORMAL + (same ? IMD_COMPRESSED : 0) + (s.copy && s.copy->deleted ? IMD_DELETED : 0) +
                              (s.status != SectorStatus::good ? IMD_DATA_ERROR : 0)));
        out.insert(out.end(), data, data + (same ? 1 : bytes));
    }
}

// A track's bytes, run-length coded; bytes that stand for themselves are
// copied a stretch at a time.
void putMsaCoded(std::vector<uint8_t> &out, std::span<const uint8_t> track)
{
    size_t literal = 0;   // start of the bytes not yet copied
    for (size_t i = 0, run; i < track.size(); i += run) {
        const uint8_t b = track[i];
        for (run = 1; i + run < track.size() && track[i + run] == b;)
            run++;
        if (b == MSA_RUN || run > MSA_RUN_BYTES) {
            out.insert(out.end(), track.begin() + ptrdiff_t(literal), track.begin() + ptrdiff_t(i));
            out.push_back(MSA_RUN);
            out.push_back(b);
            putWord(out, unsigned(run));
            literal = i + run;
        }
    }
    out.insert(out.end(), track.begin() + ptrdiff_t(literal), track.end());
}
}

ImageFormat imageFormatOf(std::string_view path)
{
    const size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    std::string ext(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    for (char &ch : ext)
        ch = char(tolower(static_cast<unsigned char>(ch)));
    return ext == "imd"   ? ImageFormat::imd
           : ext == "msa" ? ImageFormat::msa
           : ext == "adf" ? ImageFormat::adf
           : ext == "ssd" ? ImageFormat::ssd
           : ext == "dsd" ? ImageFormat::dsd
                          : ImageFormat::plain;
}

std::string imageRefusal(ImageFormat f, const Recovery &rec)
{
    const Geometry &g = rec.geometry;
    const std::string disk = std::string("an ") + familyTitle(g.family) + " disk" +
                             (rec.layout ? std::string(" (") + rec.layout->name + ")" : "");
    switch (f) {
    case ImageFormat::imd:
        if (sectorFamily(g.family) != Family::ibm)
            return "ImageDisk holds IBM-format sectors only, not " + disk;
        return "";
    case ImageFormat::msa:
        if (g.family != Family::ibm || g.first != 1)
            return "MSA holds Atari ST layouts only, not " + disk;
        return msaRefusal(g);
    case ImageFormat::adf:
        if (g.family != Family::amiga)
            return "an .adf holds AmigaDOS disks only, not " + disk;
        return "";
    case ImageFormat::ssd:
    case ImageFormat::dsd: {
        // The BBC Micro's images: its DFS track, one side or both.
        const int heads = f == ImageFormat::ssd ? 1 : 2;
        const Geometry &dfs = findLayout(heads == 1 ? "acorn.dfs.ss" : "acorn.dfs.ds")->geometry;
        if (!sameShape(g, dfs))
            return std::string(heads == 1 ? "an .ssd holds single-sided" : "a .dsd holds double-sided") +
                   " Acorn DFS disks only (10 sectors of 256 bytes from 0, " + (heads == 1 ? "one side" : "two sides") +
                   "), not " + disk;
        return "";
    }
    case ImageFormat::plain:
        break;
    }
    return "";
}

void writeImd(const Recovery &rec, std::span<const InputInfo> inputs, std::string_view program,
              std::string_view date, const ByteSink &sink)
{
    const Geometry &g = rec.geometry;
    const uint8_t sizeCode = imdSizeCode(g.bytes);
    std::string text = std::string(IMD_SIGNATURE) + std::string(date) + "\nWritten by " + std::string(program) +
                       " on " + std::string(date) + "\n";
    for (const InputInfo &in : inputs)
        text += inputLine(in);
    const std::string header = imdHeader(text + geometryText(rec) + summaryLine(rec));
    sink({reinterpret_cast<const uint8_t *>(header.data()), header.size()});

    std::map<int, int> rates;
    int fm = 0;
    countRates(rec.sectors, rates, fm);
    const bool diskFm = fm ? fm > 0 : g.family == Family::fm;
    int diskRate = mostCommon(rates);
    if (!diskRate)   // FM holds half as many bytes at a rate
        diskRate = int64_t(g.sectors) * g.bytes * (diskFm ? 2 : 1) > DD_TRACK_BYTES ? RATE_500K : RATE_250K;
    std::vector<uint8_t> track;
    size_t first = 0;
    for (int c = 0; c < g.cylinders; c++)
        for (int h = 0; h < g.heads; h++, first += size_t(g.sectors)) {
            track.clear();
            putImdTrack(track, rec, first, c, h, diskRate, diskFm, sizeCode);
            sink(track);
        }
}

std::vector<uint8_t> imdImage(const Recovery &rec, std::span<const InputInfo> inputs, std::string_view program,
                              std::string_view date)
{
    std::vector<uint8_t> out;
    writeImd(rec, inputs, program, date, gatherInto(out));
    return out;
}

std::string msaRefusal(const Geometry &g)
{
    const Geometry &lo = MSA_SMALLEST, &hi = MSA_LARGEST;
    if (g.cylinders >= lo.cylinders && g.cylinders <= hi.cylinders && g.heads >= lo.heads && g.heads <= hi.heads &&
        g.sectors >= lo.sectors && g.sectors <= hi.sectors && g.bytes == lo.bytes &&
        g.sectorCount() >= MSA_LEAST_SECTORS)
        return "";
    return "MSA holds Atari ST layouts only (" + std::to_string(lo.cylinders) + " to " + std::to_string(hi.cylinders) +
           " cylinders, 1 or 2 heads, " + std::to_string(lo.sectors) + " to " + std::to_string(hi.sectors) +
           " sectors of 512 bytes, at least " + std::to_string(MSA_LEAST_SECTORS) + " sectors in all), not " +
           std::to_string(g.cylinders) + " cylinders, " + std::to_string(g.heads) + " heads, " +
           std::to_string(g.sectors) + " sectors of " + std::to_string(g.bytes) + " bytes";
}

void writeMsa(const Recovery &rec, const ByteSink &sink)
{
    const Geometry &g = rec.geometry;
    if (const std::string why = imageRefusal(ImageFormat::msa, rec); !why.empty())
        throw std::invalid_argument(why);
    std::vector<uint8_t> out;
    for (const int word : {int(MSA_SIGNATURE), g.sectors, g.heads - 1, 0, g.cylinders - 1})
        putWord(out, unsigned(word));
    sink(out);
    const size_t trackBytes = size_t(g.sectors) * size_t(g.bytes);
    std::vector<uint8_t> coded;
    for (size_t at = 0; at < rec.image.size(); at += trackBytes) {
        const std::span<const uint8_t> track(rec.image.data() + at, trackBytes);
        coded.clear();
        putMsaCoded(coded, track);
        const std::span<const uint8_t> stored = coded.size() < trackBytes ? std::span<const uint8_t>(coded) : track;
        out.clear();
        putWord(out, unsigned(stored.size()));
        out.insert(out.end(), stored.begin(), stored.end());
        sink(out);
    }
}

std::vector<uint8_t> msaImage(const Recovery &rec)
{
    std::vector<uint8_t> out;
    writeMsa(rec, gatherInto(out));
    return out;
}

}
