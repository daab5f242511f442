// Hostile captures on the real executable: exact lines and exit statuses
// for empty, tiny and truncated files, tracks of nothing but syncs, blank
// tracks and fields at the very end of a slot.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string header = std::string(RAWSCAN_PATH) +
                           " built using Quillon 20200509\nDrive B (no rawfile offset)\n"
                           "trackvalue: Verbose Mode only for Track: 99\nBinary\n";

std::string warning(int t)
{
    char line[128];
    snprintf(line, sizeof line,
             "Warning: track %02d lies beyond the end of the raw capture; missing cells read as zero\n", t);
    return line;
}

std::string status(int t, const std::string &head0, const std::string &head1)
{
    return "\n############ Info Track " + std::to_string(t) + " ################\n\nSector Status Info:\nHead 0: " +
           head0 + "\nHead 1: " + head1 + "\n\n############ End Info Track " + std::to_string(t) +
           " ##############\n\n";
}

std::string unread()
{
    std::string s;
    for (int i = 1; i <= 18; i++)
        s += std::to_string(i) + ":***** ";
    return s;
}

std::string invalidLines(int firstHead0, int firstHead1 = 1)
{
    std::string s;
    for (int h = 0; h < 2; h++)
        for (int i = h ? firstHead1 : firstHead0; i <= 18; i++)
            s += "** Head " + std::to_string(h) + " - Sector " + std::to_string(i) + " invalid **\n";
    return s;
}

// Binary mode over a capture; the image must hold `imageBytes` bytes.
RunResult binary(const std::vector<uint8_t> &capture, size_t imageBytes)
{
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", capture);
    const RunResult r = runProgram(RAWSCAN_PATH, {dir + "/c.raw", "B", "99", "binary", dir + "/out.st"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir + "/out.st").size(), imageBytes);
    return r;
}

// Drive B capture whose slot 0 is `slot` and whose other 79 slots are blank.
std::vector<uint8_t> withSlot0(const std::vector<uint8_t> &slot)
{
    std::vector<uint8_t> capture(size_t(TRACK_SLOT_SIZE) * TRACKS, 0);
    std::copy(slot.begin(), slot.end(), capture.begin());
    return capture;
}

std::string blankTracks(int from, bool warned)
{
    std::string s;
    for (int t = from; t < TRACKS; t++)
        s += (warned ? warning(t) : "") + status(t, unread(), unread()) + invalidLines(1);
    return s;
}

}

TEST(BadInput, EmptyAndOneByteCaptures)
{
    for (size_t size : {size_t(0), size_t(1)}) {
        const RunResult r = binary(std::vector<uint8_t>(size, 0x44), 0);
        EXPECT_EQ(r.out, header + "File-Size: " + std::to_string(size) + "\n" + blankTracks(0, true));
    }
}

TEST(BadInput, BlankTracks)
{
    for (uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
        const RunResult r = binary(std::vector<uint8_t>(size_t(TRACK_SLOT_SIZE) * TRACKS, fill), 0);
        EXPECT_EQ(r.out, header + "File-Size: 5242880\n" + blankTracks(0, false));
    }
}

// A capture cut inside track 3, in the middle of a data field: the sectors
// before the cut are read, the cut field fails its CRC, and every later track
// is warned about.
TEST(BadInput, CaptureTruncatedMidField)
{
    std::vector<uint8_t> capture;
    for (int t = 0; t < 4; t++) {
        const auto slot = formattedSlot(t, 9, 16 * 5);
        capture.insert(capture.end(), slot.begin(), slot.end());
    }
    // Head 0's sector 3 data field: gap 60, two sectors of 614 bytes, its ID
    // field of 44 bytes, 12 zero bytes, 4 mark bytes, then data; cut 100 bytes in.
    const size_t cut = 3 * size_t(TRACK_SLOT_SIZE) + 10 + size_t(2 * (60 + 2 * 614 + 44 + 16 + 100));
    capture.resize(cut);
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", capture);
    const RunResult r = runProgram(RAWSCAN_PATH, {dir + "/c.raw", "B", "99", "binary", dir + "/out.st"});
    EXPECT_EQ(r.status, 0);
    const size_t track3 = r.out.find(warning(3));
    ASSERT_NE(track3, std::string::npos);
    EXPECT_EQ(r.out.find("crc Error"), r.out.find("Data Mark crc Error", track3) + 10);
    EXPECT_NE(r.out.find("Head 0: 1:Valid 2:Valid 3:Valid 4:***** ", track3), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.find(warning(4))), blankTracks(4, true));
    // Three full tracks of 9 sectors a head, then sectors 1 to 3 of head 0.
    EXPECT_EQ(readFile(dir + "/out.st").size(), (3 * 18 + 3) * 512u);
}

// Nothing but sync words: every scan position up to the last whole sync
// sequence finds one, and the mark byte behind each is A1 again.
TEST(BadInput, TrackOfNothingButSyncs)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE);
    for (size_t i = 0; i < slot.size(); i += 2)
        slot[i] = 0x44, slot[i + 1] = 0x89;
    const RunResult r = binary(withSlot0(slot), 0);
    std::string trace;
    for (int p = 0; p <= 65530; p += 2) {
        char line[80];
        snprintf(line, sizeof line, "%03d: shift 0 ok %04x -- a1 a1 a1 %s: unknown Mark\n", p / 2, p,
                 p == 65530 ? "00" : "a1");
        trace += line;
    }
    EXPECT_EQ(r.out, header + "File-Size: 5242880\n" + trace + status(0, unread(), unread()) + invalidLines(1) +
                         blankTracks(1, false));
}

// Fields at the last positions of the slot read zero cells past its end.
TEST(BadInput, FieldsAtTheEndOfTheSlot)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    CellWriter id(slot, 8 * 65460 - 192);
    id.idField(0, 0, 1);   // sync at 65460: the ID field and its gap fit whole
    CellWriter data(slot, 8 * 65528 - 192);
    data.dataField(std::vector<uint8_t>(512, 0x5A).data());   // sync at 65528, mark at 65534
    std::vector<uint8_t> dataBytes(516, 0);
    dataBytes[0] = dataBytes[1] = dataBytes[2] = 0xA1, dataBytes[3] = 0xFB;
    char crc[64];
    snprintf(crc, sizeof crc, "%04x", crc16(dataBytes.data(), 516));
    const RunResult r = binary(withSlot0(slot), 512);
    std::string head0 = "1:Valid ";
    for (int i = 2; i <= 18; i++)
        head0 += std::to_string(i) + ":***** ";
    EXPECT_EQ(r.out, header + "File-Size: 5242880\n"
                              "000: shift 0 ok ffb4 -- a1 a1 a1 fe: Track: 00 Side: 0 Sector: 01 Size: 2 crc ok\n"
                              "001: shift 0 ok fff8 -- a1 a1 a1 fb: Data Mark crc Error: 0000 -- " +
                         std::string(crc) + "\n" + status(0, head0, unread()) + invalidLines(2) +
                         blankTracks(1, false));
}

// Hostile runs of the tool itself: an image that names the capture, huge
// and endless captures, closed standard descriptors.

TEST(HostileRuns, AnImageNamingTheCaptureIsRefused)
{
    const std::string dir = tempDir();
    const auto capture = withSlot0(formattedSlot(0, 9, 5));
    writeFile(dir + "/c.raw", capture);
    ASSERT_EQ(link((dir + "/c.raw").c_str(), (dir + "/hard").c_str()), 0);
    ASSERT_EQ(symlink("c.raw", (dir + "/soft").c_str()), 0);
    for (const char *image : {"/c.raw", "/hard", "/soft"}) {
        const std::string name = dir + image;
        const RunResult r = runProgram(RAWSCAN_PATH, {dir + "/c.raw", "B", "99", "binary", name});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, header + "File-Size: 5242880\nFile " + name + " cannot be created (it is the raw capture)\n");
        EXPECT_EQ(r.err, "rawscan: " + name + ": it is the raw capture\n");
        EXPECT_TRUE(readFile(dir + "/c.raw") == std::string(capture.begin(), capture.end())) << image;
    }
}

// Only the 16 MiB that slots address are kept (what is kept is checked in
// capture_test): a 200 MiB file is read in little memory, and /dev/zero is
// read on and on without growing, like `wc -c` would.
TEST(HostileRuns, HugeAndEndlessCapturesKeepMemoryBounded)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own memory would hide the tool's";
#endif
    const std::string dir = tempDir();
    writeFile(dir + "/big.raw", withSlot0(formattedSlot(0, 9, 5)));
    ASSERT_EQ(truncate((dir + "/big.raw").c_str(), 200 << 20), 0);
    const LimitedRun big = runLimited(RAWSCAN_PATH, {dir + "/big.raw", "A", "99", "binary", dir + "/a.st"}, 0, 60);
    EXPECT_EQ(big.status, 0);
    EXPECT_LT(big.peakKiB, 24 * 1024);
    const LimitedRun endless = runLimited(RAWSCAN_PATH, {"/dev/zero", "B", "0", "analyse"}, size_t(100) << 20, 2);
    EXPECT_TRUE(endless.timedOut) << "status " << endless.status << ", signal " << endless.signal;
    EXPECT_LT(endless.peakKiB, 24 * 1024);
}

// With standard descriptors closed, no file lands on them: the image is the
// same as ever, and a report that went nowhere fails the run.
TEST(HostileRuns, ClosedStandardDescriptors)
{
    const std::string dir = tempDir();
    writeFile(dir + "/c.raw", withSlot0(formattedSlot(0, 9, 5)));
    const std::string run = std::string("'") + RAWSCAN_PATH + "' '" + dir + "/c.raw' B -1 binary '" + dir;
    ASSERT_EQ(system((run + "/expected.st' >/dev/null").c_str()), 0);
    const std::string closings[] = {">&- 2>'" + dir + "/err.txt'", "<&- >&- 2>&-"};
    for (const std::string &closed : closings) {
        const int raw = system((run + "/out.st' " + closed).c_str());
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 255) << closed;
        EXPECT_TRUE(readFile(dir + "/out.st") == readFile(dir + "/expected.st")) << closed;
    }
    EXPECT_EQ(readFile(dir + "/err.txt"), "rawscan: standard output: Bad file descriptor\n");
}
