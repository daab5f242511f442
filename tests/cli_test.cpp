// The rawscan command line, end to end on the real executable: exact output
// lines and exit statuses, whole-disk runs and the independent fixture.
#include "helpers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string banner = std::string(RAWSCAN_PATH) + " built using Quillon 20200509\n";
const std::string usageText =
    "usage:\n"
    "       rawscan rawdfile <Driveletter> <Track(-1==all)> analyse\n"
    "       rawscan rawdfile <Driveletter> <Track(-1==all)> binary <filename.st>\n";
const std::string driveB = "Drive B (no rawfile offset)\n";
const std::string allTracks = "trackvalue: Verbose Mode for all Tracks\n";

RunResult rawscan(const std::vector<std::string> &args) { return runProgram(RAWSCAN_PATH, args); }

std::string trackLine(const std::string &n) { return "trackvalue: Verbose Mode only for Track: " + n + "\n"; }

// A drive-B capture of 80 formatted tracks, and the image it must decode to.
struct Disk {
    std::string capture, image;
};

Disk makeDisk(const std::string &dir, int sectors)
{
    std::vector<uint8_t> capture, image;
    for (int t = 0; t < TRACKS; t++) {
        const auto slot = formattedSlot(t, sectors, 40 + 7 * t);
        capture.insert(capture.end(), slot.begin(), slot.end());
        for (int h = 0; h < HEADS; h++)
            for (int s = 1; s <= sectors; s++) {
                const auto d = sectorData(t, h, s);
                image.insert(image.end(), d.begin(), d.end());
            }
    }
    Disk d{dir + "/disk.raw", dir + "/disk.st"};
    writeFile(d.capture, capture);
    writeFile(d.image, image);
    return d;
}

size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

}

TEST(CommandLine, RejectedBeforeLoading)
{
    const struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{"a", "B"}, banner + usageText},
        {{"a", "B", "-1", "analyse", "x", "y"}, banner + usageText},
        {{"none", "B", "-1", "hElP"}, banner + driveB + allTracks + "Help\n" + usageText},
        {{"none", "B", "0", "analysis"}, banner + driveB + trackLine("0") + usageText},
        {{"none", "B", "0", "analyse "}, banner + driveB + trackLine("0") + usageText},
        {{"none", "B", "0", ""}, banner + driveB + trackLine("0") + usageText},
        {{"none", "B", "0", "analyseanalyseanalyseanalyse"}, banner + driveB + trackLine("0") + usageText},
        {{"none", "B", "0", std::string(10000, 'A')}, banner + driveB + trackLine("0") + usageText},
        {{"none", "a", "x", "binary"}, banner + driveB + trackLine("0") + "Binary\n" + usageText},
        {{"none", "Ax", "99999999999999999999", "help"},
         banner + "Drive A (rawfile offset==8MB)\n" + trackLine("2147483647") + "Help\n" + usageText},
        {{"none", "", "-2147483649", "help"}, banner + driveB + allTracks + "Help\n" + usageText},
    };
    for (const auto &c : cases) {
        const RunResult r = rawscan(c.args);
        EXPECT_EQ(r.out, c.out) << c.args.size();
        EXPECT_EQ(r.status, 255);
    }
}

// The stdout lines are the same for every reason; stderr says which.
TEST(CommandLine, CaptureAndImageFailures)
{
    const std::string dir = tempDir();
    writeFile(dir + "/old.st", {1, 2, 3});
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
    const struct { std::string capture, reason; } captures[] = {
        {dir + "/missing.raw", "No such file or directory"},
        {dir, "Is a directory"},
        {dir + "/loop", "Too many levels of symbolic links"},
        {dir + "/" + std::string(300, 'x'), "File name too long"},
    };
    for (const auto &c : captures) {
        const RunResult r = rawscan({c.capture, "B", "-1", "BINARY", dir + "/old.st"});
        EXPECT_EQ(r.out, banner + driveB + allTracks + "Binary\nFile " + c.capture + " not found\n");
        EXPECT_EQ(r.err, "rawscan: " + c.capture + ": " + c.reason + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(readFile(dir + "/old.st"), std::string("\1\2\3")) << "image touched";
    }

    writeFile(dir + "/empty.raw", {});
    const RunResult r = rawscan({dir + "/empty.raw", "B", "1", "binary", dir + "/no/dir/out.st"});
    EXPECT_EQ(r.out, banner + driveB + trackLine("1") + "Binary\nFile-Size: 0\nFile " + dir +
                         "/no/dir/out.st cannot be created\n");
    EXPECT_EQ(r.err, "rawscan: " + dir + "/no/dir/out.st: No such file or directory\n");
    EXPECT_EQ(r.status, 255);
}

TEST(CommandLine, VerboseTracksAndMissingSlots)
{
    const std::string dir = tempDir();
    std::vector<uint8_t> capture(size_t(TRACK_SLOT_SIZE) * 8 + 100, 0);   // tracks 0..7, then 100 bytes
    for (int t : {0, 7}) {
        const auto slot = formattedSlot(t, 1, 3);
        std::copy(slot.begin(), slot.end(), capture.begin() + long(t) * TRACK_SLOT_SIZE);
    }
    writeFile(dir + "/c.raw", capture);
    const std::string warning = "lies beyond the end of the raw capture; missing cells read as zero\n";
    const struct { std::string selector; std::vector<int> verboseTracks; } cases[] = {
        {"7", {7}}, {"-1", {0, 7}}, {"x", {0}}, {"80", {}},
    };
    for (const auto &c : cases) {
        const RunResult r = rawscan({dir + "/c.raw", "B", c.selector, "analyse", "ignored.st"});
        EXPECT_EQ(r.status, 0);
        for (int t : {0, 7}) {
            const std::string head = std::string("Analyse Track: 0") + char('0' + t) + "\n";
            const bool loud = std::count(c.verboseTracks.begin(), c.verboseTracks.end(), t) > 0;
            EXPECT_NE(r.out.find(head + (loud ? "\n000: shift 3 ok" : "000: shift 3 ok")), std::string::npos)
                << c.selector << " track " << t;
        }
        EXPECT_EQ(countOf(r.out, warning), 72u);
        EXPECT_NE(r.out.find("Analyse Track: 08\nWarning: track 08 " + warning), std::string::npos);
    }
    EXPECT_FALSE(std::ifstream("ignored.st").good());

    // Drive A of a drive-B-only capture: every track warned, nothing read.
    const RunResult a = rawscan({dir + "/c.raw", "A", "-1", "binary", dir + "/a.st"});
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(countOf(a.out, warning), 80u);
    EXPECT_EQ(countOf(a.out, " invalid **\n"), 80u * 36);
    EXPECT_EQ(readFile(dir + "/a.st").size(), 0u);
}

TEST(EndToEnd, BinaryModeGivesTheImageBack)
{
    const std::string dir = tempDir();
    for (int sectors : {18, 9}) {
        const Disk d = makeDisk(dir, sectors);
        const RunResult r = rawscan({d.capture, "B", "-1", "binary", dir + "/out.st"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(readFile(dir + "/out.st") == readFile(d.image)) << sectors;
        EXPECT_EQ(countOf(r.out, " invalid **\n"), sectors == 18 ? 0u : 80u * 18);
        EXPECT_EQ(countOf(r.out, "crc ok\n"), 80u * 2 * 2 * size_t(sectors));
        EXPECT_EQ(r.out.find("Analyse Track"), std::string::npos);
        EXPECT_TRUE(r.out.ends_with(sectors == 18 ? "\n############ End Info Track 79 ##############\n\n"
                                                  : "** Head 1 - Sector 18 invalid **\n"));
    }
}

// An image that cannot be written whole: the report is complete, the
// failure comes last, and a regular file is not left half written.
TEST(EndToEnd, ImageWriteFailures)
{
    const std::string dir = tempDir();
    const Disk d = makeDisk(dir, 18);
    const RunResult r = rawscan({d.capture, "B", "-1", "binary", "/dev/full"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("File /dev/full write error\n"));
    EXPECT_EQ(r.err, "rawscan: /dev/full: No space left on device\n");
    EXPECT_EQ(countOf(r.out, "############ Info Track 79 "), 1u) << "the pass stopped early";

    // A file size limit (SIGXFSZ ignored) stops the image part way.
    const std::string cmd = "ulimit -f 400; trap '' XFSZ; '" + std::string(RAWSCAN_PATH) + "' '" + d.capture +
                            "' B -1 binary '" + dir + "/out.st' >/dev/null 2>'" + dir + "/err.txt'";
    const int raw = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 255);
    EXPECT_EQ(readFile(dir + "/err.txt"), "rawscan: " + dir + "/out.st: File too large\n");
    EXPECT_FALSE(std::ifstream(dir + "/out.st").good());
}

// A report that cannot be written (standard output on a full disk) fails the run.
TEST(EndToEnd, ReportWriteFailure)
{
    const Disk d = makeDisk(tempDir(), 9);
    const std::string cmd = std::string("'") + RAWSCAN_PATH + "' '" + d.capture + "' B -1 analyse >/dev/full";
    const int raw = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 255);
}

// The independent capture: a real FAT12 disk whose cells another encoder made.
TEST(Fixture, DecodesTheIndependentCapture)
{
    const std::string dir = tempDir();
    const std::string raw = std::string(FIXTURE_DIR) + "/fat1440_driveB.raw";
    const RunResult r = rawscan({raw, "B", "-1", "binary", dir + "/out.st"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readFile(dir + "/out.st") == readFile(std::string(FIXTURE_DIR) + "/fat1440_driveB.expected.st"));
    EXPECT_EQ(countOf(r.out, "crc ok\n"), 5760u);
    EXPECT_EQ(countOf(r.out, "a1 a1 a1"), 5760u);
    EXPECT_EQ(countOf(r.out, "071: shift"), 80u);
    for (const char *bad : {"Error", "Unexpected", "unknown", "invalid", "Warning"})
        EXPECT_EQ(r.out.find(bad), std::string::npos) << bad;

    const RunResult one = rawscan({raw, "B", "0", "analyse"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(countOf(one.out, "*** Bootsector Info ****\n\nDisktype=00f0\nbps=0x0200\nspt=18\nheads=2\n"
                               "sectors=2880\ntracks=80\n\n*** End Bootsector Info ****\n"),
              1u);
    EXPECT_EQ(countOf(one.out, "Valid "), 80u * 36);
}
