// Disk recovery: copies of sectors from many reads, the disk's layout, and
// the choice of one copy per sector.
#include "mfm/recovery.h"
#include "mfm/mfm.h"

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
constexpr int MIN_VOTERS = 3;       // bad copies needed for a byte-wise vote

struct Ref {
    const TrackRead *read;
    const SectorCopy *copy;
};

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

Geometry geometryFromIds(std::span<const TrackRead> reads, const Steps &steps)
{
    Geometry g;
    std::map<uint32_t, int> highest;       // track (cylinder, head) -> highest sector number
    std::map<int, int> sizes;
    for (const TrackRead &r : reads) {
        const int cylinder = logicalCylinder(r, steps);
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

// Byte by byte, the value most copies hold; on a tie the earliest copy's.
void majority(const std::vector<Ref> &copies, uint8_t *out, size_t bytes)
{
    for (size_t i = 0; i < bytes; i++) {
        int best = 0;
        uint8_t value = copies[0].copy->data[i];
        for (size_t a = 0; a < copies.size(); a++) {
            const uint8_t v = copies[a].copy->data[i];
            int n = 0;
            for (const Ref &b : copies)
                n += b.copy->data[i] == v;
            if (n > best)
                best = n, value = v;
        }
        out[i] = value;
    }
}

}

int detectStep(std::span<const TrackRead> reads)
{
    StepVotes v;
    for (const TrackRead &r : reads)
        v.count(r);
    return v.step();
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

void collectCopies(std::span<const Field> fields, std::span<const int64_t> indexCells, TrackRead &out)
{
    int64_t insideUntil = -1;   // end of the last data field with a right CRC
    for (const Field &fd : fields) {
        if (fd.bit < insideUntil)
            continue;
        if (fd.mark == MARK_ID && fd.crcOk())
            out.ids.push_back({fd.track, fd.side, fd.sector, fd.size});
        if (fd.mark != MARK_DATA || !fd.decoded || !fd.introduced)
            continue;
        const Field &id = fields[size_t(fd.id)];
        if (id.bit < insideUntil)
            continue;
        SectorCopy c;
        c.cylinder = id.track, c.head = id.side, c.sector = id.sector, c.size = id.size;
        c.idOk = id.crcOk();
        c.dataOk = fd.crcOk();
        c.bit = fd.bit;
        c.revolution = int(std::upper_bound(indexCells.begin(), indexCells.end(), fd.bit) - indexCells.begin());
        c.data.assign(fd.data.begin(), fd.data.end());
        out.copies.push_back(std::move(c));
        if (fd.crcOk())
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
        rec.geometry = geometryFromIds(reads, steps);
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
    for (int c = 0; c < g.cylinders; c++)
        for (int h = 0; h < g.heads; h++)
            for (int s = 1; s <= g.sectors; s++, out += bytes) {
                RecoveredSector sec{c, h, s};
                sized.clear();
                if (const auto it = placed.find(sectorKey(c, h, s)); it != placed.end())
                    for (const Ref &x : it->second)
                        if (x.copy->data.size() == bytes)
                            sized.push_back(x);
                sec.copies = int(sized.size());
                const Ref *chosen = nullptr;
                for (const Ref &x : sized) {
                    if (!x.copy->good())
                        continue;
                    sec.goodCopies++;
                    if (!chosen)
                        chosen = &x, sec.status = SectorStatus::good;
                    else if (x.copy->data != chosen->copy->data)
                        sec.status = SectorStatus::conflict;
                }
                if (!chosen && !sized.empty()) {
                    chosen = &sized.front();
                    sec.status = SectorStatus::crcError;
                }
                if (chosen) {
                    sec.read = chosen->read;
                    sec.copy = chosen->copy;
                    if (!chosen->copy->good() && sized.size() >= size_t(MIN_VOTERS))
                        majority(sized, out, bytes);
                    else
                        memcpy(out, chosen->copy->data.data(), bytes);
                } else if (!options.fill) {
                    missingFiller(c, h, s, {out, bytes});
                }
                rec.counts[int(sec.status)]++;
                rec.sectors.push_back(sec);
            }
    return rec;
}

}
