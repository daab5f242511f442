// Sector images to raw captures and back: the track formatter, st2raw, and
// rawscan giving every image back byte for byte.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <random>

namespace {

std::vector<uint8_t> bootImage(int tracks, int heads, int spt)
{
    std::vector<uint8_t> image(size_t(tracks) * heads * spt * SECTOR_SIZE, 0xE5);
    const unsigned total = unsigned(tracks * heads * spt);
    uint8_t *b = image.data();
    b[11] = 0x00, b[12] = 0x02, b[19] = uint8_t(total), b[20] = uint8_t(total >> 8), b[21] = 0xFD;
    b[24] = uint8_t(spt), b[25] = 0, b[26] = uint8_t(heads), b[27] = 0;
    return image;
}

std::vector<uint8_t> randomImage(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> image(size);
    for (auto &b : image)
        b = uint8_t(rng());
    return image;
}

// One run of A1 A1 A1 and `mark` in every sector, at a varying place.
std::vector<uint8_t> imageWithMarkRuns(size_t size, uint8_t mark)
{
    auto image = randomImage(size, mark);
    for (size_t s = 0; s < size / SECTOR_SIZE; s++) {
        const uint8_t run[] = {0xA1, 0xA1, 0xA1, mark};
        memcpy(image.data() + s * SECTOR_SIZE + (s * 37) % (SECTOR_SIZE - sizeof run), run, sizeof run);
    }
    return image;
}

RunResult st2raw(const std::vector<std::string> &args) { return runProgram(ST2RAW_PATH, args); }

}

TEST(Formatter, ChoosesTheGeometry)
{
    const struct { std::vector<uint8_t> image; int ok; DiskGeometry geometry; } cases[] = {
        {std::vector<uint8_t>(737280), 1, {80, 2, 9}},
        {std::vector<uint8_t>(819200), 1, {80, 2, 10}},
        {std::vector<uint8_t>(1474560), 1, {80, 2, 18}},
        {bootImage(40, 2, 9), 1, {40, 2, 9}},
        {bootImage(80, 1, 9), 1, {80, 1, 9}},
        {bootImage(80, 2, 15), 1, {80, 2, 15}},
        {bootImage(81, 1, 9), 0, {}},
        {bootImage(20, 2, 19), 0, {}},
        {std::vector<uint8_t>(368640), 0, {}},   // no boot sector geometry
        {std::vector<uint8_t>(100), 0, {}},
    };
    for (const auto &c : cases) {
        DiskGeometry g{};
        ASSERT_EQ(imageGeometry(c.image.data(), int64_t(c.image.size()), &g), c.ok) << c.image.size();
        if (c.ok) {
            EXPECT_EQ(g.tracks, c.geometry.tracks);
            EXPECT_EQ(g.heads, c.geometry.heads);
            EXPECT_EQ(g.spt, c.geometry.spt);
        }
    }
    auto wrongBps = bootImage(40, 2, 9);
    wrongBps[12] = 4;
    DiskGeometry g{};
    EXPECT_EQ(imageGeometry(wrongBps.data(), int64_t(wrongBps.size()), &g), 0);
}

// Both heads' tracks fit one revolution each, head 1 starting one revolution
// after head 0, with gap bytes to the end of each stretch.
TEST(Formatter, TracksFitTheirRevolution)
{
    for (const DiskGeometry g : {DiskGeometry{80, 2, 18}, DiskGeometry{80, 2, 10}, DiskGeometry{80, 2, 9}}) {
        const int revolution = g.spt > 10 ? 12500 : 6250;
        const auto image = randomImage(size_t(g.tracks) * g.heads * g.spt * SECTOR_SIZE, g.spt);
        ASSERT_EQ(formatDisk(image.data(), &g), 1);
        for (int c : {0, 79}) {
            const uint8_t *cyl = ddisk + c * DBUFFER_SIZE;
            for (int h = 0; h < 2; h++) {
                const uint8_t *t = cyl + h * revolution;
                EXPECT_EQ(t[0], 0x4E);
                EXPECT_EQ(t[80], 0x00);
                EXPECT_EQ(t[92], 0xC2);
                EXPECT_EQ(t[revolution - 1], 0x4E) << "track overran its revolution";
                // The last data field and its CRC lie inside the revolution.
                const uint8_t *last = static_cast<const uint8_t *>(memmem(t, size_t(revolution),
                    image.data() + ((size_t(c) * 2 + size_t(h)) * g.spt + g.spt - 1) * SECTOR_SIZE, SECTOR_SIZE));
                ASSERT_NE(last, nullptr) << g.spt;
                const uint16_t crc = crc16(last - 4, 4 + SECTOR_SIZE);
                EXPECT_EQ(last[SECTOR_SIZE], crc >> 8);
                EXPECT_EQ(last[SECTOR_SIZE + 1], crc & 0xFF);
                EXPECT_LE(last + SECTOR_SIZE + 2, t + revolution);
            }
            EXPECT_EQ(std::count(cyl + 2 * revolution, cyl + DBUFFER_SIZE, 0x4E), DBUFFER_SIZE - 2 * revolution);
        }
        EXPECT_EQ(std::count(ddisk + 80 * DBUFFER_SIZE, ddisk + DDISK_SIZE, 0x4E), DDISK_SIZE - 80 * DBUFFER_SIZE);
    }
    const DiskGeometry tooMany{80, 2, 19};
    ddisk[0] = 1;
    EXPECT_EQ(formatDisk(nullptr, &tooMany), 0);
    EXPECT_EQ(ddisk[0], 1);
}

TEST(RoundTrip, EveryGeometryAndDrive)
{
    const std::string dir = tempDir();
    const struct { std::vector<uint8_t> image; const char *drive; std::string summary; } cases[] = {
        {randomImage(1474560, 1), "B", "80 tracks, 2 heads, 18 sectors per track, 500 kbit/s, drive B"},
        {randomImage(819200, 2), "A", "80 tracks, 2 heads, 10 sectors per track, 250 kbit/s, drive A"},
        {randomImage(737280, 3), "a", "80 tracks, 2 heads, 9 sectors per track, 250 kbit/s, drive A"},
        {bootImage(40, 2, 9), "b", "40 tracks, 2 heads, 9 sectors per track, 250 kbit/s, drive B"},
        {bootImage(80, 1, 15), "", "80 tracks, 1 heads, 15 sectors per track, 500 kbit/s, drive B"},
        {bootImage(40, 2, 11), "", "40 tracks, 2 heads, 11 sectors per track, 250 kbit/s, drive B"},
        {imageWithMarkRuns(901120, MARK_DATA), "B", "80 tracks, 2 heads, 11 sectors per track, 250 kbit/s, drive B"},
        {imageWithMarkRuns(1474560, MARK_DATA), "B", "80 tracks, 2 heads, 18 sectors per track, 500 kbit/s, drive B"},
        {imageWithMarkRuns(737280, MARK_ID), "A", "80 tracks, 2 heads, 9 sectors per track, 250 kbit/s, drive A"},
    };
    for (const auto &c : cases) {
        writeFile(dir + "/in.st", c.image);
        std::vector<std::string> args = {dir + "/in.st", dir + "/c.raw"};
        if (*c.drive)
            args.push_back(c.drive);
        const RunResult made = st2raw(args);
        ASSERT_EQ(made.status, 0) << made.out;
        EXPECT_EQ(made.out, dir + "/c.raw: " + c.summary + "\n");
        const bool driveA = c.drive[0] == 'A' || c.drive[0] == 'a';
        EXPECT_EQ(readFile(dir + "/c.raw").size(), driveA ? 16777216u : 8388608u);
        const RunResult back = runProgram(RAWSCAN_PATH, {dir + "/c.raw", driveA ? "A" : "B", "-1", "binary", dir + "/out.st"});
        EXPECT_EQ(back.status, 0);
        EXPECT_TRUE(readFile(dir + "/out.st") == std::string(c.image.begin(), c.image.end())) << c.summary;
    }
}

// Atari ST disks: more cylinders than rawscan reads, and 11 sectors at
// 250 kbit/s. rawimage reads every sector of them back good (exit status
// 0), also where sector bytes hold A1 A1 A1 and a mark.
TEST(RoundTrip, AtariStLayoutsThroughRawimage)
{
    const std::string dir = tempDir();
    const struct { std::vector<uint8_t> image; int cylinders, heads, spt; } cases[] = {
        {randomImage(82 * 2 * 10 * 512, 4), 82, 2, 10},
        {randomImage(86 * 1 * 9 * 512, 5), 86, 1, 9},
        {randomImage(80 * 2 * 11 * 512, 6), 80, 2, 11},
        {randomImage(84 * 2 * 11 * 512, 7), 84, 2, 11},
        {imageWithMarkRuns(86 * 2 * 11 * 512, MARK_ID), 86, 2, 11},
        {imageWithMarkRuns(80 * 2 * 9 * 512, MARK_DATA), 80, 2, 9},
    };
    for (const auto &c : cases) {
        const std::string shape = std::to_string(c.cylinders) + " x " + std::to_string(c.heads) + " x " +
                                  std::to_string(c.spt);
        writeFile(dir + "/in.st", c.image);
        const RunResult made = st2raw({dir + "/in.st", dir + "/c.raw"});
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(made.out, dir + "/c.raw: " + std::to_string(c.cylinders) + " tracks, " + std::to_string(c.heads) +
                                " heads, " + std::to_string(c.spt) + " sectors per track, 250 kbit/s, drive B\n");
        const RunResult back = runProgram(RAWIMAGE_PATH, {"-o", dir + "/out.st", dir + "/c.raw"});
        EXPECT_EQ(back.status, 0) << shape << "\n" << back.all();
        EXPECT_TRUE(readFile(dir + "/out.st") == std::string(c.image.begin(), c.image.end())) << shape;
    }
}

// Every refusal: a reason on stderr headed "st2raw: ", exit status 2,
// nothing written, the image unchanged.
TEST(RoundTrip, St2rawErrors)
{
    const std::string dir = tempDir();
    writeFile(dir + "/odd.st", std::vector<uint8_t>(1000));
    writeFile(dir + "/big.st", std::vector<uint8_t>(2000000));
    writeFile(dir + "/87.st", std::vector<uint8_t>(87 * 2 * 11 * 512));
    writeFile(dir + "/ok.st", std::vector<uint8_t>(737280));
    ASSERT_EQ(link((dir + "/ok.st").c_str(), (dir + "/hard.st").c_str()), 0);
    ASSERT_EQ(symlink("ok.st", (dir + "/soft.st").c_str()), 0);
    const std::string sizes = "want 80 to 86 cylinders of 1 or 2 heads x 9, 10 or 11 sectors (250 kbit/s) or "
                              "80 x 2 x 18 (500 kbit/s) of 512 bytes, or a size the boot sector's geometry gives "
                              "(up to 80 x 2 x 18 sectors of 512 bytes)\n";
    const std::string ok = dir + "/ok.st", raw = dir + "/c.raw";
    const struct { std::vector<std::string> args; std::string err; } cases[] = {
        {{dir + "/missing.st", raw}, "st2raw: " + dir + "/missing.st: No such file or directory\n"},
        {{dir, raw}, "st2raw: " + dir + ": Is a directory\n"},
        {{dir + "/odd.st", raw}, "st2raw: " + dir + "/odd.st: unsupported image size 1000: " + sizes},
        {{dir + "/big.st", raw}, "st2raw: " + dir + "/big.st: unsupported image size 2000000: " + sizes},
        {{dir + "/87.st", raw}, "st2raw: " + dir + "/87.st: unsupported image size 979968: " + sizes},
        {{ok, dir + "/no/dir/c.raw"}, "st2raw: " + dir + "/no/dir/c.raw: No such file or directory\n"},
        {{ok, "/dev/full"}, "st2raw: /dev/full: No space left on device\n"},
        {{ok, "/dev/full", "A"}, "st2raw: /dev/full: No space left on device\n"},
        {{ok, ok}, "st2raw: " + ok + ": the capture would replace the input " + ok + "\n"},
        {{ok, dir + "/hard.st"}, "st2raw: " + dir + "/hard.st: the capture would replace the input " + ok + "\n"},
        {{ok, dir + "/soft.st"}, "st2raw: " + dir + "/soft.st: the capture would replace the input " + ok + "\n"},
        {{ok, raw, "C"}, "st2raw: bad drive 'C': want A, a, B or b\nTry 'st2raw --help' for more information.\n"},
        {{ok, raw, "Ax"}, "st2raw: bad drive 'Ax': want A, a, B or b\nTry 'st2raw --help' for more information.\n"},
        {{ok}, "st2raw: want IMAGE CAPTURE [A|B]\nTry 'st2raw --help' for more information.\n"},
        {{"-x", ok, raw}, "st2raw: option '-x' is unknown\nTry 'st2raw --help' for more information.\n"},
    };
    for (const auto &c : cases) {
        const RunResult r = st2raw(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(readFile(ok), std::string(737280, '\0'));
    }
    EXPECT_FALSE(std::ifstream(raw).good());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 6) << "a temporary file was left";

    const RunResult help = st2raw({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: st2raw [options] IMAGE CAPTURE [A|B]\n", 0), 0u);
    const RunResult version = st2raw({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("st2raw 1.3.0 (mfm ", 0), 0u);
}
