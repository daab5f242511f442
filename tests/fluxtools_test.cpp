// rawimage and flux2raw on flux files, end to end on the real executables:
// the real 360 KB capture in both formats, a double-stepped disk, a merge of
// flux with a raw capture, and broken flux files.
#include "flux_builder.h"
#include "flux_files.h"
#include "helpers.h"
#include "mfm/fluxcells.h"
#include "mfm/layout.h"
#include "mfm/pll.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

namespace {

const std::string fixture = FLUX_FIXTURE_DIR;

RunResult rawimage(const std::vector<std::string> &args) { return runProgram(RAWIMAGE_PATH, args); }
RunResult flux2raw(const std::vector<std::string> &args) { return runProgram(FLUX2RAW_PATH, args); }

constexpr int CYLINDERS = 10, SECTORS = 9;
const char *const LAYOUT = "10:2:9";
constexpr double SCP_CELL_TICKS = 80;   // 2 us at 40 MHz: 250 kbit/s

// An SCP image of a 10-cylinder, 9-sector disk read in an 80-track drive:
// cylinder c on physical track 2c, two revolutions of mildly noisy flux, the
// tracks between empty. `skip` leaves out one track (cylinder * 2 + head).
fluxfiles::Bytes doubleSteppedScp(int skip = -1)
{
    std::vector<fluxfiles::ScpTrack> tracks;
    const int64_t rev = revolutionCells(mfm::RATE_250K);
    for (int c = 0; c < CYLINDERS; c++)
        for (int h = 0; h < 2; h++) {
            if (c * 2 + h == skip)
                continue;
            const auto cells = trackCells(c, h, SECTORS, mfm::RATE_250K, 2);
            FluxNoise noise;
            noise.jitter = 0.04, noise.wobble = 0.01, noise.revolutionCells = rev, noise.seed = uint64_t(c * 2 + h + 1);
            std::vector<int64_t> at;
            const auto flux = buildFlux(cells, 2 * rev, SCP_CELL_TICKS, noise, &at);
            fluxfiles::ScpTrack t{(2 * c) * 2 + h, {{}, {}}};
            for (size_t i = 0; i < flux.size(); i++)
                t.revolutions[at[i] < rev ? 0 : 1].push_back(flux[i]);
            tracks.push_back(std::move(t));
        }
    return fluxfiles::scpImage(tracks);
}

std::string diskImage()
{
    std::string image;
    for (int c = 0; c < CYLINDERS; c++)
        for (int h = 0; h < 2; h++)
            for (int s = 1; s <= SECTORS; s++) {
                const auto d = sectorData(c, h, s);
                image.append(d.begin(), d.end());
            }
    return image;
}

}

TEST(FluxTools, RealCaptureInBothFormatsGivesTheReferenceImage)
{
    const std::string dir = tempDir(), reference = readFile(fixture + "/sector_test_360k.img");
    ASSERT_EQ(reference.size(), 368640u);
    for (const std::string &input : {fixture + "/sector_test_360k.scp", fixture + "/kryoflux/track17.1.raw"}) {
        const RunResult r = rawimage({"--report", dir + "/r.json", "-o", dir + "/d.img", input});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Format: ibm.360, 40 cylinders, 2 heads, 9 sectors of 512 bytes (detected)"),
                  std::string::npos) << r.out;
        EXPECT_NE(r.out.find("720 of 720 sectors good (100.0%)"), std::string::npos);
        EXPECT_TRUE(readFile(dir + "/d.img") == reference) << input;
        const auto report = nlohmann::json::parse(readFile(dir + "/r.json"));
        const auto &first = report["sectors"][0];
        EXPECT_EQ(first["copies"], 3);   // three revolutions
        EXPECT_EQ(first["source"]["revolution"], 1);
        EXPECT_EQ(first["source"]["head"], 0);
    }

    const RunResult f = flux2raw({fixture + "/sector_test_360k.scp", dir + "/c.raw"});
    EXPECT_EQ(f.status, 0) << f.out;
    EXPECT_EQ(f.out, dir + "/c.raw: 80 tracks, 2 heads, 250 kbit/s, 2 revolutions per track kept, drive B\n");
    const RunResult s = runProgram(RAWSCAN_PATH, {dir + "/c.raw", "B", "-1", "binary", dir + "/c.st"});
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.out.find("crc Error"), std::string::npos);
    EXPECT_TRUE(readFile(dir + "/c.st") == reference);
}

TEST(FluxTools, DoubleSteppedDiskMergedWithARawCapture)
{
    const std::string dir = tempDir(), scp = dir + "/d.scp", image = diskImage();
    writeFile(scp, doubleSteppedScp(4 * 2 + 1));   // cylinder 4 head 1 not read
    // (A disk of 10 cylinders has no standard layout: it is given.)
    RunResult r = rawimage({"-g", LAYOUT, "-o", dir + "/d.img", scp});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.rfind("Double-stepped: a 10-cylinder disk read in an 80-track drive", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("171 of 180 sectors good (95.0%): 0 crc error, 0 missing, 0 conflicts, 9 not captured"),
              std::string::npos);

    // A raw capture of the same disk that lacks other sectors fills the gap.
    std::vector<uint8_t> capture;
    for (int c = 0; c < CYLINDERS; c++) {
        const auto slot = formattedSlot(c, SECTORS, 99 + c);
        capture.insert(capture.end(), slot.begin(), slot.end());
    }
    writeFile(dir + "/c.raw", capture);
    ASSERT_EQ(runProgram(DAMAGE_PATH, {dir + "/c.raw", dir + "/worn.raw", "0:0:1:gone", "7:1:9:crc"}).status, 0);
    r = rawimage({"-q", "-g", LAYOUT, "-o", dir + "/m.img", scp, dir + "/worn.raw"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(readFile(dir + "/m.img") == image);

    // flux2raw keeps every second track as its cylinder; rawscan reads it.
    writeFile(scp, doubleSteppedScp());
    const RunResult f = flux2raw({scp, dir + "/f.raw", "A"});
    EXPECT_EQ(f.status, 0) << f.out;
    EXPECT_NE(f.out.find("double-stepped disk (read in an 80-track drive)"), std::string::npos) << f.out;
    const RunResult s = runProgram(RAWSCAN_PATH, {dir + "/f.raw", "A", "-1", "binary", dir + "/f.st"});
    EXPECT_TRUE(readFile(dir + "/f.st") == image) << s.out.substr(0, 2000);
}

// st2raw lays out a seeded image of each FM layout (by --format or by the
// image's name); rawimage finds the layout and reads the same image back. An
// image a sector short is refused, nothing written.
TEST(FluxTools, FmImagesThroughSt2rawAndBack)
{
    struct Case {
        const char *layout, *file;
        int cylinders;
        bool byName;   // .ssd, .dsd: no --format
    };
    const Case cases[] = {
        {"ibm.3740", "cpm.img", 77, false},
        {"acorn.dfs.ss", "bbc.ssd", 40, true},
        {"acorn.dfs.ds", "bbc.dsd", 80, true},
        {"trs80.sssd", "trs.img", 35, false},
    };
    const std::string dir = tempDir();
    std::mt19937 rng(3740);
    for (const Case &c : cases) {
        const mfm::Geometry &g = mfm::findLayout(c.layout)->geometry;
        std::vector<uint8_t> image(size_t(c.cylinders * g.heads * g.sectors * g.bytes));
        for (uint8_t &b : image)
            b = uint8_t(rng());
        const std::string in = dir + "/" + c.file, raw = dir + "/fm.raw", out = dir + "/fm.img";
        auto st2raw = [&] {
            return runProgram(ST2RAW_PATH, c.byName ? std::vector<std::string>{in, raw}
                                                    : std::vector<std::string>{"-f", c.layout, in, raw});
        };
        writeFile(in, std::vector<uint8_t>(image.begin(), image.end() - g.bytes));
        RunResult r = st2raw();
        EXPECT_EQ(r.status, 2) << c.layout;
        EXPECT_NE(r.err.find("st2raw: " + in + ": unsupported " + c.layout + " image size"), std::string::npos)
            << r.err;
        EXPECT_FALSE(std::filesystem::exists(raw));

        writeFile(in, image);
        r = st2raw();
        ASSERT_EQ(r.status, 0) << c.layout << r.all();
        r = rawimage({"-o", out, raw});
        EXPECT_EQ(r.status, 0) << c.layout << r.out;
        const std::string heads = std::to_string(g.heads) + (g.heads == 1 ? " head, " : " heads, ");
        EXPECT_EQ(r.out.rfind(std::string("Format: ") + c.layout + ", " + std::to_string(c.cylinders) + " cylinders, " +
                                  heads + std::to_string(g.sectors) + " sectors of " + std::to_string(g.bytes) +
                                  " bytes (detected)\n", 0), 0u) << r.out.substr(0, 200);
        EXPECT_TRUE(readFile(out) == std::string(image.begin(), image.end())) << c.layout;
        // Named, the layout keeps the disk's cylinders (35 of a TRS-80's 35 or 40).
        r = rawimage({"-q", "-f", c.layout, "-o", out, raw});
        EXPECT_EQ(r.status, 0) << c.layout << r.out;
        EXPECT_TRUE(readFile(out) == std::string(image.begin(), image.end())) << c.layout << " with --format";
        if (g.heads == 1) {
            // A capture cut inside its last slot: what is left of head 0's
            // track there stays head 0's, the disk single-sided.
            std::filesystem::resize_file(raw, uint64_t(c.cylinders - 1) * 65536 + 20000);
            r = rawimage({"-o", out, raw});
            EXPECT_NE(r.out.find(", 1 head, "), std::string::npos) << c.layout << r.out.substr(0, 300);
        }
        std::filesystem::remove(raw);
    }
}

// A rate given with -r at which nothing decodes: the rate the flux looks
// like is named.
TEST(FluxTools, AWrongRateIsNamed)
{
    const std::string dir = tempDir();
    const RunResult r = rawimage({"-r", "500", "-o", dir + "/d.img", fixture + "/sector_test_360k.scp"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("rawimage: no sector IDs decode at 500 kbit/s; the flux looks like 250 kbit/s: drop -r\n"),
              std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/d.img"));
}

TEST(FluxTools, BrokenFluxFiles)
{
    const std::string dir = tempDir();
    const auto good = doubleSteppedScp();
    const std::string img = dir + "/out.img";
    writeFile(img, {'o', 'l', 'd'});

    // Cut inside the track table: nothing can be read, nothing is written.
    writeFile(dir + "/cut.scp", std::vector<uint8_t>(good.begin(), good.begin() + 40));
    for (const auto &run : {rawimage({"-o", img, dir + "/cut.scp"}), flux2raw({dir + "/cut.scp", img})}) {
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(dir + "/cut.scp: "), std::string::npos) << run.all();
        EXPECT_EQ(readFile(img), "old");
    }

    // One track's revolution points past the end: that track is named and
    // left unread, the rest decoded.
    auto broken = good;
    fluxfiles::put32(broken, fluxfiles::scpRevolutionEntry(broken, 2 * 2 + 0, 1) + 8, uint32_t(broken.size()));
    writeFile(dir + "/broken.scp", broken);
    const RunResult r = rawimage({"-q", "-g", LAYOUT, "-o", img, dir + "/broken.scp"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("(track left unread)"), std::string::npos) << r.all();
    EXPECT_NE(r.out.find("171 of 180 sectors good"), std::string::npos) << r.out;
}

// The flux decoder on one HD track read several times: the passes, the
// loop centred on the flux, data fields bound to their own IDs, the vote.
TEST(FluxDecoder, ReadsWhatRealMediaDo)
{
    constexpr int SPT = 18;
    const int64_t rev = revolutionCells(mfm::RATE_500K);
    const auto cells = trackCells(0, 0, SPT, mfm::RATE_500K, 1);
    // Where sector s's ID and data fields start.
    mfm::Scanner scanner;
    std::map<int, int64_t> idAt, dataAt;
    int last = 0;
    for (const mfm::Field &fd : scanner.scan(cells, mfm::DataLength::fromId))
        (fd.mark == MARK_ID ? idAt : dataAt)[fd.mark == MARK_ID ? (last = fd.sector) : last] = fd.bit;

    struct Case {
        const char *name;
        int revolutions;
        std::function<FluxNoise(int)> noise;   // of each revolution
        int firstPassGood;                     // distinct good sectors of the first pass at least
        int voted;                             // the sector made good by a vote, or 0
    };
    auto base = [](int r) {
        FluxNoise n;
        n.jitter = 0.05, n.peakShift = 0.1, n.seed = uint64_t(7 + r);
        return n;
    };
    const Case cases[] = {
        {"a drive 4 % slow, wobbling 2 %", 1,
         [&](int r) {
             FluxNoise n = base(r);
             n.speed = 0.04, n.wobble = 0.02;
             return n;
         },
         SPT, 0},
        {"lock lost from sector 6's data sync to sector 7's ID", 2,
         [&](int r) {
             FluxNoise n = base(r);
             if (r == 0)
                 n.damage = {{dataAt[6] + 8, idAt[7] + 60 - dataAt[6]}};
             return n;
         },
         SPT - 2, 0},
        {"sector 5 bad in every revolution, in other places", 5,
         [&](int r) {
             FluxNoise n = base(r);
             n.damage = {{dataAt[5] + 800 + 1500 * r, 24}};
             return n;
         },
         SPT - 1, 5},
    };
    for (const Case &c : cases) {
        std::vector<fluxfiles::ScpTrack> tracks{{0, {}}};
        for (int r = 0; r < c.revolutions; r++)
            tracks[0].revolutions.push_back(buildFlux(cells, rev, SCP_CELL_TICKS / 2, c.noise(r)));
        const std::string path = tempDir() + "/track.scp";
        writeFile(path, fluxfiles::scpImage(tracks));
        const mfm::FluxFile file(path);
        mfm::FluxCells work;
        std::vector<mfm::TrackRead> reads(1);
        ASSERT_TRUE(mfm::decodeFluxTrack(file, 0, 0, work, scanner, reads[0])) << c.name;
        std::set<int> firstPass;
        for (const mfm::SectorCopy &copy : reads[0].copies)
            if (copy.good() && copy.pass == 0)
                firstPass.insert(copy.sector);
        EXPECT_GE(int(firstPass.size()), c.firstPassGood) << c.name;

        mfm::RecoveryOptions options;
        options.geometry = mfm::Geometry{1, 1, SPT, SECTOR_SIZE};
        const mfm::Recovery rec = mfm::recoverDisk(reads, options);
        EXPECT_EQ(rec.count(mfm::SectorStatus::good), SPT) << c.name;
        for (const mfm::RecoveredSector &sec : rec.sectors) {
            EXPECT_EQ(sec.voted, sec.sector == c.voted) << c.name << " sector " << sec.sector;
            const auto want = sectorData(0, 0, sec.sector);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), rec.image.begin() + (sec.sector - 1) * SECTOR_SIZE))
                << c.name << " sector " << sec.sector;
        }
    }
}

// Far more jitter than real media show: the later passes, steadier loops,
// read what the first does not.
TEST(FluxDecoder, LaterPassesRecoverMoreUnderHeavyJitter)

{
    // Four HD tracks with far more jitter than real media show.
    const int64_t rev = revolutionCells(mfm::RATE_500K);
    std::vector<fluxfiles::ScpTrack> tracks;
    for (int c = 0; c < 4; c++) {
        const auto cells = trackCells(c, 0, 18, mfm::RATE_500K, 1);
        FluxNoise noise;
        noise.jitter = 0.12, noise.peakShift = 0.16, noise.wobble = 0.015, noise.seed = uint64_t(100 + c);
        tracks.push_back({c * 2, {buildFlux(cells, rev, SCP_CELL_TICKS / 2, noise)}});
    }
    const std::string path = tempDir() + "/noisy.scp";
    writeFile(path, fluxfiles::scpImage(tracks));
    const mfm::FluxFile file(path);
    mfm::FluxCells work;
    mfm::Scanner scanner;
    int once = 0, twice = 0;
    for (size_t i = 0; i < file.tracks().size(); i++) {
        mfm::TrackRead first, both;
        ASSERT_TRUE(mfm::readFluxCells(file, i, 0, work));
        mfm::collectCopies(scanner.scan(work.bytes(), mfm::DataLength::fromId), work.cells.marks, first);
        ASSERT_TRUE(mfm::decodeFluxTrack(file, i, 0, work, scanner, both));
        std::set<int> sectors;
        for (const mfm::SectorCopy &c : both.copies) {
            if (!c.good())
                continue;
            sectors.insert(c.sector);
            EXPECT_EQ(c.data, sectorData(int(i), 0, c.sector));
        }
        once += int(std::count_if(first.copies.begin(), first.copies.end(), [](auto &c) { return c.good(); }));
        twice += int(sectors.size());
    }
    EXPECT_GT(twice, once) << once;
}
