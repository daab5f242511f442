// MFM encoder, sync-word rewriting and the buffer savers.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

std::vector<uint8_t> diskBytes(size_t from, size_t n) { return {disk + from, disk + from + n}; }

void encode(const std::vector<uint8_t> &data)
{
    memset(ddisk, 0, sizeof ddisk);
    memcpy(ddisk, data.data(), data.size());
    encodeDisk();
}

}

TEST(Encoder, WorkedCellBytes)
{
    const struct { std::vector<uint8_t> data; size_t from; std::vector<uint8_t> cells; } cases[] = {
        {{0x00}, 0, {0xAA, 0xAA}},
        {{0xFF}, 0, {0x55, 0x55}},
        {{0xFF, 0x00}, 2, {0x2A, 0xAA}},
        {{0x00, 0x4E}, 2, {0x92, 0x54}},
        {{0xFF, 0x4E}, 2, {0x12, 0x54}},
        {{0xFF, 0xA1}, 2, {0x44, 0xA9}},
        {{0x00, 0xA1}, 2, {0x44, 0xA9}},
        {{0xA1, 0xA1, 0xA1, 0xFE}, 0, {0x44, 0xA9, 0x44, 0xA9, 0x44, 0xA9, 0x55, 0x54}},
        {{0x01, 0x00}, 0, {0xAA, 0xA9, 0x2A, 0xAA}},
    };
    for (const auto &c : cases) {
        encode(c.data);
        EXPECT_EQ(diskBytes(c.from, c.cells.size()), c.cells);
    }
}

TEST(Encoder, UniformImagesAndSlotBoundary)
{
    memset(ddisk, 0, sizeof ddisk);
    encodeDisk();
    EXPECT_EQ(std::count(disk, disk + DISK_SIZE, 0xAA), DISK_SIZE);
    memset(ddisk, 0xFF, sizeof ddisk);
    encodeDisk();
    EXPECT_EQ(std::count(disk, disk + DISK_SIZE, 0x55), DISK_SIZE);

    // The first clock cell of a slot looks back into the slot before it.
    memset(ddisk, 0, sizeof ddisk);
    ddisk[32767] = 0x01;
    encodeDisk();
    EXPECT_EQ(diskBytes(65536, 2), (std::vector<uint8_t>{0x2A, 0xAA}));
}

// Random data encodes to a stream that decodes back, obeys the clock rule
// everywhere, and is unchanged by a second call.
TEST(Encoder, RoundTripOfRandomData)
{
    std::mt19937 rng(3);
    for (auto &b : ddisk)
        b = uint8_t(rng());
    encodeDisk();
    int prev = 0;
    char trace[57];
    for (int32_t k = 0; k < DDISK_SIZE; k++) {
        ASSERT_EQ(decode_byte(disk + 2 * k), ddisk[k]) << k;
        ASSERT_EQ(check_byte(disk + 2 * k, prev, trace), 0) << k << " " << trace;
        prev = disk[2 * k + 1] & 1;
    }
    const std::vector<uint8_t> first(disk, disk + DISK_SIZE);
    encodeDisk();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), disk));
}

TEST(SyncDisk, RewritesRunsOfThreeA1Words)
{
    const std::vector<uint8_t> a1 = {0x44, 0xA9}, sw = {0x44, 0x89};
    auto words = [](std::initializer_list<std::vector<uint8_t>> list) {
        std::vector<uint8_t> v;
        for (const auto &w : list)
            v.insert(v.end(), w.begin(), w.end());
        return v;
    };
    const struct { std::vector<uint8_t> in; size_t at; std::vector<uint8_t> out; } cases[] = {
        {words({a1, a1, a1}), 0, words({sw, sw, sw})},
        {words({a1, a1, a1}), 1, words({sw, sw, sw})},
        {words({a1, a1, a1, a1}), 0, words({sw, sw, sw, a1})},
        {words({a1, a1, a1, a1, a1}), 0, words({sw, sw, sw, a1, a1})},
        {words({a1, a1, a1, a1, a1, a1}), 0, words({sw, sw, sw, sw, sw, sw})},
        {words({a1, a1, sw}), 0, words({a1, a1, sw})},
        {words({a1, a1, a1}), DISK_SIZE - 6, words({sw, sw, sw})},
        {words({a1, a1, a1}), DISK_SIZE - 5, words({a1, a1, a1})},   // would reach past the end
    };
    for (const auto &c : cases) {
        memset(disk, 0, sizeof disk);
        const size_t n = std::min(c.in.size(), size_t(DISK_SIZE) - c.at);
        memcpy(disk + c.at, c.in.data(), n);
        syncDisk();
        EXPECT_EQ(diskBytes(c.at, n), std::vector<uint8_t>(c.out.begin(), c.out.begin() + long(n))) << c.at;
        const std::vector<uint8_t> once(disk, disk + DISK_SIZE);
        syncDisk();
        EXPECT_TRUE(std::equal(once.begin(), once.end(), disk)) << "second pass changed the image";
    }
}

// Encoded A1 runs become sync words that still decode to A1 and show their
// missing clock at the sixth cell pair.
TEST(SyncDisk, EncodedMarksCarrySyncWords)
{
    memset(ddisk, 0x4E, sizeof ddisk);
    const size_t runs[][2] = {{1000, 3}, {2001, 4}, {3000, 5}, {4000, 6}};
    for (const auto &r : runs)
        memset(ddisk + r[0], 0xA1, r[1]);
    encodeDisk();
    syncDisk();
    char trace[57];
    for (const auto &r : runs) {
        const size_t synced = r[1] / 3 * 3;
        for (size_t k = 0; k < r[1]; k++) {
            const uint8_t *w = disk + 2 * (r[0] + k);
            EXPECT_EQ(decode_byte(w), 0xA1);
            EXPECT_EQ(w[1], k < synced ? 0x89 : 0xA9) << r[0] << "+" << k;
            EXPECT_EQ(check_byte(w, 0, trace), k < synced ? 1 : 0);
            if (k < synced) {
                EXPECT_EQ(std::string(trace).substr(8 + 5 * 6, 6), "0(er0)");
            }
        }
    }
    // A run that starts at an odd byte position of the stream is rewritten too.
    memset(disk, 0, sizeof disk);
    const uint8_t odd[] = {0x44, 0xA9, 0x44, 0xA9, 0x44, 0xA9};
    memcpy(disk + 101, odd, sizeof odd);
    syncDisk();
    EXPECT_EQ(diskBytes(101, 6), (std::vector<uint8_t>{0x44, 0x89, 0x44, 0x89, 0x44, 0x89}));
}

TEST(Savers, WriteWholeBuffers)
{
    const std::string dir = tempDir();
    memset(buffer, 0, sizeof buffer);
    buffer[65535] = 7;
    dbuffer[0] = 1;
    disk[DISK_SIZE - 1] = 2;
    ddisk[0] = 3;
    writeFile(dir + "/disk", std::vector<uint8_t>(DISK_SIZE + 100, 9));   // longer file is cut
    const std::string out = captureStdout([&] {
        saveTrack((dir + "/track").c_str());
        saveDecodeTrack((dir + "/dtrack").c_str());
        saveDisk((dir + "/disk").c_str());
        saveDecodeDisk((dir + "/ddisk").c_str());
    });
    EXPECT_EQ(out, "");
    const struct { const char *name; const uint8_t *data; size_t size; } files[] = {
        {"/track", buffer, sizeof buffer}, {"/dtrack", dbuffer, sizeof dbuffer},
        {"/disk", disk, sizeof disk}, {"/ddisk", ddisk, sizeof ddisk},
    };
    for (const auto &fl : files) {
        const std::string bytes = readFile(dir + fl.name);
        ASSERT_EQ(bytes.size(), fl.size) << fl.name;
        EXPECT_EQ(memcmp(bytes.data(), fl.data, fl.size), 0) << fl.name;
    }
}

TEST(Savers, ReportFilesThatCannotBeWritten)
{
    const std::string missing = tempDir() + "/no/such/dir/file";
    const struct { void (*save)(const char *); } savers[] = {{saveTrack}, {saveDecodeTrack}, {saveDisk}, {saveDecodeDisk}};
    for (const auto &s : savers) {
        EXPECT_EQ(captureStdout([&] { s.save(missing.c_str()); }), "File " + missing + " cannot be created\n");
        EXPECT_EQ(captureStdout([&] { s.save("/dev/full"); }), "File /dev/full write error\n");
    }
}
