// Readers of flux capture files: SuperCard Pro images and KryoFlux stream
// sets. Every read of the file goes through a bounds check first; a file that
// does not hold what it claims raises FluxError naming the file.
#include "mfm/flux.h"
#include "mfm/mappedfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace mfm {
namespace {

/* Both formats add this many ticks for an overflow mark (SCP 0, KryoFlux Ovl16). */
constexpr uint64_t OVERFLOW_TICKS = 65536;
/* The most bytes read of an SCP image (the largest real ones, 168 tracks of
 * five HD revolutions, are some 200 MB) and of one KryoFlux stream file. */
constexpr uint64_t SCP_LIMIT = uint64_t(512) << 20;
constexpr uint64_t STREAM_LIMIT = uint64_t(64) << 20;
/* The longest interval a FluxTrack holds. */
constexpr uint64_t MAX_INTERVAL = std::numeric_limits<uint32_t>::max();

[[noreturn]] void fail(const std::string &name, const std::string &what)
{
    throw FluxError(name + ": " + what);
}

uint32_t le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

/* Adds one overflow mark to an interval under way; an interval that no
 * longer fits 32 bits is an error. */
uint64_t addOverflow(uint64_t pending, const std::string &name)
{
    if (pending + 2 * OVERFLOW_TICKS > MAX_INTERVAL + 1)
        fail(name, "an interval runs longer than 2^32 ticks (too many overflow marks in a row)");
    return pending + OVERFLOW_TICKS;
}

// A whole file of at most `limit` bytes, mapped or read (MappedFile), its
// failures and a larger file as FluxError.
MappedFile fileBytes(const std::string &path, uint64_t limit)
{
    try {
        MappedFile file(path, limit);
        if (file.cut())
            fail(path, "larger than a flux file can be (" + std::to_string(limit >> 20) + " MiB)");
        return file;
    } catch (const FileError &e) {
        throw FluxError(e.what());
    }
}

/* ---------------------------------------------------------------- SCP -- */

constexpr size_t SCP_HEADER = 16;
constexpr size_t SCP_TRACKS = 168;
constexpr size_t SCP_FULL_TABLE_END = SCP_HEADER + 4 * SCP_TRACKS;
constexpr size_t SCP_TRACK_HEADER = 4;   /* "TRK" and the track number */
constexpr size_t SCP_REVOLUTION = 12;    /* duration, entry count, data offset */
constexpr uint8_t SCP_INDEX_CUED = 0x01; /* flags bit 0 */

/* The header and track table of an SCP image. */
struct ScpImage {
    std::span<const uint8_t> bytes;
    bool indexCued = false;
    size_t revolutions = 0;
    double sampleHz = 0;
    /* Single-sided images whose writer numbered the tracks 0, 1, 2, ...:
     * the table index is the cylinder and every track has head `onlyHead`. */
    bool consecutive = false;
    int onlyHead = 0;
    std::array<uint32_t, SCP_TRACKS> offset{}; /* 0: no track */
    uint32_t storedChecksum = 0;

    FluxFile::TrackRef where(size_t track) const
    {
        if (consecutive)
            return {int(track), onlyHead};
        return {int(track / 2), int(track % 2)};
    }
};

ScpImage parseScp(std::span<const uint8_t> b, const std::string &name)
{
    if (b.size() < SCP_HEADER)
        fail(name, "too short for an SCP header (" + std::to_string(b.size()) + " bytes, 16 needed)");
    if (std::memcmp(b.data(), "SCP", 3) != 0)
        fail(name, "not an SCP image (it does not begin with \"SCP\")");
    ScpImage img;
    img.bytes = b;
    img.revolutions = b[5];
    img.indexCued = b[8] & SCP_INDEX_CUED;
    const unsigned cellWidth = b[9], heads = b[10];
    img.sampleHz = SCP_BASE_HZ / (double(b[11]) + 1.0);
    img.storedChecksum = le32(&b[12]);
    if (img.revolutions == 0)
        fail(name, "the header says the tracks hold 0 revolutions");
    if (cellWidth != 0 && cellWidth != 16)
        fail(name, "flux values of " + std::to_string(cellWidth) + " bits are not supported (only 16)");
    if (heads > 2)
        fail(name, "heads byte " + std::to_string(heads) + " is not 0 (both), 1 or 2");

    // The table ends at the end of the full table, the end of the file or
    // the first track header, whichever comes first.
    size_t tableEnd = std::min(SCP_FULL_TABLE_END, b.size());
    bool even = false, odd = false;
    for (size_t t = 0; t < SCP_TRACKS; t++) {
        const size_t at = SCP_HEADER + 4 * t;
        if (at + 4 > tableEnd)
            break;
        const uint32_t off = le32(&b[at]);
        if (off == 0)
            continue;
        if (off < at + 4)
            fail(name, "track " + std::to_string(t) + "'s offset " + std::to_string(off) +
                           " points into the track table");
        tableEnd = std::min<size_t>(tableEnd, off);
        img.offset[t] = off;
        (t % 2 ? odd : even) = true;
    }
    // A single-sided image with tracks on the other head's numbers was
    // numbered consecutively.
    if ((heads == 1 && odd) || (heads == 2 && even)) {
        img.consecutive = true;
        img.onlyHead = int(heads) - 1;
    }
    return img;
}

/* The 32-bit sum of every byte after the header. */
uint32_t scpChecksum(std::span<const uint8_t> b)
{
    uint32_t sum = 0;
    for (size_t i = SCP_HEADER; i < b.size(); i++)
        sum += b[i];
    return sum;
}

/* Decodes `n` big-endian 16-bit flux values at `p` into `w`; 0 adds 65,536
 * ticks to the next value (`pending` carries them across calls). Returns
 * the end of what was written. */
uint32_t *decodeScpFlux(const uint8_t *p, size_t n, uint32_t *w, uint64_t &pending, const std::string &name)
{
    constexpr size_t BLOCK = 16;
    size_t i = 0;
    for (;;) {
        // Whole blocks without a 0 and with nothing pending convert in a
        // loop the compiler vectorises.
        for (; pending == 0 && i + BLOCK <= n; i += BLOCK) {
            uint32_t smallest = 0xFFFF;
            for (size_t k = 0; k < BLOCK; k++) {
                const uint32_t v = uint32_t(p[2 * (i + k)]) << 8 | p[2 * (i + k) + 1];
                w[k] = v;
                smallest = std::min(smallest, v);
            }
            if (smallest == 0)
                break;
            w += BLOCK;
        }
        if (i == n)
            return w;
        // One block (or the tail) value by value.
        const size_t end = std::min(n, i + BLOCK);
        for (; i < end; i++) {
            const uint32_t v = uint32_t(p[2 * i]) << 8 | p[2 * i + 1];
            if (v == 0) {
                pending = addOverflow(pending, name);
            } else {
                *w++ = uint32_t(pending + v);
                pending = 0;
            }
        }
        if (i == n)
            return w;
    }
}

bool readScp(const ScpImage &img, const std::string &name, size_t track, FluxTrack &out)
{
    if (track >= SCP_TRACKS || img.offset[track] == 0)
        return false;
    const auto b = img.bytes;
    const std::string what = "track " + std::to_string(track);
    const size_t at = img.offset[track];
    const size_t headerSize = SCP_TRACK_HEADER + SCP_REVOLUTION * img.revolutions;
    if (at + headerSize > b.size())
        fail(name, what + "'s header at offset " + std::to_string(at) + " runs past the end of the file");
    if (std::memcmp(&b[at], "TRK", 3) != 0)
        fail(name, what + " at offset " + std::to_string(at) + " does not begin with \"TRK\"");
    if (b[at + 3] != track)
        fail(name, what + "'s header says it is track " + std::to_string(b[at + 3]));

    // Check every revolution first; revolutions with no entries at the end
    // hold nothing.
    struct Rev {
        size_t data, count;
    };
    std::array<Rev, 255> revs{};
    size_t used = 0, total = 0;
    for (size_t r = 0; r < img.revolutions; r++) {
        const uint8_t *e = &b[at + SCP_TRACK_HEADER + SCP_REVOLUTION * r];
        const size_t count = le32(e + 4), data = le32(e + 8);
        if (count == 0)
            continue;
        const std::string rev = what + " revolution " + std::to_string(r);
        if (used != r)
            fail(name, what + " revolution " + std::to_string(used) + " holds no flux but revolution " +
                           std::to_string(r) + " does");
        if (data < headerSize)
            fail(name, rev + "'s data offset " + std::to_string(data) + " points into the track header");
        if (at + data + 2 * count > b.size())
            fail(name, rev + " data runs past the end of the file");
        total += count;
        revs[used++] = {at + data, count};
    }
    // Revolutions may share data; bound the work by the file's size.
    if (2 * total > b.size())
        fail(name, what + "'s revolutions hold more flux values than the file has room for");

    const auto where = img.where(track);
    out.cylinder = where.cylinder;
    out.head = where.head;
    out.sampleHz = img.sampleHz;
    out.index.clear();
    out.intervals.resize(total);
    uint32_t *const start = out.intervals.data();
    uint32_t *w = start;
    uint64_t pending = 0;
    // A cued track starts at an index pulse; otherwise the first of several
    // revolutions is partial and a lone one counts as whole.
    const bool pulseFirst = img.indexCued || used == 1;
    for (size_t r = 0; r < used; r++) {
        if (r > 0 || pulseFirst)
            out.index.push_back(size_t(w - start));
        w = decodeScpFlux(&b[revs[r].data], revs[r].count, w, pending, name);
    }
    const size_t produced = size_t(w - start);
    if (used)
        out.index.push_back(produced);
    out.intervals.resize(produced);
    return used > 0;
}

/* ------------------------------------------------------------ KryoFlux -- */

constexpr uint8_t KF_NOP1 = 0x08;
constexpr uint8_t KF_NOP2 = 0x09;
constexpr uint8_t KF_NOP3 = 0x0A;
constexpr uint8_t KF_OVL16 = 0x0B;
constexpr uint8_t KF_FLUX3 = 0x0C;
constexpr uint8_t KF_OOB = 0x0D;
constexpr uint8_t KF_FLUX1_FIRST = 0x0E;
constexpr size_t KF_OOB_HEADER = 4; /* 0x0D, type, 16-bit size */

enum KfOob : uint8_t {
    KF_STREAM_INFO = 1,
    KF_INDEX = 2,
    KF_STREAM_END = 3,
    KF_INFO = 4,
    KF_EOF = 0x0D,
};
/* The smallest body of each OOB type the reader looks into. */
constexpr size_t kfOobMinimum(uint8_t type)
{
    switch (type) {
    case KF_STREAM_INFO:
    case KF_STREAM_END:
        return 8;
    case KF_INDEX:
        return 12;
    default:
        return 0;
    }
}

/* Walks the blocks of a stream: onFlux(ticks, streamEnd) for each interval
 * (streamEnd: the stream position just after its last byte), onOob(type,
 * body, streamPosition, byteOffset) for each OOB block. The end-of-file
 * block ends the walk. Returns the final stream position. */
template <class OnFlux, class OnOob>
uint64_t walkKryoflux(std::span<const uint8_t> s, const std::string &name, OnFlux &&onFlux, OnOob &&onOob)
{
    const uint8_t *p = s.data();
    const size_t size = s.size();
    size_t i = 0, oobBytes = 0;
    uint64_t pending = 0;
    auto need = [&](size_t n, const char *block) {
        if (size - i < n)
            fail(name, std::string("the stream ends inside a ") + block + " block at byte " + std::to_string(i));
    };
    while (i < size) {
        const uint8_t c = p[i];
        if (c >= KF_FLUX1_FIRST) [[likely]] {
            ++i;
            onFlux(pending + c, i - oobBytes);
            pending = 0;
            continue;
        }
        switch (c) {
        case KF_NOP1:
        case KF_NOP2:
        case KF_NOP3:
            need(size_t(c - KF_NOP1) + 1, "Nop");
            i += size_t(c - KF_NOP1) + 1;
            break;
        case KF_OVL16:
            pending = addOverflow(pending, name);
            ++i;
            break;
        case KF_FLUX3:
            need(3, "Flux3");
            i += 3;
            onFlux(pending + (uint32_t(p[i - 2]) << 8 | p[i - 1]), i - oobBytes);
            pending = 0;
            break;
        case KF_OOB: {
            need(2, "OOB");
            const uint8_t type = p[i + 1];
            if (type == KF_EOF)
                return i - oobBytes;
            need(KF_OOB_HEADER, "OOB");
            const size_t body = le16(p + i + 2);
            if (size - i - KF_OOB_HEADER < body)
                fail(name, "the OOB block at byte " + std::to_string(i) + " claims " + std::to_string(body) +
                               " bytes, past the end of the file");
            if (body < kfOobMinimum(type))
                fail(name, "the OOB block of type " + std::to_string(type) + " at byte " + std::to_string(i) +
                               " is too short (" + std::to_string(body) + " bytes)");
            onOob(type, s.subspan(i + KF_OOB_HEADER, body), uint64_t(i - oobBytes), i);
            i += KF_OOB_HEADER + body;
            oobBytes += KF_OOB_HEADER + body;
            break;
        }
        default: /* Flux2: first byte 0x00..0x07 */
            need(2, "Flux2");
            i += 2;
            onFlux(pending + (uint32_t(p[i - 2]) << 8 | p[i - 1]), i - oobBytes);
            pending = 0;
            break;
        }
    }
    return i - oobBytes;
}

/* The clocks an information block may state: a KryoFlux samples at about
 * 24 MHz and counts index times at an eighth of that; anything outside this
 * range is no clock of a capture device, and would blow up every time
 * computed from it. */
constexpr double KF_CLOCK_LOWEST = 1e6, KF_CLOCK_HIGHEST = 1e9;

/* The sample clock an information block states with `sck=`, if any; an
 * sck= or ick= (the index clock) that is not a number of Hz in range is an
 * error. */
std::optional<double> sampleClock(std::span<const uint8_t> body, const std::string &name)
{
    std::string_view text(reinterpret_cast<const char *>(body.data()), body.size());
    text = text.substr(0, text.find('\0'));
    std::optional<double> hz;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        std::string_view field = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        while (!field.empty() && field.front() == ' ')
            field.remove_prefix(1);
        const bool sck = field.starts_with("sck=");
        if (!sck && !field.starts_with("ick="))
            continue;
        const std::string_view value = field.substr(4);
        double v = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        // NaN fails the range test too.
        if (ec != std::errc() || end != value.data() + value.size() || !(v >= KF_CLOCK_LOWEST && v <= KF_CLOCK_HIGHEST))
            fail(name, std::string(field) + " in the information block is not " +
                           (sck ? "a sample" : "an index") + " clock in Hz (1 MHz to 1 GHz)");
        if (sck)
            hz = v;
    }
    return hz;
}

/* Index pulses by stream position, mapped to the intervals during which
 * they came: an interval that ends past a pulse's position holds it. */
struct PulseMap {
    std::vector<uint64_t> positions;
    size_t mapped = 0;
    uint64_t next = std::numeric_limits<uint64_t>::max();

    void add(uint64_t at)
    {
        positions.push_back(at);
        if (mapped + 1 == positions.size())
            next = at;
    }
    /* Interval `interval` ended at stream position `end`. */
    void ended(size_t interval, uint64_t end, std::vector<size_t> &index)
    {
        if (end <= next) [[likely]]
            return;
        for (; mapped < positions.size() && positions[mapped] < end; mapped++)
            index.push_back(interval);
        next = mapped < positions.size() ? positions[mapped] : std::numeric_limits<uint64_t>::max();
    }
    void restart()
    {
        mapped = 0;
        next = positions.empty() ? std::numeric_limits<uint64_t>::max() : positions[0];
    }
};

/* ------------------------------------------------------------ KryoFlux set -- */

/* cppcheck does not see these used through std::optional. */
struct StreamName {
    // cppcheck-suppress unusedStructMember
    std::string prefix;
    // cppcheck-suppress unusedStructMember
    int cylinder, head;
};

/* Splits "PREFIXcc.h.raw" into its parts. */
std::optional<StreamName> splitStreamName(std::string_view file)
{
    constexpr std::string_view tail = ".raw";
    constexpr size_t numbers = 4; /* "cc.h" */
    if (!file.ends_with(tail) || file.size() < tail.size() + numbers)
        return std::nullopt;
    const std::string_view n = file.substr(file.size() - tail.size() - numbers, numbers);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(n[0]) || !digit(n[1]) || n[2] != '.' || (n[3] != '0' && n[3] != '1'))
        return std::nullopt;
    return StreamName{std::string(file.substr(0, file.size() - tail.size() - numbers)),
                      (n[0] - '0') * 10 + (n[1] - '0'), n[3] - '0'};
}

struct StreamFile {
    StreamName name;
    std::string path;
};

/* The entries of `folder` ("" for the current one) named PREFIXcc.h.raw,
 * except folders (a link counts as what it points to). `ec` tells that the
 * folder could not be listed; what was found until then is returned. */
std::vector<StreamFile> streamFilesIn(const std::filesystem::path &folder, std::error_code &ec)
{
    namespace fs = std::filesystem;
    std::vector<StreamFile> found;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string file = it->path().filename().string();
        auto name = splitStreamName(file);
        std::error_code typeError;
        if (name && !it->is_directory(typeError))
            found.push_back({std::move(*name), (folder / file).string()});
    }
    return found;
}

const char *fileTypeName(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISDIR(mode))
        return "a folder";
    return nullptr;
}

[[noreturn]] void failNotRegular(const std::string &path, mode_t mode)
{
    const char *type = fileTypeName(mode);
    fail(path, (type ? std::string(type) + ", not" : std::string("not")) +
                   " a regular file (a KryoFlux stream file must be one)");
}

/* What errno says (strerror's text, without its shared buffer). */
std::string errnoText() { return std::generic_category().message(errno); }

/* Refuses a stream file that is not a regular file before anything opens
 * it: opening a FIFO for reading waits for a writer, for ever. */
void mustBeRegular(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        fail(path, errnoText());
    if (!S_ISREG(st.st_mode))
        failNotRegular(path, st.st_mode);
}

/* A stream file's bytes. It is opened without waiting, so that not even a
 * FIFO put in its place since the set was listed blocks, and must be a
 * regular file of at most STREAM_LIMIT bytes. */
std::vector<uint8_t> readStreamFile(const std::string &path)
{
    struct Descriptor {
        int fd;
        ~Descriptor()
        {
            if (fd >= 0)
                close(fd);
        }
    } d{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (d.fd < 0)
        fail(path, errnoText());
    struct stat st {};
    if (fstat(d.fd, &st) != 0)
        fail(path, errnoText());
    if (!S_ISREG(st.st_mode))
        failNotRegular(path, st.st_mode);
    // Room for the size it has and one byte more, to see its end; a file
    // that grows meanwhile is read on up to the limit.
    std::vector<uint8_t> bytes(size_t(std::min<uint64_t>(uint64_t(st.st_size), STREAM_LIMIT)) + 1);
    size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > STREAM_LIMIT)
                fail(path, "larger than a flux file can be (" + std::to_string(STREAM_LIMIT >> 20) + " MiB)");
            bytes.resize(size_t(std::min<uint64_t>(2 * uint64_t(have), STREAM_LIMIT + 1)));
        }
        const ssize_t got = read(d.fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(path, errnoText());
        if (got == 0)
            break;
        have += size_t(got);
    }
    bytes.resize(have);
    return bytes;
}

}

FluxKind fluxKind(std::span<const uint8_t> head)
{
    if (head.size() >= 3 && std::memcmp(head.data(), "SCP", 3) == 0)
        return FluxKind::scp;
    if (head.size() < KF_OOB_HEADER || head[0] != KF_OOB)
        return FluxKind::none;
    const uint8_t type = head[1];
    const size_t body = le16(&head[2]);
    if (type < KF_STREAM_INFO || type > KF_INFO || body < kfOobMinimum(type))
        return FluxKind::none;
    // Information text, as far as the head shows it, is printable ASCII up
    // to its NUL.
    if (type == KF_INFO) {
        const auto text = head.subspan(KF_OOB_HEADER, std::min(body, head.size() - KF_OOB_HEADER));
        for (const uint8_t c : text) {
            if (c == 0)
                break;
            if (c < 0x20 || c > 0x7E)
                return FluxKind::none;
        }
    }
    return FluxKind::kryoflux;
}

namespace {

constexpr uint8_t ZIP_ENTRY[4] = {'P', 'K', 3, 4}, ZIP_END[4] = {'P', 'K', 5, 6}, ZIP_CENTRAL[4] = {'P', 'K', 1, 2};
constexpr size_t ZIP_END_SIZE = 22, ZIP_CENTRAL_SIZE = 46, ZIP_MAX_COMMENT = 0xFFFF;
/* The sizes of the common floppy images: 160 KB to 2.88 MB. */
constexpr uint64_t SECTOR_IMAGE_SIZES[] = {163840, 184320, 327680, 368640, 409600, 655360, 737280, 819200,
                                          829440, 901120, 1228800, 1474560, 1638400, 1720320, 1763328, 2949120};
constexpr uint64_t IMAGE_SECTOR = 512;

bool startsWith(std::span<const uint8_t> bytes, const uint8_t (&magic)[4])
{
    return bytes.size() >= 4 && std::memcmp(bytes.data(), magic, 4) == 0;
}

/* Whether the central directory of a zip archive (its end record within the
 * last 64 KiB of `bytes`) names a KryoFlux stream file. */
bool zipHoldsStreams(std::span<const uint8_t> bytes)
{
    if (bytes.size() < ZIP_END_SIZE)
        return false;
    const size_t lowest = bytes.size() - std::min(bytes.size(), ZIP_END_SIZE + ZIP_MAX_COMMENT);
    for (size_t end = bytes.size() - ZIP_END_SIZE + 1; end-- > lowest;) {
        if (!startsWith(bytes.subspan(end), ZIP_END))
            continue;
        size_t at = le32(&bytes[end + 16]);
        for (uint32_t n = le16(&bytes[end + 10]); n > 0 && at + ZIP_CENTRAL_SIZE <= bytes.size(); n--) {
            if (!startsWith(bytes.subspan(at), ZIP_CENTRAL))
                break;
            const size_t nameLength = le16(&bytes[at + 28]);
            if (at + ZIP_CENTRAL_SIZE + nameLength > bytes.size())
                break;
            const std::string_view name(reinterpret_cast<const char *>(&bytes[at + ZIP_CENTRAL_SIZE]), nameLength);
            if (splitStreamName(name.substr(name.find_last_of('/') + 1)))
                return true;
            at += ZIP_CENTRAL_SIZE + nameLength + le16(&bytes[at + 30]) + le16(&bytes[at + 32]);
        }
        return false;
    }
    return false;
}

/* Images of other programs that begin with a fixed text. */
struct Magic {
    std::string_view text;
    ForeignKind kind;
};
constexpr Magic MAGICS[] = {
    {"HXCPICFE", ForeignKind::hfe},
    {"HXCHFEV3", ForeignKind::hfe},
    {"CAPS", ForeignKind::ipf},
    {"A2R2", ForeignKind::a2r},
    {"A2R3", ForeignKind::a2r},
    {"EXTENDED CPC DSK File", ForeignKind::edsk},
    {"MV - CPC", ForeignKind::dsk},
    {"IMD ", ForeignKind::imageDisk},
};

uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

/* An MSA header: its signature, 1 to 64 sectors a track, one or two sides,
 * a first track no later than the last. */
bool msaHeader(std::span<const uint8_t> b)
{
    constexpr size_t HEADER = 10;
    if (b.size() < HEADER || be16(&b[0]) != 0x0E0F)
        return false;
    const uint32_t sectors = be16(&b[2]), sides = be16(&b[4]), first = be16(&b[6]), last = be16(&b[8]);
    return sectors >= 1 && sectors <= 64 && sides <= 1 && first <= last && last < 256;
}

/* A D88 header, which has no magic: a 17-byte name, a write-protect byte
 * (0 or 0x10) and a media byte (2D, 2DD, 2HD, 1D or 1DD) at 0x1A, the disk's
 * size at 0x1C, which must be the file's, and from 0x20 the track offsets,
 * the first of them 0 (no track) or past itself and inside the file. A raw
 * capture's cells hold no such bytes. */
bool d88Header(std::span<const uint8_t> b, uint64_t size)
{
    constexpr size_t PROTECT = 0x1A, MEDIA = 0x1B, SIZE = 0x1C, TRACKS = 0x20;
    if (b.size() < TRACKS + 4 || le32(&b[SIZE]) != size)
        return false;
    const uint8_t media = b[MEDIA];
    const uint32_t firstTrack = le32(&b[TRACKS]);
    return (b[PROTECT] == 0 || b[PROTECT] == 0x10) && media <= 0x40 && media % 0x10 == 0 &&
           (firstTrack == 0 || (firstTrack >= TRACKS + 4 && firstTrack < size));
}

/* A Teledisk header: "TD" (or "td", compressed), a version from 1.0 to 2.1
 * (10 to 21) at byte 4 and one or two sides at byte 9. */
bool telediskHeader(std::span<const uint8_t> b)
{
    constexpr size_t HEADER = 12, VERSION = 4, SIDES = 9;
    if (b.size() < HEADER || !((b[0] == 'T' && b[1] == 'D') || (b[0] == 't' && b[1] == 'd')))
        return false;
    return b[VERSION] >= 10 && b[VERSION] <= 21 && (b[SIDES] == 1 || b[SIDES] == 2);
}

/* A FAT or Atari boot sector whose sector count and size give the file's. */
bool bootSectorOfSize(std::span<const uint8_t> bytes, uint64_t size)
{
    constexpr size_t BPB_END = 21;
    if (bytes.size() < BPB_END || (bytes[0] != 0xEB && bytes[0] != 0xE9 && bytes[0] != 0x60))
        return false;
    const uint32_t bps = le16(&bytes[11]), sectors = le16(&bytes[19]);
    return (bps == 128 || bps == 256 || bps == 512 || bps == 1024) && uint64_t(bps) * sectors == size;
}

}

ForeignKind foreignKind(std::span<const uint8_t> bytes, uint64_t size)
{
    if (startsWith(bytes, ZIP_ENTRY) || startsWith(bytes, ZIP_END))
        return zipHoldsStreams(bytes) ? ForeignKind::kryofluxZip : ForeignKind::zip;
    const std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    for (const Magic &m : MAGICS)
        if (text.starts_with(m.text))
            return m.kind;
    if (msaHeader(bytes))
        return ForeignKind::msa;
    if (telediskHeader(bytes))
        return ForeignKind::teledisk;
    if (d88Header(bytes, size))
        return ForeignKind::d88;
    const bool imageSize = std::find(std::begin(SECTOR_IMAGE_SIZES), std::end(SECTOR_IMAGE_SIZES), size) !=
                           std::end(SECTOR_IMAGE_SIZES);
    if (size % IMAGE_SECTOR == 0 && (imageSize || bootSectorOfSize(bytes, size)))
        return ForeignKind::sectorImage;
    return ForeignKind::unknown;
}

const char *foreignName(ForeignKind kind)
{
    switch (kind) {
    case ForeignKind::sectorImage:
        return "a sector image";
    case ForeignKind::zip:
        return "a zip archive";
    case ForeignKind::kryofluxZip:
        return "a zip archive of KryoFlux stream files";
    case ForeignKind::hfe:
        return "an HFE image";
    case ForeignKind::ipf:
        return "an IPF image";
    case ForeignKind::a2r:
        return "an A2R flux image";
    case ForeignKind::edsk:
        return "an Extended CPC DSK image";
    case ForeignKind::dsk:
        return "a CPC DSK image";
    case ForeignKind::imageDisk:
        return "an ImageDisk image";
    case ForeignKind::msa:
        return "an MSA image";
    case ForeignKind::d88:
        return "a D88 image";
    case ForeignKind::teledisk:
        return "a Teledisk image";
    case ForeignKind::unknown:
        break;
    }
    return "";
}

FluxKind folderFluxKind(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FluxKind::none;
    std::error_code ec;
    return streamFilesIn(path, ec).empty() || ec ? FluxKind::none : FluxKind::kryoflux;
}

bool readScpTrack(std::span<const uint8_t> image, const std::string &name, int track, FluxTrack &out)
{
    if (track < 0)
        return false;
    return readScp(parseScp(image, name), name, size_t(track), out);
}

std::vector<int> scpTrackNumbers(std::span<const uint8_t> image, const std::string &name)
{
    const ScpImage img = parseScp(image, name);
    std::vector<int> numbers;
    for (size_t t = 0; t < SCP_TRACKS; t++)
        if (img.offset[t])
            numbers.push_back(int(t));
    return numbers;
}

void readKryofluxStream(std::span<const uint8_t> stream, const std::string &name, FluxTrack &out)
{
    out.cylinder = 0;
    out.head = 0;
    out.sampleHz = KRYOFLUX_SAMPLE_HZ;
    out.index.clear();
    // Every interval takes at least one byte.
    out.intervals.resize(stream.size());
    uint32_t *const w = out.intervals.data();
    size_t n = 0;
    uint64_t lastEnd = 0;
    bool late = false;
    PulseMap pulses;

    const uint64_t end = walkKryoflux(
        stream, name,
        [&](uint64_t ticks, uint64_t streamEnd) {
            w[n] = uint32_t(ticks);
            pulses.ended(n++, streamEnd, out.index);
            lastEnd = streamEnd;
        },
        [&](uint8_t type, std::span<const uint8_t> body, uint64_t position, size_t byte) {
            switch (type) {
            case KF_STREAM_INFO:
            case KF_STREAM_END:
                if (le32(body.data()) != position)
                    fail(name, std::string(type == KF_STREAM_END ? "stream end" : "stream information") +
                                   " block at byte " + std::to_string(byte) + " gives stream position " +
                                   std::to_string(le32(body.data())) + ", but the stream is at position " +
                                   std::to_string(position));
                if (type == KF_STREAM_END && le32(body.data() + 4) != 0)
                    fail(name, "the capture device reported error " + std::to_string(le32(body.data() + 4)) +
                                   " at the end of the stream");
                break;
            case KF_INDEX: {
                const uint64_t at = le32(body.data());
                if (!pulses.positions.empty() && at < pulses.positions.back())
                    fail(name, "index block at byte " + std::to_string(byte) + " gives stream position " +
                                   std::to_string(at) + ", before the previous index at " +
                                   std::to_string(pulses.positions.back()));
                // A pulse behind an interval already read is mapped by a
                // second pass.
                late = late || at < lastEnd;
                pulses.add(at);
                break;
            }
            case KF_INFO:
                if (const auto hz = sampleClock(body, name))
                    out.sampleHz = *hz;
                break;
            default:
                break;
            }
        });

    if (late) {
        out.index.clear();
        pulses.restart();
        size_t count = 0;
        walkKryoflux(
            stream, name,
            [&](uint64_t, uint64_t streamEnd) { pulses.ended(count++, streamEnd, out.index); },
            [](uint8_t, std::span<const uint8_t>, uint64_t, size_t) {});
    }
    out.intervals.resize(n);
    if (!pulses.positions.empty() && pulses.positions.back() > end)
        fail(name, "index at stream position " + std::to_string(pulses.positions.back()) +
                       " lies past the end of the stream (" + std::to_string(end) + ")");
    // Pulses after the last transition.
    out.index.resize(pulses.positions.size(), n);
    if (n == 0)
        fail(name, "the stream holds no flux transitions");
}

/* ------------------------------------------------------------ FluxFile -- */

/* Orders (track, anything) pairs as tracks() lists them. */
constexpr auto byCylinderThenHead = [](const auto &a, const auto &b) {
    return std::pair(a.first.cylinder, a.first.head) < std::pair(b.first.cylinder, b.first.head);
};

struct FluxFile::Impl {
    std::string path;
    FluxKind kind = FluxKind::none;
    std::vector<TrackRef> tracks;
    std::vector<std::string> warnings;
    /* SCP: the mapped image and the table index of each track. */
    MappedFile image;
    ScpImage scp;
    std::vector<size_t> scpTrack;
    /* KryoFlux: one file per track. */
    std::vector<std::string> streams;

    explicit Impl(const std::string &p) : path(p) {}

    void openScp()
    {
        scp = parseScp(image.bytes(), path);
        const uint32_t sum = scpChecksum(image.bytes());
        if (sum != scp.storedChecksum)
            warnings.push_back(path + ": the header's checksum " + std::to_string(scp.storedChecksum) +
                               " differs from the file's sum " + std::to_string(sum) + "; read anyway");
        std::vector<std::pair<TrackRef, size_t>> found;
        for (size_t t = 0; t < SCP_TRACKS; t++)
            if (scp.offset[t])
                found.push_back({scp.where(t), t});
        std::sort(found.begin(), found.end(), byCylinderThenHead);
        for (const auto &[ref, t] : found) {
            tracks.push_back(ref);
            scpTrack.push_back(t);
        }
    }

    /* The set of the stream file `path` names, in its folder. */
    void openKryofluxSet()
    {
        namespace fs = std::filesystem;
        const fs::path given(path);
        const auto mine = splitStreamName(given.filename().string());
        if (!mine)
            fail(path, "a KryoFlux stream file's name ends in cc.h.raw (cylinder, head)");
        std::error_code ec;
        std::vector<StreamFile> found = streamFilesIn(given.parent_path(), ec);
        if (ec)
            fail(path, "cannot list its folder: " + ec.message());
        std::erase_if(found, [&](const StreamFile &f) { return f.name.prefix != mine->prefix; });
        takeSet(found);
        image = MappedFile(); // the set's files are read one at a time
    }

    /* The one set of stream files in the folder `path`; its first file must
     * be a KryoFlux stream. */
    void openKryofluxFolder()
    {
        std::error_code ec;
        std::vector<StreamFile> found = streamFilesIn(path, ec);
        if (ec)
            fail(path, "cannot list the folder: " + ec.message());
        if (found.empty())
            fail(path, "a folder that holds no KryoFlux stream files (NAMEcc.h.raw)");
        std::vector<std::string> prefixes;
        for (const StreamFile &f : found)
            prefixes.push_back(f.name.prefix);
        std::sort(prefixes.begin(), prefixes.end());
        prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
        if (prefixes.size() > 1) {
            constexpr size_t SHOWN = 3;
            std::string sets;
            for (size_t i = 0; i < std::min(prefixes.size(), SHOWN); i++)
                sets += (i ? ", " : "") + prefixes[i] + "cc.h.raw";
            if (prefixes.size() > SHOWN)
                sets += ", ...";
            fail(path, "holds " + std::to_string(prefixes.size()) + " sets of KryoFlux stream files (" + sets +
                           "): name a file of the set to read");
        }
        takeSet(found);
        const std::vector<uint8_t> first = readStreamFile(streams.front());
        if (fluxKind(first) != FluxKind::kryoflux)
            fail(streams.front(), "not a KryoFlux stream, though named like one");
    }

    /* Takes the stream files of one set, in track order; each must be a
     * regular file. */
    void takeSet(std::vector<StreamFile> &found)
    {
        std::vector<std::pair<TrackRef, std::string>> set;
        for (StreamFile &f : found)
            set.push_back({{f.name.cylinder, f.name.head}, std::move(f.path)});
        std::sort(set.begin(), set.end(), byCylinderThenHead);
        for (auto &[ref, file] : set) {
            mustBeRegular(file);
            tracks.push_back(ref);
            streams.push_back(std::move(file));
        }
    }
};

FluxFile::FluxFile(const std::string &path) : impl_(std::make_unique<Impl>(path))
{
    Impl &m = *impl_;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        m.kind = FluxKind::kryoflux;
        m.openKryofluxFolder();
        return;
    }
    m.image = fileBytes(path, SCP_LIMIT);
    m.kind = fluxKind(m.image.bytes());
    switch (m.kind) {
    case FluxKind::scp:
        m.openScp();
        break;
    case FluxKind::kryoflux:
        m.openKryofluxSet();
        break;
    case FluxKind::none:
        fail(path, "neither an SCP image nor a KryoFlux stream");
    }
}

FluxFile::~FluxFile() = default;
FluxFile::FluxFile(FluxFile &&) noexcept = default;
FluxFile &FluxFile::operator=(FluxFile &&) noexcept = default;

FluxKind FluxFile::kind() const { return impl_->kind; }
const std::string &FluxFile::path() const { return impl_->path; }
const std::vector<FluxFile::TrackRef> &FluxFile::tracks() const { return impl_->tracks; }
const std::vector<std::string> &FluxFile::warnings() const { return impl_->warnings; }
std::vector<std::string> FluxFile::files() const
{
    return impl_->kind == FluxKind::kryoflux ? impl_->streams : std::vector<std::string>{impl_->path};
}

void FluxFile::readTrack(size_t i, FluxTrack &out) const
{
    const Impl &m = *impl_;
    if (i >= m.tracks.size())
        fail(m.path, "has no track " + std::to_string(i) + " (it holds " + std::to_string(m.tracks.size()) + ")");
    if (m.kind == FluxKind::scp) {
        if (!readScp(m.scp, m.path, m.scpTrack[i], out)) {
            // A track whose revolutions are all empty: nothing was captured.
            out.intervals.clear();
            out.index.clear();
            out.cylinder = m.tracks[i].cylinder;
            out.head = m.tracks[i].head;
        }
        return;
    }
    const std::vector<uint8_t> stream = readStreamFile(m.streams[i]);
    readKryofluxStream(stream, m.streams[i], out);
    out.cylinder = m.tracks[i].cylinder;
    out.head = m.tracks[i].head;
}

}
