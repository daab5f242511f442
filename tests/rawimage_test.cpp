// rawimage end to end on the real executable: exit statuses, nothing lost
// on failure, merging worn captures, the JSON report's shape, geometries.
#include "helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace {

RunResult rawimage(const std::vector<std::string> &args) { return runProgram(RAWIMAGE_PATH, args); }

struct Disk {
    std::vector<uint8_t> capture, image;
};

// A drive-B capture of `cylinders` formatted tracks and its image; with
// `boot` the first sector is that boot sector.
Disk makeDisk(int cylinders, int sectors, uint8_t sizeCode = 2, const std::vector<uint8_t> &boot = {})
{
    Disk d;
    for (int t = 0; t < cylinders; t++) {
        const auto slot = formattedSlot(t, sectors, 40 + 7 * t, sizeCode, t == 0 ? boot : std::vector<uint8_t>{});
        d.capture.insert(d.capture.end(), slot.begin(), slot.end());
        for (int h = 0; h < HEADS; h++)
            for (int s = 1; s <= sectors; s++) {
                const auto data = t == 0 && h == 0 && s == 1 && !boot.empty() ? boot : sectorData(t, h, s, size_t(128) << sizeCode);
                d.image.insert(d.image.end(), data.begin(), data.end());
            }
    }
    return d;
}

std::string fileWith(const std::string &dir, const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir + "/" + name;
    writeFile(path, bytes);
    return path;
}

}

TEST(RawimageCli, ExitStatusesAndNothingLost)
{
    const std::string dir = tempDir();
    const Disk disk = makeDisk(2, 12);   // no standard layout: two cylinders
    const std::string clean = fileWith(dir, "clean.raw", disk.capture);
    const std::string worn = dir + "/worn.raw";
    ASSERT_EQ(runProgram(DAMAGE_PATH, {clean, worn, "1:1:4:crc"}).status, 0);
    const std::string precious = fileWith(dir, "precious.img", {'k', 'e', 'e', 'p'});
    const std::string img = dir + "/out.img";
    const struct {
        std::vector<std::string> args;
        int status;
        const char *says;
    } cases[] = {
        {{}, 2, "rawimage: no image to write"},
        {{"-o", precious}, 2, "rawimage: no capture to read"},
        {{"-g", "80:3:9", "-o", precious, clean}, 2, "rawimage: bad geometry '80:3:9'"},
        {{"-g", "80:2:9:500", "-o", precious, clean}, 2, "rawimage: bad geometry"},
        {{"--fill", "256", "-o", precious, clean}, 2, "rawimage: bad fill byte '256'"},
        {{"-x", "-o", precious, clean}, 2, "rawimage: option '-x' is unknown"},
        {{"-o"}, 2, "rawimage: option '-o' needs a value"},
        {{"-o", precious, clean, "-o", img}, 2, "rawimage: -o given twice"},
        {{"-qx", "-o", precious, clean}, 2, "rawimage: option '-x' is unknown"},
        {{"--fill", "0x0x1", "-o", precious, clean}, 2, "rawimage: bad fill byte '0x0x1'"},
        {{"-o", img, clean, "-q"}, 0, "48 of 48 sectors good"},   // options after the captures, as GNU tools take them
        {{"-h"}, 0, "usage: rawimage [options] -o IMAGE CAPTURE[:A|:B]..."},
        {{"-o", precious, dir + "/none.raw"}, 2, "rawimage: " },
        {{"-o", precious, clean + ":A"}, 2, "holds no track slots for drive A"},
        {{"-o", precious, dir}, 2, "Is a directory"},
        {{"-o", dir + "/no/such/dir/x.img", clean}, 2, "no/such/dir/x.img: No such file or directory"},
        {{"-o", "/dev/full", clean}, 2, "rawimage: /dev/full: No space left on device"},
        {{"--help"}, 0, "usage: rawimage [options] -o IMAGE CAPTURE[:A|:B]..."},
        {{"-V"}, 0, "rawimage 1.3.0"},
        {{"-q", "-o", img, clean}, 0, "48 of 48 sectors good (100.0%): 0 crc error, 0 missing, 0 conflicts\n"},
        {{"-q", "-o", img, worn}, 1, "47 of 48 sectors good (97.9%): 1 crc error, 0 missing, 0 conflicts\n"},
        {{"-q", "-g", "3:2:12", "--fill", "0xe5", "-o", img, worn}, 1, "47 of 72 sectors good (65.2%)"},
    };
    for (const auto &c : cases) {
        const RunResult r = rawimage(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size() << ": " << r.all();
        EXPECT_NE(r.all().find(c.says), std::string::npos) << r.all();
        EXPECT_EQ(readFile(precious), "keep");
    }
    // The last run wrote a whole image with the filler in place of cylinder 2.
    const std::string out = readFile(img);
    ASSERT_EQ(out.size(), 72u * SECTOR_SIZE);
    EXPECT_EQ(out.substr(48 * SECTOR_SIZE), std::string(24 * SECTOR_SIZE, '\xe5'));
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".XXXXXX"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4);   // no temporary left
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

TEST(RawimageCli, MergesWornCapturesAndReportsWhatNeitherRead)
{
    const std::string dir = tempDir();
    const Disk disk = makeDisk(20, 18);
    const std::string clean = fileWith(dir, "clean.raw", disk.capture);
    const std::string worn1 = dir + "/worn1.raw", worn2 = dir + "/worn2.raw";
    ASSERT_EQ(runProgram(DAMAGE_PATH, {clean, worn1, "0:0:5:crc", "3:1:2:gone", "12:1:3:gone", "19:1:18:gone"}).status, 0);
    ASSERT_EQ(runProgram(DAMAGE_PATH, {clean, worn2, "0:0:6:crc", "3:1:2:crc", "12:1:3:gone", "0:0:5:crc"}).status, 0);
    const std::string img = dir + "/disk.img", json = dir + "/disk.json", svg = dir + "/disk.svg";
    const RunResult r = rawimage({"--report", json, "--map", svg, "-o", img, worn1, worn2});
    EXPECT_EQ(r.status, 1) << r.out;
    // 20 cylinders of 18 sectors read: the layout is the named one of 80.
    EXPECT_NE(r.out.find("Format: ibm.1440, 80 cylinders (sector IDs on 0-19, formatted tracks to 19, the standard "
                         "layout 80), 2 heads, 18 sectors of 512 bytes (detected)\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ncylinders 20-79: not in the capture (the capture ends in slot 19)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n717 of 2880 sectors good (24.8%): 2 crc error, 1 missing, 0 conflicts, 2160 not captured\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Head 1, cylinders 40-79:\n"), std::string::npos);

    // Equal to the disk in every sector that either capture read well.
    const std::set<int> lost = {(0 * 2 + 0) * 18 + 4, (3 * 2 + 1) * 18 + 1, (12 * 2 + 1) * 18 + 2};
    const std::string out = readFile(img);
    ASSERT_EQ(out.size(), 4 * disk.image.size());
    for (int s = 0; s < 720; s++) {
        if (!lost.count(s)) {
            ASSERT_EQ(out.compare(size_t(s) * SECTOR_SIZE, SECTOR_SIZE,
                                  reinterpret_cast<const char *>(disk.image.data()) + s * SECTOR_SIZE, SECTOR_SIZE),
                      0) << s;
        }
    }

    // The report: its documented shape, and exactly the sectors neither read.
    const auto report = nlohmann::json::parse(readFile(json));
    EXPECT_EQ(report["geometry"], nlohmann::json::parse(R"({"cylinders":80,"heads":2,"sectors":18,"bytes":512,
              "source":"ids","step":1,"first":1,"family":"ibm","format":"ibm.1440",
              "cylinders_from":{"ids":20,"formatted":20,"standard":80}})"));
    ASSERT_EQ(report["inputs"].size(), 2u);
    EXPECT_EQ(report["inputs"][1]["file"], worn2);
    EXPECT_EQ(report["inputs"][1]["kind"], "raw");
    EXPECT_EQ(report["inputs"][1]["drive"], "B");
    EXPECT_EQ(report["totals"], nlohmann::json::parse(R"({"sectors":2880,"found":719,"good":717,"crc_error":2,
              "missing":1,"conflict":0,"not_captured":2160,"foreign_ids":0,"outside":0,"good_outside":0,
              "bad_ids":0})"));
    EXPECT_EQ(report["inputs"][0]["good"], 716);
    EXPECT_EQ(report["inputs"][1]["only"], 1);
    ASSERT_EQ(report["sectors"].size(), 2880u);
    std::set<std::string> notGood;
    for (const auto &s : report["sectors"]) {
        for (const char *key : {"cylinder", "head", "sector", "status", "copies", "good_copies", "voted", "deleted", "source"})
            ASSERT_TRUE(s.contains(key)) << key;
        if (s["status"] != "good" && s["cylinder"] < 20)
            notGood.insert(std::to_string(int(s["cylinder"])) + ":" + std::to_string(int(s["head"])) + ":" +
                           std::to_string(int(s["sector"])) + " " + std::string(s["status"]));
        if (!s["source"].is_null()) {
            for (const char *key : {"input", "slot", "head", "bit", "revolution"})
                ASSERT_TRUE(s["source"].contains(key)) << key;
        }
    }
    EXPECT_EQ(notGood, (std::set<std::string>{"0:0:5 crc-error", "3:1:2 crc-error", "12:1:3 missing"}));
    const auto &sector6 = report["sectors"][5];   // 0:0:6, bad in worn2 only
    EXPECT_EQ(sector6["copies"], 2);
    EXPECT_EQ(sector6["good_copies"], 1);
    EXPECT_EQ(sector6["source"]["input"], 0);
    EXPECT_EQ(sector6["source"]["slot"], 0);

    const std::string picture = readFile(svg);
    EXPECT_EQ(picture.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    size_t arcs = 0;
    for (size_t at = 0; (at = picture.find("<path ", at)) != std::string::npos; at++)
        arcs++;
    EXPECT_EQ(arcs, 2880u);
}

TEST(RawimageCli, FindsTheGeometryOfLargeSectorsOnDriveA)
{
    const std::string dir = tempDir();
    const Disk disk = makeDisk(5, 8, 3);
    std::vector<uint8_t> capture(size_t(DISK_SIZE) + disk.capture.size(), 0);
    std::copy(disk.capture.begin(), disk.capture.end(), capture.begin() + DISK_SIZE);
    const std::string path = fileWith(dir, "a.raw", capture);
    const RunResult r = rawimage({"-o", dir + "/a.img", path + ":A"});
    EXPECT_EQ(r.status, 1) << r.out;   // 8 sectors of 1,024: the standard 77 cylinders
    EXPECT_EQ(r.out.rfind("Format: pc98.2hd, 77 cylinders (sector IDs on 0-4, formatted tracks to 4, the standard "
                          "layout 77), 2 heads, 8 sectors of 1024 bytes (detected)\n", 0),
              0u) << r.out.substr(0, 200);
    EXPECT_EQ(readFile(dir + "/a.img").substr(0, disk.image.size()), std::string(disk.image.begin(), disk.image.end()));
}

namespace {

// A FAT boot sector stating a layout of two heads: readers that take the
// layout from the disk (libdsk) find the one meant.
std::vector<uint8_t> fatBoot(int cylinders, int sectors, uint8_t sizeCode)
{
    const int bytes = 128 << sizeCode, total = cylinders * HEADS * sectors;
    std::vector<uint8_t> b(size_t(bytes), 0);
    const uint8_t bpb[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0', uint8_t(bytes), uint8_t(bytes >> 8),
                           2, 1, 0, 2, 0x70, 0, uint8_t(total), uint8_t(total >> 8), 0xF9, 3, 0, uint8_t(sectors), 0,
                           HEADS, 0};
    std::copy(std::begin(bpb), std::end(bpb), b.begin());
    b[510] = 0x55, b[511] = 0xAA;
    return b;
}

bool onPath(const char *program) { return runProgram("sh", {"-c", std::string("command -v ") + program}).status == 0; }

struct Layout {
    int cylinders, sectors;
    uint8_t sizeCode;
    const char *rate;   // as libdsk names it: SD 250 kbit/s, HD 500
};

// dsktrans's plain image of an ImageDisk file, or its complaint. The layout
// meant is named as a libdsk format (in the .libdskrc of a HOME of its own):
// libdsk finds it in a DOS boot sector of 512-byte sectors, not of larger
// ones. Stopped after a while should it read a layout far larger.
RunResult dsktrans(const std::string &imd, const std::string &out, const Layout &l, bool stubborn = false)
{
    const std::string home = tempDir();
    const std::string rc = "[meant]\nsides = alt\ncylinders = " + std::to_string(l.cylinders) +
                           "\nheads = 2\nsectors = " + std::to_string(l.sectors) +
                           "\nsecsize = " + std::to_string(128 << l.sizeCode) + "\nsecbase = 1\ndatarate = " + l.rate + "\n";
    writeFile(home + "/.libdskrc", std::vector<uint8_t>(rc.begin(), rc.end()));
    std::vector<std::string> args = {"HOME=" + home, "timeout", "20", "dsktrans", "-format", "meant",
                                     "-itype", "imd", imd, "-otype", "raw", out};
    if (stubborn)
        args.push_back("-stubborn");
    return runProgram("env", args);
}

}

// Every layout rawimage writes as ImageDisk and MSA reads back in the
// independent readers as the plain image; a layout an Atari ST does not
// read gets no MSA file.
TEST(RawimageCli, ImageFilesReadBackInOtherReaders)
{
    const bool haveLibdsk = onPath("dsktrans") && onPath("dskid"), haveHatari = onPath("hmsa");
    const struct {
        Layout layout;
        bool msa;
    } cases[] = {
        {{80, 9, 2, "SD"}, true}, {{80, 10, 2, "SD"}, true}, {{80, 18, 2, "HD"}, true}, {{77, 8, 3, "HD"}, false},
    };
    for (const auto &c : cases) {
        const Layout &l = c.layout;
        const std::string dir = tempDir(), name = std::to_string(l.sectors) + "x" + std::to_string(128 << l.sizeCode);
        const Disk disk = makeDisk(l.cylinders, l.sectors, l.sizeCode, fatBoot(l.cylinders, l.sectors, l.sizeCode));
        const std::string raw = fileWith(dir, "disk.raw", disk.capture), plain(disk.image.begin(), disk.image.end());
        ASSERT_EQ(rawimage({"-q", "-o", dir + "/disk.IMD", raw}).status, 0) << name;
        const RunResult msa = rawimage({"-q", "-o", dir + "/disk.msa", raw});
        EXPECT_EQ(msa.status, c.msa ? 0 : 2) << name;
        EXPECT_EQ(std::filesystem::exists(dir + "/disk.msa"), c.msa) << name;
        if (!c.msa) {
            EXPECT_NE(msa.err.find("rawimage: " + dir + "/disk.msa: MSA holds Atari ST layouts only"),
                      std::string::npos) << msa.err;
        }
        if (haveLibdsk) {
            EXPECT_EQ(dsktrans(dir + "/disk.IMD", dir + "/back.img", l).status, 0) << name;
            EXPECT_TRUE(readFile(dir + "/back.img") == plain) << name;
            // What dskid finds by itself (the sector count only where it
            // reads the boot sector: 512-byte sectors).
            const std::string id = runProgram("dskid", {dir + "/disk.IMD"}).out;
            std::map<std::string, std::string> says;   // "  Key:   value" lines
            std::istringstream lines(id);
            for (std::string line; std::getline(lines, line);)
                if (const size_t colon = line.find(':'); colon != std::string::npos) {
                    const size_t key = line.find_first_not_of(' '), value = line.find_first_not_of(' ', colon + 1);
                    says[line.substr(key, colon - key)] = value == std::string::npos ? "" : line.substr(value);
                }
            EXPECT_EQ(says["Cylinders"], std::to_string(l.cylinders)) << name << "\n" << id;
            EXPECT_EQ(says["Heads"], "2") << name;
            if (l.sizeCode == 2) {
                EXPECT_EQ(says["Sectors"], std::to_string(l.sectors)) << name;
            }
            EXPECT_EQ(says["Sector size"], std::to_string(128 << l.sizeCode)) << name;
            EXPECT_EQ(says["Data rate"], l.rate) << name;
            EXPECT_EQ(says["Record mode"], "MFM") << name;
        }
        if (haveHatari && c.msa) {
            // hmsa 2.4 exits with 1 after a conversion that went well: its
            // output is what counts.
            const RunResult hmsa = runProgram("hmsa", {dir + "/disk.msa"});
            EXPECT_TRUE(readFile(dir + "/disk.st") == plain) << name << ": " << hmsa.all();
        }
    }
    if (!haveLibdsk || !haveHatari)
        GTEST_SKIP() << "dsktrans, dskid or hmsa not installed: layouts checked, readers not run";
}

// libdsk reads a sector read only with a bad CRC as a data error and a
// missing one as no data; told to go on, it gives the image's bytes (its
// own filler, 0xF6, where nothing was read).
TEST(RawimageCli, ImageDiskStatusesAsLibdskReadsThem)
{
    if (!onPath("dsktrans"))
        GTEST_SKIP() << "dsktrans not installed";
    const std::string dir = tempDir();
    const Layout layout{80, 9, 2, "SD"};
    const std::string clean = fileWith(dir, "clean.raw", makeDisk(80, 9, 2, fatBoot(80, 9, 2)).capture);
    const struct {
        const char *damage, *says;
    } cases[] = {{"1:1:4:crc", "Data error"}, {"2:0:7:gone", "No data"}};
    for (const auto &c : cases) {
        const std::string worn = dir + "/worn.raw", img = dir + "/worn.img", imd = dir + "/worn.imd";
        ASSERT_EQ(runProgram(DAMAGE_PATH, {clean, worn, c.damage}).status, 0);
        ASSERT_EQ(rawimage({"-q", "--fill", "0xf6", "-o", img, worn}).status, 1);
        ASSERT_EQ(rawimage({"-q", "--fill", "0xf6", "-o", imd, worn}).status, 1);
        const RunResult strict = dsktrans(imd, dir + "/strict.img", layout);
        EXPECT_NE(strict.status, 0) << c.damage;
        EXPECT_NE(strict.all().find(c.says), std::string::npos) << c.damage;
        EXPECT_EQ(dsktrans(imd, dir + "/back.img", layout, true).status, 0) << c.damage;
        EXPECT_TRUE(readFile(dir + "/back.img") == readFile(img)) << c.damage;
    }
}

// A real flux capture of a 360 KB disk (40 cylinders, 9 sectors, 250 kbit/s)
// as an ImageDisk file: libdsk reads the plain image back at that rate.
TEST(RawimageCli, ImageDiskOfARealFluxCapture)
{
    if (!onPath("dsktrans"))
        GTEST_SKIP() << "dsktrans not installed";
    const std::string dir = tempDir(), scp = FLUX_FIXTURE_DIR "/sector_test_360k.scp";
    ASSERT_EQ(rawimage({"-q", "-o", dir + "/disk.imd", scp}).status, 0);
    ASSERT_EQ(dsktrans(dir + "/disk.imd", dir + "/back.img", {40, 9, 2, "SD"}).status, 0);
    EXPECT_TRUE(readFile(dir + "/back.img") == readFile(FLUX_FIXTURE_DIR "/sector_test_360k.img"));
}

// What each read gave, what lies outside a layout given, and the line per
// track read.
TEST(RawimageCli, SaysWhatEachReadGaveAndWhatLiesOutside)
{
    const std::string dir = tempDir();
    const Disk disk = makeDisk(2, 12);
    const std::string clean = fileWith(dir, "clean.raw", disk.capture), worn = dir + "/worn.raw";
    ASSERT_EQ(runProgram(DAMAGE_PATH, {clean, worn, "0:0:5:gone", "1:1:2:crc"}).status, 0);
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> says;
    } cases[] = {
        {{"-o", dir + "/m.img", worn, clean},
         {"Input 1: " + worn + " (raw, drive B): 46 good sectors, 0 only from it\n",
          "Input 2: " + clean + " (raw, drive B): 48 good sectors, 2 only from it\n"}},
        {{"-g", "1:2:12", "-o", dir + "/g.img", clean},
         {"Outside the layout: 24 copies of 24 sectors (c/h/s): 1/0/1, 1/0/2, 1/0/3, 1/0/4, 1/0/5, 1/0/6, 1/0/7, "
          "1/0/8, ...\n",
          "24 good sectors are NOT in the image (cylinders 1): -g 2:2:12:512 holds them all\n",
          "24 of 24 sectors in the layout good; 24 good sectors NOT in the image (cylinders 1)\n"}},
        {{"-v", "-o", dir + "/v.img", worn},
         {"Read 1 slot 0: 47 syncs, 23 good copies of 23 sectors\nRead 1 slot 1: 48 syncs, 23 good copies of 23 sectors\n"
          "Format: custom, 2 cylinders"}},
    };
    for (const auto &c : cases) {
        const RunResult r = rawimage(c.args);
        for (const std::string &line : c.says)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin\n" << r.out;
    }
}
