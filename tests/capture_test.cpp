// Raw capture loading, track slots and whole-track alignment.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

std::string loadAndReport(const std::string &path)
{
    free(f);
    f = nullptr;
    return captureStdout([&] { readMFMfile(path.c_str()); });
}

std::vector<uint8_t> numbered(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(i * 7 + (i >> 16));
    return v;
}

}

TEST(Capture, LoadsFilesOfAnySize)
{
    const std::string dir = tempDir();
    for (size_t size : {size_t(0), size_t(1), size_t(65536 * 3 + 100)}) {
        const auto bytes = numbered(size);
        writeFile(dir + "/cap", bytes);
        EXPECT_EQ(loadAndReport(dir + "/cap"), "File-Size: " + std::to_string(size) + "\n");
        ASSERT_EQ(floaded, int64_t(size));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), f));
    }
}

TEST(Capture, SlotsBeyondTheLoadedBytesReadAsZero)
{
    const std::string dir = tempDir();
    const auto bytes = numbered(65536 * 2 + 1000);
    writeFile(dir + "/cap", bytes);
    loadAndReport(dir + "/cap");

    memset(buffer, 0x55, sizeof buffer);
    loadTrackSlot(0, 1);
    EXPECT_EQ(memcmp(buffer, bytes.data() + 65536, 65536), 0);
    EXPECT_TRUE(trackSlotLoaded(0, 1));

    loadTrackSlot(0, 2);   // partly loaded
    EXPECT_EQ(memcmp(buffer, bytes.data() + 131072, 1000), 0);
    EXPECT_EQ(std::count(buffer + 1000, buffer + 65536, 0), 65536 - 1000);
    EXPECT_FALSE(trackSlotLoaded(0, 2));

    // Drive A of a drive-B-only file; only the low 8 bits of the drive count.
    for (uint8_t drive : {uint8_t(1), uint8_t(0xFF)}) {
        memset(buffer, 0x55, sizeof buffer);
        loadTrackSlot(drive, 0);
        EXPECT_EQ(std::count(buffer, buffer + 65536, 0), 65536);
        EXPECT_FALSE(trackSlotLoaded(drive, 0));
    }
    loadTrackSlot(0, -1);
    EXPECT_EQ(std::count(buffer, buffer + 65536, 0), 65536);
}

TEST(Capture, DriveAStartsAtEightMebibytes)
{
    std::vector<uint8_t> capture(16 * 1024 * 1024, 0);
    capture[8388608] = 0x11;
    capture[8454143] = 0x22;
    useCapture(capture);
    loadTrackSlot(1, 0);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[65535], 0x22);
    EXPECT_TRUE(trackSlotLoaded(1, 79));
    f = nullptr;
}

TEST(Capture, PipesAreReadToTheirEnd)
{
    const std::string dir = tempDir();
    const auto bytes = numbered(3 * 1024 * 1024 + 17);
    writeFile(dir + "/cap", bytes);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(system(("mkfifo " + fifo + " && (cat " + dir + "/cap > " + fifo + " &)").c_str()), 0);
    EXPECT_EQ(loadAndReport(fifo), "File-Size: " + std::to_string(bytes.size()) + "\n");
    ASSERT_EQ(floaded, int64_t(bytes.size()));
    EXPECT_EQ(memcmp(f, bytes.data(), bytes.size()), 0);
}

// Slots address 16 MiB; beyond that a file is only measured, a stream only
// counted, and the size line still tells the whole length.
TEST(Capture, KeepsOnlyWhatSlotsAddress)
{
    const std::string dir = tempDir();
    auto bytes = numbered(size_t(CAPTURE_BYTES) + 100);
    writeFile(dir + "/cap", bytes);
    ASSERT_EQ(truncate((dir + "/cap").c_str(), int64_t(3) << 30), 0);   // sparse, 3 GiB
    ASSERT_EQ(system(("mkfifo " + dir + "/fifo && (head -c " + std::to_string(bytes.size()) + " " + dir +
                      "/cap > " + dir + "/fifo &)").c_str()),
              0);
    const struct { std::string name, sizeLine; } cases[] = {
        {dir + "/cap", "File-Size: 3221225472\n"},
        {dir + "/fifo", "File-Size: " + std::to_string(bytes.size()) + "\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(loadAndReport(c.name), c.sizeLine);
        ASSERT_EQ(floaded, CAPTURE_BYTES);
        EXPECT_EQ(memcmp(f, bytes.data(), size_t(CAPTURE_BYTES)), 0);
    }
}

TEST(Capture, MissingFilesAndDirectoriesEndTheRun)
{
    const std::string dir = tempDir();
    for (const std::string &name : {dir + "/missing", dir}) {
        // The message goes to standard output; the death test reads stderr.
        EXPECT_EXIT(
            {
                dup2(STDERR_FILENO, STDOUT_FILENO);
                setvbuf(stdout, nullptr, _IONBF, 0);
                readMFMfile(name.c_str());
            },
            testing::ExitedWithCode(255),
            "^File " + name + " not found\n[a-z_]+: " + name + ": (No such file or directory|Is a directory)\n$");
    }
}

namespace {

// A slot whose sync words start `k` cells after a cell-word boundary.
std::vector<uint8_t> slotWithSyncsAt(int k, int syncs)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    CellWriter w(slot, 1600 + k);
    for (int i = 0; i < syncs; i++) {
        w.fill(0x00, 10);
        w.sync();
    }
    return slot;
}

std::string alignmentLog(int k, int count)
{
    std::string log;
    for (int i = 0; i < k; i++)
        log += "A1 0\nshift nicht ok\n";
    log += "A1 " + std::to_string(count) + "\n";
    if (count < 216)
        log += "Only " + std::to_string(count) +
               " A1-Marks found (2*3*Sides*Sectorsperside==216 expected) - probably bitshift inside Track\n";
    return log + "shift " + std::to_string(k) + " ok\n";
}

}

TEST(Alignment, CopytrackShiftsUntilSyncWordsAlign)
{
    for (int k : {0, 1, 7, 15}) {
        for (int count : {5, 216}) {
            auto slot = slotWithSyncsAt(k, count);
            useCapture(slot);
            EXPECT_EQ(captureStdout([] { copytrack(0, 0); }), alignmentLog(k, count)) << k;
            // The buffer holds the slot moved left by k cells, zero cells entering at the end.
            std::vector<uint8_t> expected = slot;
            for (int i = 0; i < k; i++)
                shift_end(expected.data(), TRACK_SLOT_SIZE, 1);
            EXPECT_EQ(memcmp(buffer, expected.data(), TRACK_SLOT_SIZE), 0) << k;
        }
    }
    std::vector<uint8_t> empty(TRACK_SLOT_SIZE, 0x4E);
    useCapture(empty);
    std::string rounds;
    for (int i = 0; i < 16; i++)
        rounds += "A1 0\nshift nicht ok\n";
    EXPECT_EQ(captureStdout([] { copytrack(0, 0); }), rounds);
    EXPECT_EQ(buffer[0], 0x4E);   // 16 shifts of a byte pattern: two whole bytes
    EXPECT_EQ(buffer[65534], 0);
    EXPECT_EQ(buffer[65535], 0);
    f = nullptr;
}

TEST(Alignment, CheckshiftCountsWordsAtEvenPositions)
{
    const struct { std::vector<uint8_t> bytes; int32_t len; std::string out; int result; } cases[] = {
        {{0x44, 0x89, 0x44, 0x89, 0, 0}, 6, "A1 2\nOnly 2 A1-Marks found (2*3*Sides*Sectorsperside==216 expected) - probably bitshift inside Track\n", 1},
        {{0x00, 0x44, 0x89, 0, 0, 0}, 6, "A1 0\n", 0},
        {{0, 0, 0, 0, 0x44, 0x89}, 6, "A1 0\n", 0},   // the last word is never examined
        {{0x44, 0x89}, 2, "A1 0\n", 0},
        {{0x44, 0x89}, 1, "A1 0\n", 0},
        {{0x44, 0x89}, -4, "A1 0\n", 0},
    };
    for (const auto &c : cases) {
        int result = -1;
        EXPECT_EQ(captureStdout([&] { result = checkshift(c.bytes.data(), c.len); }), c.out);
        EXPECT_EQ(result, c.result);
    }
    std::vector<uint8_t> many;
    for (int i = 0; i < 216; i++)
        many.insert(many.end(), {0x44, 0x89});
    many.insert(many.end(), {0, 0});
    EXPECT_EQ(captureStdout([&] { checkshift(many.data(), int32_t(many.size())); }), "A1 216\n");
    EXPECT_EQ(captureStdout([&] { checkshift(many.data(), int32_t(many.size()) - 2); }),
              "A1 215\nOnly 215 A1-Marks found (2*3*Sides*Sectorsperside==216 expected) - probably bitshift inside Track\n");
}
