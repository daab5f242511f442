// FM (single density): the search at any offset and scale, the rules a good
// copy keeps, synthetic FM flux through the whole decoder (clean, a lost
// stretch of lock, a vote, Acorn DFS's sides, a mixed disk), and the image
// files.
#include "flux_builder.h"
#include "flux_files.h"
#include "helpers.h"
#include "mfm/fluxcells.h"
#include "mfm/fm.h"
#include "mfm/imagefile.h"
#include "mfm/recovery.h"
#include "mfm/sectormap.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fm = mfm::fm;
using mfm::Family;

constexpr double SAMPLE_HZ = 40e6;

// The sectors of one FM track: numbers from `first`, bytes from sectorData.
struct FmTrack {
    std::vector<std::vector<uint8_t>> data;
    std::vector<fm::Sector> sectors;
};

FmTrack fmTrack(int cylinder, int idHead, int head, int count, int bytes, int first)
{
    FmTrack t;
    uint8_t code = 0;
    while ((128 << code) < bytes)
        code++;
    for (int s = 0; s < count; s++) {
        t.data.push_back(sectorData(cylinder, head, first + s, size_t(bytes)));
        t.sectors.push_back({uint8_t(cylinder), uint8_t(idHead), uint8_t(first + s), code, {}, false, false});
    }
    for (size_t s = 0; s < t.sectors.size(); s++)
        t.sectors[s].data = t.data[s];
    return t;
}


// `cells` moved later by `shift` cells.
std::vector<uint8_t> shifted(const std::vector<uint8_t> &cells, int shift)
{
    std::vector<uint8_t> out(cells.size() + 2, 0);
    for (int64_t i = 0; i < int64_t(cells.size()) * 8; i++)
        if (cellAt(cells, i))
            setCell(out, i + shift, true);
    return out;
}

// A flux file of tracks of cells (revolutions of `rev` cells at `rate`),
// decoded track by track as rawimage does.
struct FluxTrackCells {
    int cylinder, head;
    std::vector<uint8_t> revolution;
    int rate;
    std::vector<std::vector<uint8_t>> later = {};   // the revolutions after the first, when they differ
};

std::string writeScp(const std::vector<FluxTrackCells> &tracks, int revolutions, const FluxNoise &base,
                     const std::vector<CellSpan> &damage = {})
{
    std::vector<fluxfiles::ScpTrack> scp;
    for (const FluxTrackCells &t : tracks) {
        const int64_t rev = int64_t(t.revolution.size()) * 8;
        std::vector<uint8_t> cells;
        for (int r = 0; r < revolutions; r++) {
            const std::vector<uint8_t> &one = r == 0 || t.later.empty() ? t.revolution : t.later[size_t(r - 1)];
            cells.insert(cells.end(), one.begin(), one.end());
        }
        FluxNoise noise = base;
        noise.revolutionCells = rev;
        noise.seed = uint64_t(t.cylinder * 2 + t.head + 1);
        if (t.cylinder == 0 && t.head == 0)
            noise.damage = damage;
        std::vector<int64_t> at;
        const auto flux = buildFlux(cells, revolutions * rev, SAMPLE_HZ * mfm::cellSeconds(t.rate), noise, &at);
        scp.push_back(scpTrack(t.cylinder * 2 + t.head, flux, at, rev, revolutions));
    }
    const std::string path = tempDir() + "/fm.scp";
    writeFile(path, fluxfiles::scpImage(scp));
    return path;
}

std::vector<mfm::TrackRead> decodeFlux(const std::vector<FluxTrackCells> &tracks, int revolutions, const FluxNoise &base,
                                       const std::vector<CellSpan> &damage = {})
{
    const mfm::FluxFile file(writeScp(tracks, revolutions, base, damage));
    mfm::FluxCells work;
    mfm::Scanner scanner;
    std::vector<mfm::TrackRead> reads(file.tracks().size());
    for (size_t i = 0; i < reads.size(); i++)
        EXPECT_TRUE(mfm::decodeFluxTrack(file, i, 0, work, scanner, reads[i]));
    return reads;
}

// The clean FM flux of a whole disk of a named layout (Acorn DFS with head 0
// in the IDs of both sides) and its plain image.
std::string diskFlux(const mfm::Layout &l, int cylinders, std::vector<uint8_t> &image)
{
    const mfm::Geometry &g = l.geometry;
    const int trackBytes = l.revolutionBytes();
    std::vector<FluxTrackCells> tracks;
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < g.heads; h++) {
            const FmTrack t = fmTrack(c, l.headZeroBothSides ? 0 : h, h, g.sectors, g.bytes, g.first);
            for (const auto &d : t.data)
                image.insert(image.end(), d.begin(), d.end());
            tracks.push_back({c, h, fm::encodeTrack(t.sectors, fm::gapsFor(g.sectors, g.bytes, trackBytes), trackBytes, 2),
                              l.rateKbps * 2000});
        }
    FluxNoise noise;
    noise.jitter = 0.04;
    return writeScp(tracks, 2, noise);
}

bool onPath(const char *program) { return runProgram("sh", {"-c", std::string("command -v ") + program}).status == 0; }

}

// Every field of a 3740 track is found at any cell offset, in streams of
// FM's own cells and of cells twice as fine, and nothing in it is taken for
// MFM; a good copy needs both CRCs and every clock cell right.
TEST(Fm, FieldsAtAnyOffsetAndScale)
{
    FmTrack t = fmTrack(5, 0, 0, 26, 128, 1);
    t.sectors[3].deleted = true;
    t.sectors[7].badData = true;
    const fm::Gaps gaps = fm::gapsFor(26, 128, 5208);
    mfm::Scanner scanner;
    for (const int scale : {1, 2}) {
        std::vector<uint8_t> one = fm::encodeTrack(t.sectors, gaps, 5208, scale);
        // Sector 10: a clock cell of its data missing (its bytes and CRC
        // stand); sector 11 (at scale 2): a transition between two FM cells.
        const int64_t perSector = 16 * int64_t(gaps.sync + 7 + gaps.gap2 + gaps.sync + 1 + 128 + 2 + gaps.gap3);
        const int64_t data10 =
            16 * int64_t(gaps.gap4a + gaps.sync + 1 + gaps.gap1 + gaps.sync + 7 + gaps.gap2 + gaps.sync + 1) +
            10 * perSector;
        setCell(one, (data10 + 16 * 20) * scale, false);
        if (scale == 2)
            setCell(one, (data10 + perSector + 16 * 30) * scale + 1, true);
        for (const int shift : {0, 1, 3, 7, 13}) {
            const std::vector<uint8_t> cells = shifted(one, shift);
            const std::string what = "scale " + std::to_string(scale) + " shift " + std::to_string(shift);
            mfm::TrackRead mfmOnly;
            mfm::collectCopies(scanner.scan(cells, mfm::DataLength::fromId, true), {}, mfmOnly, cells);
            EXPECT_EQ(mfmOnly.syncs, 0) << what;
            mfm::TrackRead r;
            mfm::readSlot(scanner, cells, r);
            EXPECT_TRUE(r.fm) << what;
            EXPECT_EQ(r.fmScale, scale) << what;
            EXPECT_EQ(r.ids.size(), 26u) << what;
            ASSERT_EQ(r.copies.size(), 26u) << what;
            for (size_t s = 0; s < 26; s++) {
                const mfm::SectorCopy &c = r.copies[s];
                const bool broken = s == 7 || s == 10 || (scale == 2 && s == 11);
                EXPECT_EQ(c.family, Family::fm);
                EXPECT_EQ(c.sector, s + 1) << what;
                EXPECT_EQ(c.good(), !broken) << what << " sector " << s + 1;
                EXPECT_EQ(c.dataOk, s != 7) << what << " sector " << s + 1;
                EXPECT_EQ(c.deleted, s == 3) << what;
                EXPECT_EQ(c.data, t.data[s]) << what << " sector " << s + 1;
                EXPECT_EQ(c.bit, c.bit / scale * scale + shift % scale) << what;
            }
        }
    }
    // An MFM track holds no FM field.
    const std::vector<uint8_t> mfmTrack = trackCells(0, 0, 9, mfm::RATE_250K, 1);
    EXPECT_TRUE(scanner.scanFm(mfmTrack, 1).empty());
}

// Synthetic FM flux through the whole decoder and the choice of copies.
TEST(Fm, FluxDisks)
{
    struct Case {
        const char *name;
        const char *layout;     // FM layout of every track but `mfmFrom`'s
        int cylinders, revolutions;
        double jitter;
        int mfmFrom;            // cylinders from here MFM (9 x 512 from 1), or -1
        std::vector<CellSpan> damage;   // on track 0.0, from the first revolution's start
        int voted;              // the sector of track 0.0 only a vote holds, or -1
        int kbps = 0;           // another data rate than the layout's (at 360 rpm)
    };
    // Track 0.0 of the 3740 (cells of 500 kbit/s MFM, 360 rpm): sector s's
    // data field starts near this cell.
    const fm::Gaps g3740 = fm::gapsFor(26, 128, 5208);
    const int64_t per = 2 * 16 * int64_t(g3740.sync + 7 + g3740.gap2 + g3740.sync + 1 + 128 + 2 + g3740.gap3);
    const int64_t lead = 2 * 16 * int64_t(g3740.gap4a + g3740.sync + 1 + g3740.gap1 + g3740.sync + 7 + g3740.gap2 + g3740.sync);
    auto data3740 = [&](int s) { return lead + per * (s - 1); };
    const int64_t rev3740 = 5208 * 32;
    const Case cases[] = {
        {"acorn.dfs.ds clean", "acorn.dfs.ds", 3, 2, 0.04, -1, {}, -1},
        {"ibm.3740, jitter", "ibm.3740", 2, 3, 0.06, -1, {}, -1},
        {"ibm.3740, lock lost over sectors 3-5", "ibm.3740", 1, 3, 0.03, -1, {{data3740(3) + 200, 3 * per}}, -1},
        {"ibm.3740, sector 9 hit in every revolution", "ibm.3740", 1, 5, 0.03, -1,
         {{data3740(9) + 300, 12},
          {rev3740 + data3740(9) + 1100, 12},
          {2 * rev3740 + data3740(9) + 1900, 12},
          {3 * rev3740 + data3740(9) + 2700, 12},
          {4 * rev3740 + data3740(9) + 3500, 12}},
         9},
        {"track 0 FM, the rest MFM", "ibm.fm9", 3, 2, 0.04, 1, {}, -1},
        {"acorn.dfs.ds at 150 kbit/s", "acorn.dfs.ds", 2, 2, 0.04, -1, {}, -1, 150},
        {"ibm.3740 at 300 kbit/s", "ibm.3740", 2, 2, 0.04, -1, {}, -1, 300},
    };
    for (const Case &c : cases) {
        const bool mixed = c.mfmFrom >= 0;
        const mfm::Layout *l = mixed ? nullptr : mfm::findLayout(c.layout);
        // The mixed disk's FM track: nine sectors of 512 at 250 kbit/s, 300 rpm.
        const mfm::Geometry g = l ? l->geometry : mfm::Geometry{c.cylinders, 2, 9, 512, 1, Family::ibm};
        const int rateKbps = c.kbps ? c.kbps : l ? l->rateKbps : 250, rpm = c.kbps ? 360 : l ? l->rpm : 300;
        const int trackBytes = rateKbps * 1000 / 8 * 60 / rpm;
        const bool dfs = l && l->headZeroBothSides;
        std::vector<FluxTrackCells> tracks;
        std::vector<uint8_t> image;
        for (int cyl = 0; cyl < c.cylinders; cyl++)
            for (int h = 0; h < g.heads; h++) {
                if (mixed && cyl >= c.mfmFrom) {
                    const auto cells = trackCells(cyl, h, 9, mfm::RATE_250K, 1);
                    tracks.push_back({cyl, h, cells, mfm::RATE_250K});
                    for (int s = 1; s <= 9; s++) {
                        const auto d = sectorData(cyl, h, s);
                        image.insert(image.end(), d.begin(), d.end());
                    }
                    continue;
                }
                const FmTrack t = fmTrack(cyl, dfs ? 0 : h, h, g.sectors, g.bytes, g.first);
                for (const auto &d : t.data)
                    image.insert(image.end(), d.begin(), d.end());
                // FM at R is written in cells of MFM at 2R.
                tracks.push_back({cyl, h, fm::encodeTrack(t.sectors, fm::gapsFor(g.sectors, g.bytes, trackBytes), trackBytes, 2),
                                  rateKbps * 2000});
            }
        FluxNoise noise;
        noise.jitter = c.jitter, noise.peakShift = 0.05;
        const std::vector<mfm::TrackRead> reads = decodeFlux(tracks, c.revolutions, noise, c.damage);
        for (const mfm::TrackRead &r : reads)
            EXPECT_EQ(r.fm, !mixed || r.physical < c.mfmFrom) << c.name << " track " << r.physical;
        const mfm::Recovery rec = mfm::recoverDisk(reads, {});
        EXPECT_EQ(rec.sidesByRead, dfs && g.heads == 2) << c.name;
        if (l) {
            EXPECT_EQ(rec.layout, l) << c.name;
        }
        EXPECT_EQ(rec.geometry.heads, g.heads) << c.name;
        EXPECT_EQ(rec.count(mfm::SectorStatus::conflict), 0) << c.name;
        EXPECT_EQ(rec.goodOutside, 0) << c.name;
        int good = 0;
        for (const mfm::RecoveredSector &s : rec.sectors) {
            if (s.cylinder >= c.cylinders)
                continue;
            good += s.status == mfm::SectorStatus::good;
            EXPECT_EQ(s.voted, s.cylinder == 0 && s.head == 0 && s.sector == c.voted)
                << c.name << " " << s.cylinder << "." << s.head << "." << s.sector;
        }
        EXPECT_EQ(good, int(image.size()) / g.bytes) << c.name;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), rec.image.begin())) << c.name;
        const std::string text = mfm::geometryText(rec);
        EXPECT_NE(text.find(mixed ? "Encoding: FM on track 0.0, track 0.1; MFM on the others" : "Encoding: FM, "),
                  std::string::npos) << c.name << "\n" << text;
    }
}

// rawimage on FM flux: each image format holds the disk or is refused;
// ImageDisk files carry FM modes and libdsk reads them back.
TEST(Fm, ImageFilesReadBackInLibdsk)
{
    const bool haveLibdsk = onPath("dsktrans");
    struct Case {
        const char *layout;
        int cylinders;
        uint8_t mode;           // ImageDisk mode of every track
        const char *rate;       // as libdsk names it
        std::vector<std::pair<const char *, const char *>> refused;   // extension, message
        const char *own;        // the image of its own, or null
    };
    const Case cases[] = {
        {"ibm.3740", 77, 0, "HD",
         {{"ssd", "an .ssd holds single-sided Acorn DFS disks only"}, {"msa", "MSA holds Atari ST layouts only"},
          {"adf", "an .adf holds AmigaDOS disks only, not an FM disk (ibm.3740)"}}, nullptr},
        {"acorn.dfs.ds", 40, 2, "SD", {{"ssd", "an .ssd holds single-sided"}}, "dsd"},
        {"acorn.dfs.ss", 40, 2, "SD", {{"dsd", "a .dsd holds double-sided"}}, "ssd"},
    };
    for (const Case &c : cases) {
        const mfm::Layout &l = *mfm::findLayout(c.layout);
        std::vector<uint8_t> image;
        const std::string scp = diskFlux(l, c.cylinders, image), dir = tempDir();
        const std::string plain(image.begin(), image.end());
        RunResult r = runProgram(RAWIMAGE_PATH, {"-o", dir + "/disk.imd", scp});
        EXPECT_EQ(r.status, 0) << c.layout << "\n" << r.out;
        EXPECT_NE(r.out.find("Encoding: FM, "), std::string::npos) << r.out;
        const std::string imd = readFile(dir + "/disk.imd");
        // Every track record's mode: after the comment, then after each
        // track's header, map and sectors (all compressed or normal).
        size_t at = imd.find('\x1A') + 1, tracks = 0;
        while (at + 5 <= imd.size()) {
            EXPECT_EQ(uint8_t(imd[at]), c.mode) << c.layout << " track " << tracks;
            const size_t sectors = uint8_t(imd[at + 3]), bytes = 128u << uint8_t(imd[at + 4]);
            const bool cylMap = imd[at + 2] & 0x80, headMap = imd[at + 2] & 0x40;
            at += 5 + sectors * (1 + cylMap + headMap);
            for (size_t k = 0; k < sectors && at < imd.size(); k++)
                at += 1 + (imd[at] == 2 ? 1 : imd[at] == 1 ? bytes : 0);
            tracks++;
        }
        EXPECT_EQ(tracks, size_t(c.cylinders * l.geometry.heads)) << c.layout;
        if (c.own) {
            const std::string own = dir + "/disk." + c.own;
            EXPECT_EQ(runProgram(RAWIMAGE_PATH, {"-q", "-o", own, scp}).status, 0) << c.layout;
            EXPECT_TRUE(readFile(own) == plain) << c.layout;
        }
        for (const auto &[ext, message] : c.refused) {
            const std::string out = dir + "/no." + ext;
            r = runProgram(RAWIMAGE_PATH, {"-q", "-o", out, scp});
            EXPECT_EQ(r.status, 2) << c.layout << " ." << ext;
            EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
            EXPECT_FALSE(std::filesystem::exists(out)) << out;
        }
        if (!haveLibdsk)
            continue;
        const mfm::Geometry &g = l.geometry;
        const std::string home = tempDir();
        const std::string rc = "[meant]\nsides = alt\ncylinders = " + std::to_string(c.cylinders) + "\nheads = " +
                               std::to_string(g.heads) + "\nsectors = " + std::to_string(g.sectors) + "\nsecsize = " +
                               std::to_string(g.bytes) + "\nsecbase = " + std::to_string(g.first) + "\ndatarate = " +
                               c.rate + "\nfm = Y\n";
        writeFile(home + "/.libdskrc", std::vector<uint8_t>(rc.begin(), rc.end()));
        r = runProgram("env", {"HOME=" + home, "timeout", "20", "dsktrans", "-format", "meant", "-itype", "imd",
                               dir + "/disk.imd", "-otype", "raw", dir + "/back.img"});
        EXPECT_EQ(r.status, 0) << c.layout << r.all().substr(r.all().size() > 300 ? r.all().size() - 300 : 0);
        EXPECT_TRUE(readFile(dir + "/back.img") == plain) << c.layout;
    }
    if (!haveLibdsk)
        GTEST_SKIP() << "dsktrans not installed: images checked, libdsk not run";
}

// A damaged ID of one sector whose number reads as another's (a bit off)
// names nothing: its copy lies where the sound IDs of its own sector put
// it, and is not filed, kept or voted under the other number.
TEST(Fm, ADamagedIdInAnotherSectorsPlaceNamesNothing)
{
    constexpr int trackBytes = 3125;
    FmTrack t = fmTrack(0, 0, 0, 10, 256, 0);
    t.sectors[2].badData = true;    // sector 2 is never read whole
    const fm::Gaps gaps = fm::gapsFor(10, 256, trackBytes);
    const std::vector<uint8_t> sound = fm::encodeTrack(t.sectors, gaps, trackBytes, 2);
    // In the first revolution sector 6's ID reads 2 (6 with a bit lost),
    // its CRC wrong; its data field is whole.
    t.sectors[6].sector = 2;
    t.sectors[6].badId = true;
    const std::vector<uint8_t> damaged = fm::encodeTrack(t.sectors, gaps, trackBytes, 2);
    FluxNoise noise;
    noise.jitter = 0.03;
    const std::vector<mfm::TrackRead> reads =
        decodeFlux({{0, 0, damaged, mfm::RATE_250K, {sound, sound}}}, 3, noise);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_GE(reads[0].misplaced, 1);
    for (const mfm::SectorCopy &c : reads[0].copies)
        EXPECT_FALSE(c.sector == 2 && c.data == t.data[6]) << "sector 6's bytes kept as a copy of 2";
    mfm::RecoveryOptions options;
    options.geometry = mfm::Geometry{1, 1, 10, 256, 0, Family::fm};
    const mfm::Recovery rec = mfm::recoverDisk(reads, options);
    EXPECT_EQ(rec.count(mfm::SectorStatus::good), 9);
    const mfm::RecoveredSector &two = rec.sectors[2];
    EXPECT_EQ(two.status, mfm::SectorStatus::crcError);
    EXPECT_FALSE(two.dataConfirmed);
    EXPECT_FALSE(std::equal(t.data[6].begin(), t.data[6].end(), rec.image.begin() + 2 * 256));
}
