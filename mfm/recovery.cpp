// Disk recovery: copies of sectors from many reads, the disk's layout, and
// the choice of one copy per sector.
#include "mfm/recovery.h"
#include "mfm/mfm.h"
#include "mfm/vote.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
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

uint32_t sectorKey(int cylinder, int head, int sector) { return uint32_t(cylinder) << 16 | uint32_t(head) << 8 | uint32_t(sector); }

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

// The cylinders of the standard layout of `sectors` sectors of `bytes` that
// holds `cylinders`, or `cylinders` when none does.
int standardCylinders(int sectors, int bytes, int cylinders)
{
    constexpr int COMMON_512[] = {8, 9, 10, 11, 15, 18, 21, 36};
    constexpr int SHORT = 40, LONG = 80, EIGHT_INCH = 77;
    if (bytes == 1024 && sectors == 8)
        return std::max(cylinders, EIGHT_INCH);
    if (bytes != SECTOR_SIZE || std::find(std::begin(COMMON_512), std::end(COMMON_512), sectors) == std::end(COMMON_512))
        return cylinders;
    return cylinders <= SHORT ? SHORT : std::max(cylinders, LONG);
}

Geometry geometryFromIds(std::span<const TrackRead> reads, const Steps &steps, Recovery &rec)
{
    Geometry g;
    std::map<uint32_t, int> highest;       // track (cylinder, head) -> highest sector number
    std::map<int, int> sizes;
    int formatted = 0;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder >= 0 && r.syncs >= FORMATTED_SYNCS)
            formatted = std::max(formatted, cylinder + 1);
        for (const TrackRead::Id &id : r.ids) {
            if (id.cylinder != cylinder || id.head >= MAX_HEADS || id.sector == 0)
                continue;
            g.cylinders = std::max(g.cylinders, cylinder + 1);
            g.heads = std::max(g.heads, id.head + 1);
            int &h = highest[sectorKey(cylinder, id.head, 0)];
            h = std::max(h, int(id.sector));
            sizes[id.size]++;
        }
    }
    std::map<int, int> spt;
    for (const auto &[track, n] : highest)
        spt[n]++;
    g.sectors = mostCommon(spt);
    g.bytes = sizes.empty() ? SECTOR_SIZE : 128 << std::min(mostCommon(sizes), int(MAX_SIZE_CODE));
    if (g.cylinders > 0) {
        rec.cylinders.ids = g.cylinders;
        rec.cylinders.formatted = formatted;
        rec.cylinders.standard = standardCylinders(g.sectors, g.bytes, std::max(g.cylinders, formatted));
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

// Cells [from, from + count) of `stream` (zero beyond its end), packed.
void keepCells(std::span<const uint8_t> stream, int64_t from, int64_t count, std::vector<uint8_t> &out)
{
    out.assign(size_t((count + 7) / 8), 0);
    for (int64_t i = 0; i < count; i++) {
        const int64_t at = from + i;
        if (size_t(at >> 3) < stream.size() && (stream[size_t(at >> 3)] >> (7 - (at & 7))) & 1)
            out[size_t(i >> 3)] |= uint8_t(0x80 >> (i & 7));
    }
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

// The copies that lie outside the layout, and the distinct sectors of good
// copies among them.
void listOutside(std::span<const TrackRead> reads, const Steps &steps, Recovery &rec)
{
    const Geometry &g = rec.geometry;
    std::vector<uint32_t> good;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder < 0)
            continue;
        for (const SectorCopy &c : r.copies) {
            Outside why;
            if (c.cylinder != cylinder)
                why = Outside::otherCylinder;
            else if (cylinder >= g.cylinders)
                why = Outside::pastCylinders;
            else if (c.head >= g.heads)
                why = Outside::head;
            else if (c.sector == 0 || c.sector > g.sectors)
                why = Outside::sectorNumber;
            else if (c.data.size() != size_t(g.bytes))
                why = Outside::size;
            else
                continue;
            rec.outside.push_back({{&r, &c}, why});
            if (c.good())
                good.push_back(sectorKey(c.cylinder, c.head, c.sector) ^ uint32_t(c.size) << 24);
        }
    }
    std::sort(good.begin(), good.end());
    rec.goodOutside = int(std::unique(good.begin(), good.end()) - good.begin());
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
    case SectorStatus::missing:
        break;
    }
    return "missing";
}

void collectCopies(std::span<const Field> fields, std::span<const int64_t> indexCells, TrackRead &out,
                   std::span<const uint8_t> cells)
{
    out.syncs += int(fields.size());
    int64_t insideUntil = -1;   // end of the last data field with a right CRC
    for (const Field &fd : fields) {
        if (fd.bit < insideUntil)
            continue;
        if (fd.mark == MARK_ID && fd.crcOk())
            out.ids.push_back({fd.track, fd.side, fd.sector, fd.size});
        if (fd.mark == MARK_ID || !fd.decoded || fd.id < 0)
            continue;
        const Field &id = fields[size_t(fd.id)];
        if (id.bit < insideUntil)
            continue;
        SectorCopy c;
        c.cylinder = id.track, c.head = id.side, c.sector = id.sector, c.size = id.size;
        c.idOk = id.crcOk();
        c.dataOk = fd.crcOk();
        c.deleted = isDeletedMark(fd.mark);
        c.storedCrc = fd.storedCrc;
        c.bit = fd.bit;
        c.revolution = int(std::upper_bound(indexCells.begin(), indexCells.end(), fd.bit) - indexCells.begin());
        c.data.assign(fd.data.begin(), fd.data.end());
        if (!cells.empty()) {
            const int64_t body = fd.bit + 16 * DATA_WORD;
            if (c.good())
                c.clockErrors = clockErrors(cells, body, 16 * int64_t(fd.data.size() + CRC_BYTES));
            if (!c.good())
                keepCells(cells, body, voteCells(fd.data.size()), c.cells);
        }
        const bool sound = fd.crcOk() && c.clockErrors == 0;
        out.copies.push_back(std::move(c));
        if (sound)
            insideUntil = fd.bit + 16 * int64_t(4 + fd.data.size() + CRC_BYTES);
    }
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
    const Steps steps = stepsOf(reads);
    for (const auto &[input, step] : steps)
        rec.step = std::max(rec.step, step);

    // Every copy placed by its read's cylinder, in the order found.
    std::unordered_map<uint32_t, std::vector<Ref>> placed;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
        if (cylinder < 0)
            continue;
        for (const TrackRead::Id &id : r.ids)
            rec.foreignIds += id.cylinder != cylinder;
        for (const SectorCopy &c : r.copies)
            if (c.cylinder == cylinder && c.head < MAX_HEADS)
                placed[sectorKey(c.cylinder, c.head, c.sector)].push_back({&r, &c});
    }

    if (options.geometry) {
        rec.geometry = *options.geometry;
        rec.source = GeometrySource::given;
    } else {
        rec.geometry = geometryFromIds(reads, steps, rec);
        rec.source = GeometrySource::ids;
        const auto bootCopies = placed.find(sectorKey(0, 0, 1));
        if (bootCopies != placed.end()) {
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

    const Geometry &g = rec.geometry;
    const size_t bytes = size_t(g.bytes);
    rec.image.assign(size_t(g.imageBytes()), options.fill.value_or(0));
    rec.sectors.reserve(size_t(g.sectorCount()));
    uint8_t *out = rec.image.data();
    std::vector<Ref> sized;
    std::vector<const SectorCopy *> voters;
    for (int c = 0; c < g.cylinders; c++)
        for (int h = 0; h < g.heads; h++)
            for (int s = 1; s <= g.sectors; s++, out += bytes) {
                RecoveredSector sec;
                sec.cylinder = c, sec.head = h, sec.sector = s;
                sized.clear();
                if (const auto it = placed.find(sectorKey(c, h, s)); it != placed.end())
                    for (const Ref &x : it->second)
                        if (x.copy->data.size() == bytes)
                            sized.push_back(x);
                sec.copies = int(sized.size());
                const Ref *chosen = chooseGood(sized, sec);
                if (!chosen && !sized.empty()) {
                    chosen = &sized.front();
                    sec.status = SectorStatus::crcError;
                }
                if (chosen) {
                    sec.read = chosen->read;
                    sec.copy = chosen->copy;
                    sec.deleted = chosen->copy->deleted;
                    memcpy(out, chosen->copy->data.data(), bytes);
                } else if (!options.fill) {
                    missingFiller(c, h, s, {out, bytes});
                }
                if (sec.status == SectorStatus::crcError && sized.size() >= size_t(MIN_VOTERS)) {
                    voters.clear();
                    for (const Ref &x : sized)
                        voters.push_back(x.copy);
                    const Vote v = voteCopies(voters, bytes);
                    memcpy(out, v.data.data(), bytes);
                    sec.voted = true;
                    if (v.confirmed && std::any_of(voters.begin(), voters.end(), [](auto *x) { return x->idOk; }))
                        sec.status = SectorStatus::good;
                }
                if (sec.status != SectorStatus::good) {
                    if (const auto it = placed.find(sectorKey(c, h, s)); it != placed.end())
                        sec.seen = it->second;
                } else {
                    tallyInputs(sized, sec.voted, rec.inputs);
                }
                rec.counts[int(sec.status)]++;
                rec.sectors.push_back(std::move(sec));
            }
    listOutside(reads, steps, rec);
    return rec;
}

}
