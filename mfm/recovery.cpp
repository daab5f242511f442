// Disk recovery: copies of sectors from many reads, the disk's layout, and
// the choice of one copy per sector.
#include "mfm/recovery.h"
#include "mfm/amiga.h"
#include "mfm/cellbits.h"
#include "mfm/fm.h"
#include "mfm/mfm.h"
#include "mfm/vote.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

namespace mfm {

namespace {

constexpr int CRC_BYTES = 2;
constexpr int MAX_HEADS = 2;
constexpr int MAX_CYLINDERS = 256;
constexpr int BOOT_BYTES = 36;      // the BPB fields readBootblock reads
constexpr int MIN_VOTERS = 3;       // bad copies needed for a vote
constexpr int DATA_WORD = 4;        // cell words from a sync to its field's bytes

using Ref = CopyRef;

// A sector of a disk as one number (an FM sector is an IBM one).
uint32_t sectorKey(int cylinder, int head, int sector, Family family = Family::ibm)
{
    return uint32_t(sectorFamily(family)) << 24 | uint32_t(cylinder) << 16 | uint32_t(head) << 8 | uint32_t(sector);
}

// The head a copy (or ID) of a read lies on: its ID's, or on a disk whose
// IDs name head 0 on both sides, the side it was read from.
int sideOf(const TrackRead &r, int idHead, bool byRead) { return byRead && r.head >= 0 ? r.head : idHead; }
int sideOf(const TrackRead &r, const SectorCopy &c, bool byRead)
{
    return c.family == Family::amiga ? c.head : sideOf(r, c.head, byRead);
}

// IDs of a read that name its physical track, and half of it. Track 0 says
// nothing either way.
struct StepVotes {
    int64_t same = 0, half = 0;

    void count(const TrackRead &r)
    {
        if (r.physical == 0)
            return;
        for (const TrackRead::Id &id : r.ids) {
            same += id.cylinder == r.physical;
            half += 2 * id.cylinder == r.physical;
        }
    }
    int step() const { return half > same ? 2 : 1; }
};

// The step of each input (TrackRead::input), judged by its own reads.
using Steps = std::map<int, int>;

Steps stepsOf(std::span<const TrackRead> reads)
{
    std::map<int, StepVotes> votes;
    for (const TrackRead &r : reads)
        votes[r.input].count(r);
    Steps steps;
    for (const auto &[input, v] : votes)
        steps[input] = v.step();
    return steps;
}

// The logical cylinder a read belongs to, or -1 when it holds none (the
// odd physical tracks of a disk read with double steps).
int logicalCylinder(const TrackRead &r, const Steps &steps)
{
    const int step = steps.at(r.input);
    return r.physical % step == 0 ? r.physical / step : -1;
}

// The value most often seen; on a tie the larger one.
int mostCommon(const std::map<int, int> &counts)
{
    int best = 0, seen = 0;
    for (const auto &[value, n] : counts)
        if (n >= seen)
            best = value, seen = n;
    return best;
}

// The cylinders of the named layout of g's shape with the fewest cylinders
// that hold `cylinders` (of any heads when none has g's), or `cylinders`
// when none does.
int standardCylinders(const Geometry &g, int cylinders)
{
    int best = 0;
    for (const bool sameHeads : {true, false}) {
        for (const Layout &l : layouts()) {
            const Geometry &n = l.geometry;
            Geometry shape = n;
            shape.heads = g.heads;   // any heads, on the second round
            if (!sameShape(shape, g) || (n.heads == g.heads) != sameHeads)
                continue;
            for (const int have : {n.cylinders, l.otherCylinders})
                if (have >= cylinders && (!best || have < best))
                    best = have;
        }
        if (best)
            return best;
    }
    return cylinders;
}

}

Family detectFamily(std::span<const TrackRead> reads)
{
    int64_t count[FAMILY_COUNT] = {};
    for (const TrackRead &r : reads)
        for (const TrackRead::Id &id : r.ids)
            count[int(id.family)]++;
    Family best = Family::ibm;
    for (const Family other : {Family::amiga, Family::fm})
        if (count[int(other)] > count[int(best)])
            best = other;
    return best;
}

bool sidesByRead(std::span<const TrackRead> reads)
{
    int64_t says[2][2] = {};   // [head read][head named]
    for (const TrackRead &r : reads)
        if (r.head == 0 || r.head == 1)
            for (const TrackRead::Id &id : r.ids)
                if (id.family != Family::amiga && id.head < 2)
                    says[r.head][id.head]++;
    return says[1][0] > says[1][1] && says[0][0] >= says[0][1];
}

namespace {

// The last cylinder the sound IDs of `family` name on the track they were
// read on, plus one.
int cylindersNamed(std::span<const TrackRead> reads, const Steps &steps, Family family)
{
    int cylinders = 0;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        for (const TrackRead::Id &id : r.ids)
            if (sectorFamily(id.family) == sectorFamily(family) && id.cylinder == cylinder && id.head < MAX_HEADS)
                cylinders = std::max(cylinders, cylinder + 1);
    }
    return cylinders;
}

Geometry geometryFromIds(std::span<const TrackRead> reads, const Steps &steps, Family family, Recovery &rec)
{
    Geometry g;
    g.family = family;
    // Per track (cylinder, head), the lowest and highest sector numbers.
    std::map<uint32_t, std::pair<int, int>> numbers;
    std::map<int, int> sizes;
    int formatted = 0;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder >= 0 && r.syncs >= FORMATTED_SYNCS)
            formatted = std::max(formatted, cylinder + 1);
        for (const TrackRead::Id &id : r.ids) {
            if (sectorFamily(id.family) != sectorFamily(family) || id.cylinder != cylinder || id.head >= MAX_HEADS)
                continue;
            const int head = sideOf(r, id.head, rec.sidesByRead);
            g.cylinders = std::max(g.cylinders, cylinder + 1);
            g.heads = std::max(g.heads, head + 1);
            const auto [it, fresh] = numbers.try_emplace(sectorKey(cylinder, head, 0), id.sector, id.sector);
            if (!fresh) {
                it->second.first = std::min(it->second.first, int(id.sector));
                it->second.second = std::max(it->second.second, int(id.sector));
            }
            sizes[id.size]++;
        }
    }
    std::map<int, int> lowest, highest;
    for (const auto &[track, range] : numbers)
        lowest[range.first]++, highest[range.second]++;
    // Most tracks start at the first sector: a track whose first sector was
    // lost does not move it.
    g.first = numbers.empty() ? 1 : mostCommon(lowest);
    g.sectors = numbers.empty() ? 0 : std::max(0, mostCommon(highest) - g.first + 1);
    g.bytes = sizes.empty() ? SECTOR_SIZE : 128 << std::min(mostCommon(sizes), int(MAX_SIZE_CODE));
    if (g.cylinders > 0) {
        rec.cylinders.ids = g.cylinders;
        rec.cylinders.formatted = formatted;
        rec.cylinders.standard = standardCylinders(g, std::max(g.cylinders, formatted));
        g.cylinders = std::min(std::max({g.cylinders, formatted, rec.cylinders.standard}), MAX_CYLINDERS);
    }
    return g;
}

// The geometry a FAT boot sector states, if it is a sound one.
std::optional<Geometry> geometryFromBoot(const std::vector<uint8_t> &bs)
{
    if (bs.size() < size_t(BOOT_BYTES))
        return std::nullopt;
    BootRecord rec{};
    readBootblock(bs.data(), &rec);
    const bool sizeOk = rec.bps == 128 || rec.bps == 256 || rec.bps == 512 || rec.bps == 1024;
    if (!sizeOk || rec.heads < 1 || rec.heads > MAX_HEADS || rec.spt < 1 || rec.spt > 255 || rec.sectors == 0 ||
        rec.sectors % (uint64_t(rec.heads) * rec.spt) != 0)
        return std::nullopt;
    const uint64_t cylinders = rec.sectors / (uint64_t(rec.heads) * rec.spt);
    if (cylinders > uint64_t(MAX_CYLINDERS))
        return std::nullopt;
    return Geometry{int(cylinders), rec.heads, rec.spt, rec.bps};
}


// Counts a good sector for the inputs that read it good (for a vote, all
// whose copies voted).
void tallyInputs(const std::vector<Ref> &copies, bool voted, std::vector<Recovery::InputTally> &inputs)
{
    std::vector<int> which;
    for (const Ref &x : copies)
        if ((voted || x.copy->good()) && std::find(which.begin(), which.end(), x.read->input) == which.end())
            which.push_back(x.read->input);
    for (int i : which) {
        if (size_t(i) >= inputs.size())
            inputs.resize(size_t(i) + 1);
        inputs[size_t(i)].good++;
        inputs[size_t(i)].only += which.size() == 1;
    }
}

// An AmigaDOS sector names its track, head included: one read by a flux
// track's other head is not of this track.
bool namesOtherHead(const TrackRead &r, const SectorCopy &c)
{
    return c.family == Family::amiga && r.head >= 0 && c.head != r.head;
}

// Evidence beyond a weak check: an AmigaDOS sector's XOR checksum is 16
// column parities, which any two errors in one column (bit k of every
// 16-bit word of data cells) pass. Bytes that pass it stand when another
// read of the sector (another revolution or input) holds them exactly; or
// when no other bytes that the reads make likely pass it too. The reads
// compared are those whose copy lies near the bytes (NEAR_BITS bits apart
// at most: reads that held their lock, whose few errors fall each in its
// own place); a bit that some of them read otherwise is contested, and its
// margin is the reads that hold the bytes' value less those that do not.
// Other bytes that pass the check differ in two contested bits of one
// column at least; the bytes stand when every such pair has a margin of
// CHECK_MARGIN or more, no contested bit has a negative margin (where most
// reads hold another value, the check may have been passed by an error
// that every read makes, a weak spot of the disk), and some other read
// lies near (a vote: two), unless no other read holds the sector at all.

constexpr int NEAR_BITS = 64;
constexpr int CHECK_MARGIN = 2;
constexpr int CHECK_COLUMNS = 16;

// A read of a sector: its TrackRead and revolution.
using ReadKey = std::pair<const TrackRead *, int>;
ReadKey readOf(const Ref &x) { return {x.read, x.copy->revolution}; }

// The checksum column of bit `b` (0 the lowest) of byte `i` of a sector's
// bytes: the bit's place in its big-endian long, halved.
int columnOf(size_t i, int b) { return ((3 - int(i % 4)) * 8 + b) >> 1; }

// The bits where `copy` (its bytes and stored check) differs from `bytes`
// and `stored`, as (column, place) with places of the stored check after
// the bytes; false when more than NEAR_BITS.
bool differences(const SectorCopy &copy, const uint8_t *bytes, size_t size, uint32_t stored,
                 std::vector<std::pair<int, size_t>> &out)
{
    out.clear();
    for (size_t i = 0; i < size; i++)
        if (const unsigned diff = copy.data[i] ^ bytes[i]) {
            for (int b = 0; b < 8; b++)
                if ((diff >> b) & 1)
                    out.push_back({columnOf(i, b), i * 8 + size_t(b)});
            if (out.size() > size_t(NEAR_BITS))
                return false;
        }
    for (uint32_t diff = copy.storedCheck ^ stored; diff; diff &= diff - 1) {
        const int j = __builtin_ctz(diff);
        out.push_back({j >> 1, size * 8 + size_t(j)});
    }
    return out.size() <= size_t(NEAR_BITS);
}

bool weakCheckStands(const std::vector<Ref> &copies, const uint8_t *bytes, size_t size, uint32_t stored,
                     const Ref *own)
{
    // Per other read, the differences of its copy nearest the bytes.
    std::map<ReadKey, std::vector<std::pair<int, size_t>>> nearest;
    std::set<ReadKey> others;
    std::vector<std::pair<int, size_t>> diff;
    for (const Ref &x : copies) {
        if (own && readOf(x) == readOf(*own))
            continue;
        others.insert(readOf(x));
        if (!differences(*x.copy, bytes, size, stored, diff))
            continue;
        if (diff.empty() && own)
            return true;
        const auto it = nearest.find(readOf(x));
        if (it == nearest.end() || diff.size() < it->second.size())
            nearest[readOf(x)] = diff;
    }
    if (own && others.empty())
        return true;
    if (nearest.size() < (own ? 1u : 2u))
        return false;
    // Per contested bit, the reads that read it otherwise.
    std::map<std::pair<int, size_t>, int> against;
    for (const auto &[read, bits] : nearest)
        for (const auto &bit : bits)
            against[bit]++;
    const int reads = int(nearest.size()) + (own ? 1 : 0);
    std::vector<int> margins[CHECK_COLUMNS];
    for (const auto &[bit, n] : against) {
        if ((reads - n) - n < 0)
            return false;
        margins[bit.first].push_back((reads - n) - n);
    }
    for (std::vector<int> &m : margins)
        if (m.size() >= 2) {
            std::partial_sort(m.begin(), m.begin() + 2, m.end());
            if (m[0] + m[1] < CHECK_MARGIN)
                return false;
        }
    return true;
}

// The good copy of an AmigaDOS sector whose bytes stand (the first such),
// or null.
const Ref *standingCopy(const std::vector<Ref> &copies, size_t size)
{
    for (const Ref &x : copies)
        if (x.copy->good() && weakCheckStands(copies, x.copy->data.data(), size, x.copy->storedCheck, &x))
            return &x;
    return nullptr;
}

// Whether an IBM disk is an Atari ST's rather than a PC's: more than 80
// cylinders, or a boot sector with neither a PC's jump nor its 55 AA.
bool atariDisk(const Geometry &g, const std::unordered_map<uint32_t, std::vector<Ref>> &placed)
{
    constexpr int PC_SIGNATURE = 510;
    if (g.family != Family::ibm)
        return false;
    if (g.cylinders > 80)
        return true;
    const auto first = placed.find(sectorKey(0, 0, g.first));
    if (first == placed.end())
        return false;
    for (const Ref &x : first->second)
        if (x.copy->good() && x.copy->data.size() > size_t(PC_SIGNATURE + 1)) {
            const std::vector<uint8_t> &d = x.copy->data;
            const bool pc = d[0] == 0xEB || d[0] == 0xE9 || (d[PC_SIGNATURE] == 0x55 && d[PC_SIGNATURE + 1] == 0xAA);
            return !pc;
        }
    return false;
}

// Tracks of the layout with no sector of its family but sync words or
// other families' sectors.
void listOtherTracks(std::span<const TrackRead> reads, const Steps &steps, Recovery &rec)
{
    const Geometry &g = rec.geometry;
    std::map<std::pair<int, int>, Recovery::OtherTrack> tracks;   // (cylinder, head)
    std::set<std::pair<int, int>> own;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder < 0 || cylinder >= g.cylinders)
            continue;
        const std::pair<int, int> key{cylinder, r.head};
        std::set<int> others;
        bool mine = false;
        for (const TrackRead::Id &id : r.ids) {
            const bool ours = sectorFamily(id.family) == sectorFamily(g.family);
            if (!ours)
                others.insert(id.head << 8 | id.sector);
            mine |= ours;
        }
        const int other = int(others.size());
        if (mine) {
            own.insert(key);
            continue;
        }
        if (other == 0 && r.syncWords < FORMATTED_SYNCS)
            continue;
        Recovery::OtherTrack &t = tracks[key];
        t.cylinder = cylinder, t.head = r.head;
        t.syncWords = std::max(t.syncWords, r.syncWords);
        t.otherSectors = std::max(t.otherSectors, other);
    }
    for (const auto &[key, t] : tracks)
        if (!own.contains(key))
            rec.otherTracks.push_back(t);
}

// The copies that lie outside the layout, and the distinct sectors of good
// copies among them.
void listOutside(std::span<const TrackRead> reads, const Steps &steps, Recovery &rec)
{
    const Geometry &g = rec.geometry;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder < 0)
            continue;
        for (const SectorCopy &c : r.copies) {
            Outside why;
            const bool ours = sectorFamily(c.family) == sectorFamily(g.family);
            const int head = sideOf(r, c, rec.sidesByRead);
            if (!ours)
                why = Outside::otherFamily;
            else if (c.cylinder != cylinder)
                why = Outside::otherCylinder;
            else if (namesOtherHead(r, c))
                why = Outside::otherHead;
            else if (cylinder >= g.cylinders)
                why = Outside::pastCylinders;
            else if (head >= g.heads)
                why = Outside::head;
            else if (!g.holdsSector(c.sector))
                why = Outside::sectorNumber;
            else if (c.data.size() != size_t(g.bytes))
                why = Outside::size;
            else
                continue;
            // A copy whose ID is bad names nothing: noise, kept apart (an
            // AmigaDOS sector's not at all).
            if (!c.idOk) {
                if (c.family != Family::amiga)
                    rec.outsideBadId.push_back({&r, &c});
                continue;
            }
            rec.outside.push_back({{&r, &c}, why});
            const bool ofLayout = ours && c.cylinder < g.cylinders && head < g.heads && g.holdsSector(c.sector) &&
                                  c.data.size() == size_t(g.bytes);
            if (c.good() && !ofLayout)
                rec.leftOut.push_back({c.cylinder, head, c.sector, int(c.data.size()), c.family});
        }
    }
    std::sort(rec.leftOut.begin(), rec.leftOut.end());
    rec.leftOut.erase(std::unique(rec.leftOut.begin(), rec.leftOut.end()), rec.leftOut.end());
    rec.goodOutside = int(rec.leftOut.size());
}

// The good copy a sector's bytes come from, or null when it has none; sets
// the status and the count of good copies. Good copies that disagree make a
// conflict, except where one set of bytes is held by two or more of them and
// every other by one alone: a bad read whose CRC matches by chance (one in
// 65,536) does not come back the same, while the bytes written do.
const Ref *chooseGood(const std::vector<Ref> &copies, RecoveredSector &sec)
{
    struct Group {
        const Ref *first;
        int count;
    };
    std::vector<Group> groups;
    for (const Ref &x : copies) {
        if (!x.copy->good())
            continue;
        sec.goodCopies++;
        const auto same = std::find_if(groups.begin(), groups.end(),
                                       [&](const Group &g) { return g.first->copy->data == x.copy->data; });
        if (same == groups.end())
            groups.push_back({&x, 1});
        else
            same->count++;
    }
    if (groups.empty())
        return nullptr;
    const auto top = std::max_element(groups.begin(), groups.end(),
                                      [](const Group &a, const Group &b) { return a.count < b.count; });
    const bool clear = groups.size() == 1 ||
                       (top->count >= 2 && std::all_of(groups.begin(), groups.end(), [&](const Group &g) {
                            return &g == &*top || g.count == 1;
                        }));
    sec.status = clear ? SectorStatus::good : SectorStatus::conflict;
    return clear ? top->first : groups.front().first;
}

}

int detectStep(std::span<const TrackRead> reads)
{
    StepVotes v;
    for (const TrackRead &r : reads)
        v.count(r);
    return v.step();
}

const char *outsideName(Outside why)
{
    switch (why) {
    case Outside::otherCylinder:
        return "names another cylinder";
    case Outside::pastCylinders:
        return "past the last cylinder";
    case Outside::head:
        return "head outside the layout";
    case Outside::sectorNumber:
        return "sector number outside the layout";
    case Outside::otherFamily:
        return "another family's sector";
    case Outside::otherHead:
        return "names the other head";
    case Outside::size:
        break;
    }
    return "other sector size";
}

const char *statusName(SectorStatus s)
{
    switch (s) {
    case SectorStatus::good:
        return "good";
    case SectorStatus::crcError:
        return "crc-error";
    case SectorStatus::conflict:
        return "conflict";
    case SectorStatus::notCaptured:
        return "not-captured";
    case SectorStatus::missing:
        break;
    }
    return "missing";
}

namespace {

// Collects an AmigaDOS sector as collectCopies does; true when it is a sound
// one (its fields lie inside it).
bool collectAmiga(const Field &fd, std::span<const int64_t> indexCells, TrackRead &out, std::span<const uint8_t> cells)
{
    // A sector cut by the end of the stream is no read of it.
    if (!fd.decoded || (!cells.empty() && fd.bit + amiga::FIELD_CELLS > int64_t(cells.size()) * 8))
        return false;
    SectorCopy c;
    c.family = Family::amiga;
    c.cylinder = fd.track, c.head = fd.side, c.sector = fd.sector, c.size = fd.size;
    c.idOk = fd.headerOk && fd.mark == amiga::FORMAT_AMIGADOS;
    c.dataOk = fd.dataOk;
    c.storedCheck = fd.dataSum;
    c.bit = fd.bit;
    c.revolution = int(std::upper_bound(indexCells.begin(), indexCells.end(), fd.bit) - indexCells.begin());
    c.data.assign(fd.data.begin(), fd.data.end());
    if (c.idOk)
        out.ids.push_back({c.cylinder, c.head, c.sector, c.size, Family::amiga});
    if (!cells.empty()) {
        // The whole sector after the sync words keeps the clock rule.
        if (c.dataOk)
            c.clockErrors = clockErrors(cells, fd.bit + amiga::SYNC_CELLS, amiga::FIELD_CELLS - amiga::SYNC_CELLS);
        if (!c.good())
            cellbits::copyOut(cells, fd.bit + amiga::DATA_SUM_CELL, voteCells(amiga::SECTOR_BYTES, Family::amiga), c.cells);
    }
    const bool sound = c.good();
    out.copies.push_back(std::move(c));
    return sound;
}

}

void collectCopies(std::span<const Field> fields, std::span<const int64_t> indexCells, TrackRead &out,
                   std::span<const uint8_t> cells)
{
    // An AmigaDOS sync counts when its header is sound: the search of A1 A1
    // and four ones finds some in any long stretch of cells.
    out.syncs += int(std::count_if(fields.begin(), fields.end(), [](const Field &fd) {
        return fd.family != Family::amiga || (fd.headerOk && fd.mark == amiga::FORMAT_AMIGADOS);
    }));
    int64_t insideUntil = -1;   // end of the last data field with a right CRC
    for (const Field &fd : fields) {
        if (fd.bit < insideUntil)
            continue;
        out.badIds += fd.family == Family::amiga ? fd.decoded && fd.mark == amiga::FORMAT_AMIGADOS && !fd.headerOk
                                                 : fd.mark == MARK_ID && !fd.crcOk();
        if (fd.family == Family::amiga) {
            if (collectAmiga(fd, indexCells, out, cells))
                insideUntil = fd.bit + amiga::FIELD_CELLS;
            continue;
        }
        if (fd.mark == MARK_ID && fd.crcOk())
            out.ids.push_back({fd.track, fd.side, fd.sector, fd.size, fd.family});
        if (fd.mark == MARK_ID || !fd.decoded || fd.id < 0)
            continue;
        const Field &id = fields[size_t(fd.id)];
        if (id.bit < insideUntil)
            continue;
        SectorCopy c;
        c.family = fd.family;
        c.cylinder = id.track, c.head = id.side, c.sector = id.sector, c.size = id.size;
        c.idOk = id.crcOk();
        c.dataOk = fd.crcOk();
        c.deleted = isDeletedMark(fd.mark);
        c.storedCheck = fd.storedCrc;
        c.bit = fd.bit;
        c.revolution = int(std::upper_bound(indexCells.begin(), indexCells.end(), fd.bit) - indexCells.begin());
        c.place = c.revolution > 0 ? fd.bit - indexCells[size_t(c.revolution - 1)] : -1;
        c.data.assign(fd.data.begin(), fd.data.end());
        // Cells of the data field's bytes and CRC, and where they start
        // (after A1 A1 A1 and the mark; of FM, after the mark).
        const bool fm = fd.family == Family::fm;
        const int64_t span = 16 * int64_t(fd.data.size() + CRC_BYTES);
        const int64_t body = fd.bit + (fm ? 16 * int64_t(fd.scale) : 16 * DATA_WORD);
        if (!cells.empty()) {
            if (c.dataOk)
                c.clockErrors = fm ? fm::clockErrors(cells, body, fd.scale, span) : clockErrors(cells, body, span);
            if (!c.good()) {
                const int64_t kept = voteCells(fd.data.size(), fd.family);
                if (fm)
                    fm::gatherCells(cells, body, fd.scale, kept, c.cells);
                else
                    cellbits::copyOut(cells, body, kept, c.cells);
            }
        }
        const bool sound = fd.crcOk() && (!c.idOk || c.clockErrors == 0);
        out.copies.push_back(std::move(c));
        if (sound)
            insideUntil = body + span * (fm ? fd.scale : 1);
    }
}

namespace {

// Whether the sound FM IDs of a slot lie in both of its halves and all name
// head 0.
bool bothHalvesSayHead0(std::span<const Field> fields, int64_t half)
{
    bool first = false, second = false;
    for (const Field &fd : fields)
        if (fd.mark == MARK_ID && fd.crcOk()) {
            if (fd.side != 0)
                return false;
            (fd.bit < half ? first : second) = true;
        }
    return first && second;
}

}

void readSlot(Scanner &scanner, std::span<const uint8_t> cells, TrackRead &out)
{
    collectCopies(scanner.scan(cells, DataLength::fromId, true), {}, out, cells);
    if (out.syncs >= FORMATTED_SYNCS)
        return;
    for (const int scale : FM_SCALES) {
        if (!fm::mayHoldFm(cells, scale))
            continue;
        const std::span<const Field> found = scanner.scanFm(cells, scale);
        if (!anySoundId(found))
            continue;
        // Head 1 from the middle of the slot: on a disk whose IDs name head
        // 0 on both sides, the only word of the side.
        std::vector<Field> fields(found.begin(), found.end());
        const int64_t half = int64_t(TRACK_SLOT_SIZE) * 4;   // a whole slot's middle, cut or not
        if (bothHalvesSayHead0(fields, half))
            for (Field &fd : fields)
                if (fd.mark == MARK_ID && fd.bit >= half)
                    fd.side = 1;
        out.clearFields();
        collectCopies(fields, {}, out, cells);
        out.fm = true;
        out.fmScale = scale;
        return;
    }
}

void dropMisplacedCopies(TrackRead &read)
{
    // The places of sound IDs' copies, by sector; and the least distance
    // between two sectors' middle places.
    std::map<uint32_t, std::vector<int64_t>> places;
    for (const SectorCopy &c : read.copies)
        if (c.idOk && c.place >= 0 && c.family != Family::amiga)
            places[sectorKey(c.cylinder, c.head, c.sector, c.family)].push_back(c.place);
    if (places.size() < 2)
        return;
    std::vector<int64_t> middles;
    for (auto &[key, at] : places) {
        std::sort(at.begin(), at.end());
        middles.push_back(at[at.size() / 2]);
    }
    std::sort(middles.begin(), middles.end());
    int64_t spacing = INT64_MAX;
    for (size_t k = 1; k < middles.size(); k++)
        spacing = std::min(spacing, middles[k] - middles[k - 1]);
    // Within a quarter of that distance, and of half the copy's own data
    // field (sectors lie a field apart at least, though the nearest two
    // with sound IDs may lie far apart).
    auto near = [&](const std::vector<int64_t> &at, int64_t place, int64_t margin) {
        const auto it = std::lower_bound(at.begin(), at.end(), place - margin);
        return it != at.end() && *it <= place + margin;
    };
    const auto dropped = std::remove_if(read.copies.begin(), read.copies.end(), [&](const SectorCopy &c) {
        if (c.idOk || c.place < 0 || c.family == Family::amiga)
            return false;
        const uint32_t own = sectorKey(c.cylinder, c.head, c.sector, c.family);
        const int64_t margin = std::min<int64_t>(spacing / 4, 8 * int64_t(c.data.size()));
        if (const auto it = places.find(own); it != places.end() && near(it->second, c.place, margin))
            return false;
        return std::any_of(places.begin(), places.end(),
                           [&](const auto &p) { return p.first != own && near(p.second, c.place, margin); });
    });
    read.misplaced += int(read.copies.end() - dropped);
    read.copies.erase(dropped, read.copies.end());
}

Geometry geometryHoldingAll(const Recovery &rec)
{
    const Geometry &g = rec.geometry;
    Geometry all = g;
    // Good sectors all of another family: the layout of theirs.
    const bool other = !rec.leftOut.empty() && std::all_of(rec.leftOut.begin(), rec.leftOut.end(), [&](const auto &l) {
        return sectorFamily(l.family) != sectorFamily(g.family) && l.family == rec.leftOut.front().family;
    });
    if (other)
        all = Geometry{0, 0, 0, 0, 1, rec.leftOut.front().family};
    int low = 256, high = -1;
    auto hold = [&](int cylinder, int head, int sector, int bytes) {
        all.cylinders = std::max(all.cylinders, cylinder + 1);
        all.heads = std::max(all.heads, head + 1);
        low = std::min(low, sector), high = std::max(high, sector);
        all.bytes = bytes;
    };
    for (const RecoveredSector &s : rec.sectors)
        if (s.status == SectorStatus::good && !other)
            hold(s.cylinder, s.head, s.sector, g.bytes);
    for (const Recovery::LeftOut &l : rec.leftOut)
        if (sectorFamily(l.family) == sectorFamily(all.family))
            hold(l.cylinder, l.head, l.sector, l.bytes);
    if (high >= low)
        all.first = low, all.sectors = high - low + 1;
    return all;
}

const Layout *layoutHoldingAll(const Recovery &rec)
{
    const Geometry all = geometryHoldingAll(rec);
    const Layout *best = nullptr;
    for (const Layout &l : layouts()) {
        const Geometry &n = l.geometry;
        if (!sameShape(n, all))
            continue;
        // The fewest cylinders that hold them, else the most.
        const int have = best ? best->geometry.cylinders : 0;
        const bool holds = n.cylinders >= all.cylinders, held = have >= all.cylinders;
        if (!best || (holds && (!held || n.cylinders < have)) || (!holds && !held && n.cylinders > have))
            best = &l;
    }
    return best;
}

void missingFiller(int cylinder, int head, int sector, std::span<uint8_t> out)
{
    const std::string text = "-=[MISSING " + std::to_string(cylinder) + "/" + std::to_string(head) + "/" +
                             std::to_string(sector) + "]=-";
    for (size_t at = 0; at < out.size(); at += text.size())
        memcpy(out.data() + at, text.data(), std::min(text.size(), out.size() - at));
}

Recovery recoverDisk(std::span<const TrackRead> reads, const RecoveryOptions &options)
{
    Recovery rec;
    rec.reads = reads;
    rec.sidesByRead = sidesByRead(reads);
    const Steps steps = stepsOf(reads);
    for (const auto &[input, step] : steps)
        rec.step = std::max(rec.step, step);

    // Every copy placed by its read's cylinder, in the order found.
    std::unordered_map<uint32_t, std::vector<Ref>> placed;
    std::set<uint32_t> idsSeen;
    std::set<std::pair<int, int>> captured;   // (cylinder, head); head -1 both
    for (const TrackRead &r : reads) {
        rec.badIds += r.badIds;
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder < 0)
            continue;
        captured.insert({cylinder, r.head});
        for (const TrackRead::Id &id : r.ids) {
            rec.foreignIds += id.cylinder != cylinder;
            idsSeen.insert(sectorKey(id.cylinder, sideOf(r, id.head, rec.sidesByRead), id.sector, id.family));
        }
        for (const SectorCopy &c : r.copies)
            if (c.cylinder == cylinder && c.head < MAX_HEADS && !namesOtherHead(r, c))
                placed[sectorKey(c.cylinder, sideOf(r, c, rec.sidesByRead), c.sector, c.family)].push_back({&r, &c});
    }

    if (options.geometry) {
        rec.geometry = *options.geometry;
        rec.source = GeometrySource::given;
    } else if (options.format) {
        const Layout &l = *options.format;
        const int named = cylindersNamed(reads, steps, l.geometry.family);
        rec.geometry = l.geometry;
        // A layout whose disks come with two counts of cylinders takes the
        // fewer when the IDs name no more.
        const int fewer = l.otherCylinders ? std::min(l.otherCylinders, l.geometry.cylinders) : l.geometry.cylinders;
        const int more = std::max(l.otherCylinders, l.geometry.cylinders);
        const int cylinders = named <= fewer ? fewer : more;
        rec.geometry.cylinders = std::min(std::max(cylinders, named), MAX_CYLINDERS);
        rec.source = GeometrySource::format;
    } else {
        rec.geometry = geometryFromIds(reads, steps, detectFamily(reads), rec);
        rec.source = GeometrySource::ids;
        const auto bootCopies = placed.find(sectorKey(0, 0, 1));
        if (rec.geometry.family == Family::ibm && rec.geometry.first == 1 && bootCopies != placed.end()) {
            const auto good = std::find_if(bootCopies->second.begin(), bootCopies->second.end(),
                                           [](const Ref &x) { return x.copy->good(); });
            const auto bpb = good == bootCopies->second.end() ? std::nullopt : geometryFromBoot(good->copy->data);
            const Geometry &ids = rec.geometry;
            if (bpb && bpb->heads == ids.heads && bpb->sectors == ids.sectors && bpb->bytes == ids.bytes &&
                bpb->cylinders >= ids.cylinders) {
                rec.geometry = *bpb;
                rec.source = GeometrySource::bootSector;
            }
        }
    }
    rec.layout = closestLayout(rec.geometry, atariDisk(rec.geometry, placed));

    const Geometry &g = rec.geometry;
    const size_t bytes = size_t(g.bytes);
    rec.image.assign(size_t(g.imageBytes()), options.fill.value_or(0));
    rec.sectors.reserve(size_t(g.sectorCount()));
    uint8_t *out = rec.image.data();
    std::vector<Ref> sized;
    std::vector<const SectorCopy *> voters;
    for (int c = 0; c < g.cylinders; c++)
        for (int h = 0; h < g.heads; h++) {
            const bool held = captured.contains({c, h}) || captured.contains({c, -1});
            if (!held)
                rec.notCaptured.push_back({c, h});
            for (int s = g.first; s < g.first + g.sectors; s++, out += bytes) {
                RecoveredSector sec;
                sec.cylinder = c, sec.head = h, sec.sector = s;
                sec.idSeen = idsSeen.contains(sectorKey(c, h, s, g.family));
                sized.clear();
                const auto here = placed.find(sectorKey(c, h, s, g.family));
                if (here != placed.end())
                    for (const Ref &x : here->second)
                        if (x.copy->data.size() == bytes)
                            sized.push_back(x);
                sec.copies = int(sized.size());
                const Ref *chosen = chooseGood(sized, sec);
                if (chosen && g.family == Family::amiga) {
                    // The weak check: the good copies' bytes must stand.
                    const Ref *standing = standingCopy(sized, bytes);
                    sec.status = standing ? SectorStatus::good : SectorStatus::crcError;
                    chosen = standing ? standing : chosen;
                }
                if (!chosen && !sized.empty()) {
                    // Bytes that their own check confirms, though no ID
                    // did, before any others.
                    const auto confirmed = std::find_if(sized.begin(), sized.end(), [](const Ref &x) {
                        return x.copy->dataOk && x.copy->clockErrors == 0;
                    });
                    sec.dataConfirmed = confirmed != sized.end();
                    chosen = sec.dataConfirmed ? &*confirmed : &sized.front();
                    sec.status = SectorStatus::crcError;
                }
                if (chosen) {
                    sec.read = chosen->read;
                    sec.copy = chosen->copy;
                    sec.deleted = chosen->copy->deleted;
                    memcpy(out, chosen->copy->data.data(), bytes);
                } else {
                    if (!options.fill)
                        missingFiller(c, h, s, {out, bytes});
                    if (!held)
                        sec.status = SectorStatus::notCaptured;
                }
                if (sec.status == SectorStatus::crcError && sized.size() >= size_t(MIN_VOTERS)) {
                    voters.clear();
                    for (const Ref &x : sized)
                        voters.push_back(x.copy);
                    const Vote v = voteCopies(voters, bytes);
                    if (!sec.dataConfirmed || v.confirmed) {
                        memcpy(out, v.data.data(), bytes);
                        sec.voted = true;
                    }
                    if (v.confirmed && std::any_of(voters.begin(), voters.end(), [](auto *x) { return x->idOk; }) &&
                        (g.family != Family::amiga ||
                         weakCheckStands(sized, v.data.data(), bytes,
                                         amiga::dataChecksum(std::span<const uint8_t, amiga::SECTOR_BYTES>(
                                             v.data.data(), amiga::SECTOR_BYTES)),
                                         nullptr)))
                        sec.status = SectorStatus::good;
                }
                if (sec.status != SectorStatus::good) {
                    if (here != placed.end())
                        sec.seen = here->second;
                } else {
                    tallyInputs(sized, sec.voted, rec.inputs);
                }
                rec.counts[int(sec.status)]++;
                rec.sectors.push_back(std::move(sec));
            }
        }
    listOutside(reads, steps, rec);
    listOtherTracks(reads, steps, rec);
    return rec;
}

}
