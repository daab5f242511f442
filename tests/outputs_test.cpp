// What rawimage, flux2raw and st2raw write, and refuse to: outputs that name
// an input or each other, runs that fail leaving nothing behind, names that
// are not UTF-8, inputs that are no capture, reads bounded by what can be
// used, and the ddrescue mapfile as ddrescue's own tools read it.
#include "flux_files.h"
#include "helpers.h"
#include "mfm/flux.h"
#include "mfm/mapfile.h"
#include "mfm/recovery.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string fixture = FLUX_FIXTURE_DIR;

// A drive-B capture of `cylinders` formatted 12-sector tracks (a layout
// with no standard cylinder count, so that the disk is as many cylinders
// as the capture holds).
std::vector<uint8_t> capture(int cylinders)
{
    std::vector<uint8_t> c;
    for (int t = 0; t < cylinders; t++) {
        const auto slot = formattedSlot(t, 12, 40 + 7 * t);
        c.insert(c.end(), slot.begin(), slot.end());
    }
    return c;
}

// Every regular file below `dir` and its bytes.
std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && !e.is_symlink())
            files[e.path().string()] = readFile(e.path().string());
    return files;
}

int shell(const std::string &command)
{
    const int raw = system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}

// An output that names an input (itself, a hard link, a symbolic link, a
// file of a KryoFlux set) or another output is refused before anything is
// written: exit status 2, the reason on stderr, every file as it was.
TEST(Outputs, NamingAnInputOrAnotherOutputIsRefused)
{
    const std::string dir = tempDir();
    writeFile(dir + "/d1.raw", capture(2));
    ASSERT_EQ(link((dir + "/d1.raw").c_str(), (dir + "/hard.raw").c_str()), 0);
    ASSERT_EQ(symlink("d1.raw", (dir + "/soft.raw").c_str()), 0);
    writeFile(dir + "/x.scp", fluxfiles::scpImage({{0, {fluxfiles::Intervals(1000, 160)}}}));
    fs::create_directory(dir + "/kf");
    for (const char *f : {"track00.0.raw", "track00.1.raw", "track01.0.raw"})
        fs::copy_file(fixture + "/kryoflux/" + f, dir + "/kf/" + f);
    writeFile(dir + "/img.st", std::vector<uint8_t>(737280, 0x11));
    const std::string d1 = dir + "/d1.raw", img = dir + "/img.st", out = dir + "/out";
    const struct {
        const char *program;
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {RAWIMAGE_PATH, {"-o", d1, d1}, d1 + ": the image would replace the input " + d1},
        {RAWIMAGE_PATH, {"-o", dir + "/hard.raw", d1}, "/hard.raw: the image would replace the input " + d1},
        {RAWIMAGE_PATH, {"-o", dir + "/soft.raw", d1}, "/soft.raw: the image would replace the input " + d1},
        {RAWIMAGE_PATH, {"-o", dir + "/hard.raw", d1 + ":b"}, "/hard.raw: the image would replace the input " + d1 + "\n"},
        {RAWIMAGE_PATH, {"--report", d1, "-o", out, d1}, d1 + ": the report would replace the input"},
        {RAWIMAGE_PATH, {"--map", dir + "/soft.raw", "-o", out, d1}, "soft.raw: the map would replace the input"},
        {RAWIMAGE_PATH, {"--mapfile", d1, "-o", out, d1}, d1 + ": the mapfile would replace the input"},
        {RAWIMAGE_PATH, {"--report", out, "--map", out, "-o", out, d1}, out + ": named both as the image and as the report"},
        {RAWIMAGE_PATH, {"--report", "-", "--map", "-", "-o", out, d1}, "-: named both as the report and as the map"},
        {RAWIMAGE_PATH, {"-o", dir + "/kf/track01.0.raw", dir + "/kf/track00.0.raw"}, "the image would replace the input"},
        {RAWIMAGE_PATH, {"-o", dir + "/x.scp", dir + "/x.scp"}, "x.scp: the image would replace the input"},
        {FLUX2RAW_PATH, {dir + "/x.scp", dir + "/x.scp"}, "x.scp: the capture would replace the input"},
        {FLUX2RAW_PATH, {dir + "/kf/track00.1.raw", dir + "/kf/track00.0.raw"}, "the capture would replace the input"},
        {ST2RAW_PATH, {img, img}, img + ": the capture would replace the input " + img},
    };
    const auto before = snapshot(dir);
    for (const auto &c : cases) {
        const RunResult r = runProgram(c.program, c.args);
        EXPECT_EQ(r.status, 2) << r.all();
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(snapshot(dir) == before) << c.says;
    }
}

// A run that fails after its outputs were made removes them: no temporary
// file, no image, whether a later output or standard output as an output
// failed. Standard output that carries only the run's text does not throw
// a finished recovery away: the outputs are written, exit status 3.
TEST(Outputs, AFailedRunLeavesNothing)
{
    const std::string dir = tempDir();
    writeFile(dir + "/good.raw", capture(2));
    const std::string rawimage = std::string("'") + RAWIMAGE_PATH + "' ";
    const struct { std::string command; int status; std::string says; } cases[] = {
        {rawimage + "-o o/img.st --report no/r.json good.raw", 2, "rawimage: no/r.json: No such file or directory"},
        {rawimage + "-o o/img.st --map o good.raw", 2, "rawimage: o: Is a directory"},
        {rawimage + "-o o/img.st --report - good.raw >/dev/full", 2, "rawimage: standard output: No space left"},
        {rawimage + "-o /dev/full --report o/r.json good.raw", 2, "rawimage: /dev/full: No space left on device"},
        {rawimage + "-o o/img.st good.raw >/dev/full", 3, "rawimage: standard output: No space left on device"},
        {rawimage + "-o o/img.st good.raw >&-", 3, "rawimage: standard output: Bad file descriptor"},
        {rawimage + "-o o/img.st good.raw | true", 3, "rawimage: standard output: Broken pipe"},   // the reader gone
        {std::string("'") + ST2RAW_PATH + "' " + "'" + EXAMPLE_IMAGE + "' o/c.raw >/dev/full", 3,
         "st2raw: standard output"},
        {std::string("'") + FLUX2RAW_PATH + "' '" + fixture + "/sector_test_360k.scp' o/c.raw >/dev/full", 3,
         "flux2raw: standard output"},
    };
    for (const auto &c : cases) {
        fs::remove_all(dir + "/o");
        fs::create_directory(dir + "/o");
        // A pipe's status is its last command's: bash is asked for the first.
        const int status = shell("bash -c \"set -o pipefail; cd '" + dir + "' && { " + c.command + "; } 2>err.txt\"");
        EXPECT_EQ(status, c.status) << c.command;
        EXPECT_EQ(readFile(dir + "/err.txt").rfind(c.says, 0), 0u) << readFile(dir + "/err.txt");
        EXPECT_EQ(fs::is_empty(dir + "/o"), c.status == 2) << c.command;
        for (const auto &f : fs::directory_iterator(dir + "/o"))   // whole outputs, no temporary file
            EXPECT_EQ(f.path().filename().string().find('.', 4), std::string::npos) << f.path();
    }
}

// SIGINT or SIGTERM at any moment of a run leaves every output whole or
// absent, and no temporary file: runs are stopped at delays that reach
// from the decoding into the writing.
TEST(Outputs, ASignalLeavesNoPartialFile)
{
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", capture(80));
    const std::string full = dir + "/full.img";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runProgram(RAWIMAGE_PATH, {"-q", "-o", full, "--report", dir + "/r.json", "--map", dir + "/m.svg",
                                         "--mapfile", dir + "/m.log", dir + "/c.raw"})
                  .status,
              0);
    const double run = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string image = readFile(full);
    int whole = 0, none = 0;
    for (int k = 0; k < 60; k++) {
        fs::remove_all(dir + "/o");
        fs::create_directory(dir + "/o");
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string o = dir + "/o/";
            execl(RAWIMAGE_PATH, RAWIMAGE_PATH, "-q", "-o", (o + "d.img").c_str(), "--report", (o + "r.json").c_str(),
                  "--map", (o + "m.svg").c_str(), "--mapfile", (o + "m.log").c_str(), (dir + "/c.raw").c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        usleep(useconds_t(2e6 * run * k / 60));
        kill(pid, k % 2 ? SIGINT : SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        for (const auto &f : fs::directory_iterator(dir + "/o")) {
            const std::string name = f.path().filename().string();
            EXPECT_TRUE(name == "d.img" || name == "r.json" || name == "m.svg" || name == "m.log") << name;
        }
        if (fs::exists(dir + "/o/d.img")) {
            EXPECT_EQ(readFile(dir + "/o/d.img"), image) << k;
            EXPECT_TRUE(fs::exists(dir + "/o/r.json") && fs::exists(dir + "/o/m.log")) << k;
            whole++;
        } else {
            EXPECT_TRUE(fs::is_empty(dir + "/o")) << k;
            none++;
        }
    }
    EXPECT_GT(none, 0);   // the delays reached into the run
    EXPECT_GT(whole, 0) << "none " << none;
}

// Standard output as the report: the JSON there, the text on stderr.
TEST(Outputs, ReportToStandardOutput)
{
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", capture(2));
    const RunResult r = runProgram(RAWIMAGE_PATH, {"--report", "-", "-o", dir + "/img", dir + "/c.raw"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(nlohmann::json::parse(r.out)["totals"]["good"], 48);
    EXPECT_NE(r.err.find("48 of 48 sectors good"), std::string::npos) << r.err;
}

// A name that is not UTF-8 is kept in the report with each bad byte
// replaced; the run does not abort.
TEST(Outputs, NamesThatAreNotUtf8)
{
    const std::string dir = tempDir();
    const std::string name = dir + "/c\xff\xfe.raw";
    writeFile(name, capture(2));
    const RunResult r = runProgram(RAWIMAGE_PATH, {"--report", dir + "/r.json", "-o", dir + "/img", name});
    EXPECT_EQ(r.status, 0) << r.all();
    const auto report = nlohmann::json::parse(readFile(dir + "/r.json"));
    EXPECT_EQ(report["inputs"][0]["file"], dir + "/c\xEF\xBF\xBD\xEF\xBF\xBD.raw");
}

// Inputs that are no capture are named for what they look like; drive
// suffixes other than :A, :a, :B and :b are refused with the choices.
TEST(Outputs, UnknownInputsAreNamed)
{
    const std::string dir = tempDir();
    writeFile(dir + "/d1.raw", capture(2));
    const std::string zip = std::string(TESTS_DATA_DIR) + "/sector_test_kryoflux_360k.zip";
    std::vector<uint8_t> plainZip = {'P', 'K', 5, 6};
    plainZip.resize(22);
    writeFile(dir + "/empty.zip", plainZip);
    std::vector<uint8_t> boot(40 * 2 * 9 * 512);   // an odd size, told by its boot sector
    boot[0] = 0xEB, boot[11] = 0x00, boot[12] = 0x02, boot[19] = uint8_t(720 & 0xFF), boot[20] = uint8_t(720 >> 8);
    writeFile(dir + "/boot.img", boot);
    std::vector<uint8_t> hfe(20000, 0);
    std::copy_n("HXCPICFE", 8, hfe.begin());
    writeFile(dir + "/disk.hfe", hfe);
    fs::create_directory(dir + "/kf");
    for (const char *name : {"track00.0.raw", "track00.1.raw"})
        fs::copy_file(std::string(FLUX_FIXTURE_DIR) + "/kryoflux/" + name, dir + "/kf/" + name);
    const struct { std::string input; int status; std::string says; } cases[] = {
        {EXAMPLE_IMAGE, 2, std::string("rawimage: ") + EXAMPLE_IMAGE +
                               ": not a raw capture, SCP image or KryoFlux stream (737280 bytes; looks like a sector image)\n"},
        {dir + "/boot.img", 2, "(368640 bytes; looks like a sector image)\n"},
        {dir + "/empty.zip", 2, "(22 bytes; looks like a zip archive)\n"},
        {zip, 2, zip + ": a zip archive of KryoFlux stream files: unpack it first, then name its folder or one of its "
                       "stream files\n"},
        {dir + "/disk.hfe", 2, dir + "/disk.hfe: an HFE image: not a capture (rawimage reads raw captures, SCP images "
                                     "and KryoFlux stream sets)\n"},
        {dir + "/kf", 1, "18 of 720 sectors good (2.5%): 0 crc error, 0 missing, 0 conflicts, 702 not captured"},   // a set named by its folder
        {dir + "/d1.raw:C", 2, "rawimage: bad drive 'C' in '" + dir + "/d1.raw:C': want :A, :a, :B or :b (or the name of a file)\n"},
        {dir + "/d1.raw:", 2, "rawimage: bad drive ''"},
        {dir + "/d1.raw:b", 0, "48 of 48 sectors good"},
        {dir + "/d1.raw:a", 2, "holds no track slots for drive A"},
    };
    for (const auto &c : cases) {
        const RunResult r = runProgram(RAWIMAGE_PATH, {"-q", "-o", dir + "/img", c.input});
        EXPECT_EQ(r.status, c.status) << c.input;
        EXPECT_NE(r.all().find(c.says), std::string::npos) << r.all();
    }
}

// What is read is bounded by what can be used: 16 MiB of a raw capture
// (sparse or endless), 64 MiB of a KryoFlux stream file, 60 s of flux per
// track, one byte more than the largest image st2raw takes, and flux2raw
// keeps only the cells it writes.
TEST(Outputs, ReadsAreBounded)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own memory would hide the tool's";
#endif
    const std::string dir = tempDir();
    writeFile(dir + "/sparse.raw", capture(2));
    ASSERT_EQ(truncate((dir + "/sparse.raw").c_str(), off_t(2) << 30), 0);
    fs::create_directory(dir + "/kf");
    fs::copy_file(fixture + "/kryoflux/track00.0.raw", dir + "/kf/track00.0.raw");
    ASSERT_EQ(symlink("/dev/zero", (dir + "/kf/track01.0.raw").c_str()), 0);

    // 160 tracks of one revolution of long intervals at the coarsest sample
    // clock (6.4 us): 9 s of flux each, 4.5 million cells at 250 kbit/s.
    std::vector<fluxfiles::ScpTrack> tracks;
    for (int t = 0; t < 160; t++)
        tracks.push_back({t, {fluxfiles::Intervals(21, 65535)}});
    fluxfiles::ScpOptions coarse;
    coarse.resolution = 255;
    writeFile(dir + "/long.scp", fluxfiles::scpImage(tracks, coarse));
    for (auto &t : tracks)
        t.revolutions[0].resize(150, 65535);   // 63 s: refused
    writeFile(dir + "/longer.scp", fluxfiles::scpImage(tracks, coarse));

    const struct { const char *program; std::vector<std::string> args; int status; long peakMiB; } cases[] = {
        {RAWIMAGE_PATH, {"-o", dir + "/a.img", "/dev/zero"}, 2, 40},
        {RAWIMAGE_PATH, {"-o", dir + "/a.img", dir + "/sparse.raw"}, 0, 40},
        // A set with a device among its stream files is refused, unread.
        {RAWIMAGE_PATH, {"-o", dir + "/a.img", dir + "/kf/track00.0.raw"}, 2, 100},
        {FLUX2RAW_PATH, {"-r", "250", dir + "/long.scp", dir + "/l.raw"}, 0, 48},
        {FLUX2RAW_PATH, {"-r", "250", dir + "/longer.scp", dir + "/l.raw"}, 2, 48},
        {RAWIMAGE_PATH, {"-r", "250", "-g", "80:2:9", "-o", dir + "/a.img", dir + "/longer.scp"}, 1, 48},
        {ST2RAW_PATH, {"/dev/zero", dir + "/z.raw"}, 2, 24},
    };
    for (const auto &c : cases) {
        const LimitedRun r = runLimited(c.program, c.args, size_t(1) << 30, 60);
        EXPECT_EQ(r.status, c.status) << c.args.back() << " signal " << r.signal;
        EXPECT_LT(r.peakKiB, c.peakMiB * 1024) << c.args.back();
    }
}

// The mapfile, read by GNU ddrescue's ddrescuelog: its totals, and the bad
// blocks in sectors of the image, are the sectors not read well; the image
// names each missing sector in its filler.
TEST(Outputs, MapfileAsDdrescuelogReadsIt)
{
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", capture(3));
    ASSERT_EQ(runProgram(DAMAGE_PATH, {dir + "/c.raw", dir + "/w.raw", "0:0:2:crc", "0:0:3:gone", "2:1:9:gone"}).status, 0);
    const RunResult r = runProgram(RAWIMAGE_PATH, {"--mapfile", dir + "/m.log", "-o", dir + "/d.img", dir + "/w.raw"});
    ASSERT_EQ(r.status, 1) << r.all();
    EXPECT_EQ(readFile(dir + "/m.log"), "# Mapfile. Created by rawimage 1.3.0 (mfm 20200509)\n"
                                        "# current_pos  current_status  current_pass\n"
                                        "0x00000000     +               1\n"
                                        "#      pos        size  status\n"
                                        "0x00000000  0x00000200  +\n"
                                        "0x00000200  0x00000400  -\n"
                                        "0x00000600  0x00008200  +\n"
                                        "0x00008800  0x00000200  -\n"
                                        "0x00008A00  0x00000600  +\n");
    const std::string image = readFile(dir + "/d.img");
    ASSERT_EQ(image.size(), 72u * 512);
    EXPECT_EQ(image.substr(2 * 512, 38), "-=[MISSING 0/0/3]=--=[MISSING 0/0/3]=-");
    EXPECT_EQ(image.substr(68 * 512, 19), "-=[MISSING 2/1/9]=-");
    EXPECT_EQ(image.substr(69 * 512 - 19, 19), "--=[MISSING 2/1/9]=");   // the last copy cut where the sector ends
    ASSERT_EQ(runProgram(RAWIMAGE_PATH, {"--fill", "0xf6", "-o", dir + "/f.img", dir + "/w.raw"}).status, 1);
    EXPECT_EQ(readFile(dir + "/f.img").substr(2 * 512, 512), std::string(512, '\xf6'));

    if (shell("command -v ddrescuelog >/dev/null") != 0)
        GTEST_SKIP() << "ddrescuelog (Debian package gddrescue) is not installed";
    const RunResult bad = runProgram("/bin/sh", {"-c", "ddrescuelog -b 512 -l- '" + dir + "/m.log'"});
    EXPECT_EQ(bad.status, 0) << bad.err;
    EXPECT_EQ(bad.out, "1\n2\n68\n");
    const RunResult good = runProgram("/bin/sh", {"-c", "ddrescuelog -b 512 -l+ '" + dir + "/m.log' | wc -l"});
    EXPECT_EQ(good.out, "69\n");
    const RunResult totals = runProgram("/bin/sh", {"-c", "ddrescuelog -t '" + dir + "/m.log'"});
    EXPECT_EQ(totals.status, 0) << totals.err;
    EXPECT_NE(totals.out.find("1536 B"), std::string::npos) << totals.out;   // bad: 3 sectors
}

// The filler names its sector and is cut where the sector ends; foreignKind
// tells zips, zips of KryoFlux streams and sector images from anything else.
TEST(Outputs, FillerAndForeignKinds)
{
    std::vector<uint8_t> sector(25, 0);
    mfm::missingFiller(79, 1, 18, sector);
    EXPECT_EQ(std::string(sector.begin(), sector.end()), "-=[MISSING 79/1/18]=--=[M");

    // A zip whose central directory names one file (no data needed for the walk).
    auto zip = [](const std::string &name) {
        std::vector<uint8_t> z = {'P', 'K', 3, 4};
        z.resize(30);
        const size_t central = z.size();
        std::vector<uint8_t> entry(46, 0);
        entry[0] = 'P', entry[1] = 'K', entry[2] = 1, entry[3] = 2, entry[28] = uint8_t(name.size());
        z.insert(z.end(), entry.begin(), entry.end());
        z.insert(z.end(), name.begin(), name.end());
        std::vector<uint8_t> end(22, 0);
        end[0] = 'P', end[1] = 'K', end[2] = 5, end[3] = 6, end[10] = 1, end[16] = uint8_t(central);
        z.insert(z.end(), end.begin(), end.end());
        return z;
    };
    using K = mfm::ForeignKind;
    const struct { std::vector<uint8_t> bytes; uint64_t size; K kind; } cases[] = {
        {zip("disk/track00.0.raw"), 0, K::kryofluxZip},
        {zip("track79.1.raw"), 0, K::kryofluxZip},
        {zip("readme.txt"), 0, K::zip},
        {zip("track0.0.raw"), 0, K::zip},
        {std::vector<uint8_t>(64, 0), 737280, K::sectorImage},
        {std::vector<uint8_t>(64, 0), 737280 + 512, K::unknown},
        {std::vector<uint8_t>(64, 0), 8388608, K::unknown},
        {{}, 0, K::unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mfm::foreignKind(c.bytes, c.size ? c.size : c.bytes.size()), c.kind) << c.size;
}
