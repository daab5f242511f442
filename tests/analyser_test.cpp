// Track analyser: where syncs are reported, the mark rules, the sector table
// and the buffer, on captures built from sector data.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

struct Scan {
    std::vector<std::string> lines;
    std::string text;
};

Scan analyse(std::vector<uint8_t> &slot, int verboseFlag = 0)
{
    useCapture(slot);
    memset(sector, 0, sizeof sector);
    Scan r;
    r.text = captureStdout([&] { analyse_track(0, 0, verboseFlag); });
    std::istringstream in(r.text);
    for (std::string line; std::getline(in, line);)
        r.lines.push_back(line);
    EXPECT_EQ(memcmp(buffer, slot.data(), TRACK_SLOT_SIZE), 0) << "buffer changed";
    f = nullptr;
    return r;
}

std::string hex4(unsigned v)
{
    char s[16];
    snprintf(s, sizeof s, "%04x", v);
    return s;
}

// Writer whose sync sequence starts at track bit `syncBit` (12 zero bytes lead in).
CellWriter fieldAt(std::vector<uint8_t> &slot, int64_t syncBit) { return CellWriter(slot, syncBit - 12 * 16); }

std::string idText(int t, int s, int r) { return "a1 a1 a1 fe: Track: " + std::string(t < 10 ? "0" : "") + std::to_string(t) + " Side: " + std::to_string(s) + " Sector: " + std::string(r < 10 ? "0" : "") + std::to_string(r) + " Size: 2 crc ok"; }

const auto blank = std::vector<uint8_t>(SECTOR_SIZE, 0);

}

TEST(Analyser, ReportsSyncsAtTheirPositionAndShift)
{
    const struct { int64_t bit; std::string at; } cases[] = {
        {8 * 100, "000: shift 0 ok 0064 -- "},
        {8 * 101, "000: shift 8 ok 0064 -- "},
        {12345, "000: shift 9 ok 0606 -- "},
        {16 * 700 + 15, "000: shift 15 ok 0578 -- "},
        {8 * 65510 + 3, "000: shift 3 ok ffe6 -- "},   // ID field ends beyond the buffer
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
        fieldAt(slot, c.bit).idField(5, 1, 7);
        const Scan r = analyse(slot);
        ASSERT_EQ(r.lines.size(), 1u) << c.bit;
        const bool cut = c.bit > 8 * 65500;
        EXPECT_EQ(r.lines[0].substr(0, c.at.size()), c.at);
        if (!cut) {
            EXPECT_EQ(r.lines[0], c.at + idText(5, 1, 7));
        }
    }
}

TEST(Analyser, MarkRulesAndSectorTable)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    CellWriter w(slot, 16 * 64 + 5);
    const auto d1 = sectorData(0, 0, 1), d2 = sectorData(0, 0, 2), d3 = sectorData(0, 1, 3);
    w.dataField(d1.data());        // no ID yet: unexpected, stored nowhere
    w.fill(0x00, 12), w.sync(), w.sync(), w.sync(), w.byte(0x12), w.fill(0x4E, 20);   // unknown mark
    w.idField(0, 0, 1);
    w.idField(0, 0, 2);            // ID after ID: unexpected, replaces the remembered ID
    w.dataField(d2.data());        // stored in [0][2]
    w.dataField(d1.data());        // data after data: unexpected, stored nowhere
    w.idField(0, 1, 3, 2, false);  // ID CRC error
    w.dataField(d3.data(), false); // data CRC error: still stored and valid
    w.idField(0, 2, 4);            // side 2: printed, never stored
    w.dataField(d1.data());
    w.idField(0, 0, 0);            // sectors 0 and 20 are stored like any other
    w.dataField(d2.data());
    w.idField(0, 0, 20);
    w.dataField(d3.data());
    const Scan r = analyse(slot);

    const std::vector<std::string> rest = {
        "*** Unexpected Mark *** Data Mark crc ok",
        "unknown Mark",
        "Track: 00 Side: 0 Sector: 01 Size: 2 crc ok",
        "*** Unexpected Mark *** Track: 00 Side: 0 Sector: 02 Size: 2 crc ok",
        "Data Mark crc ok",
        "*** Unexpected Mark *** Data Mark crc ok",
        "Track: 00 Side: 1 Sector: 03 Size: 2 crc Error: ",
        "Data Mark crc Error: ",
        "Track: 00 Side: 2 Sector: 04 Size: 2 crc ok",
        "Data Mark crc ok",
        "Track: 00 Side: 0 Sector: 00 Size: 2 crc ok",
        "Data Mark crc ok",
        "Track: 00 Side: 0 Sector: 20 Size: 2 crc ok",
        "Data Mark crc ok",
    };
    ASSERT_EQ(r.lines.size(), rest.size());
    for (size_t i = 0; i < rest.size(); i++) {
        char counter[32];
        snprintf(counter, sizeof counter, "%03zu: ", i);
        EXPECT_EQ(r.lines[i].substr(0, 5), counter);
        const size_t colon = r.lines[i].find(": ", 30);
        EXPECT_EQ(r.lines[i].substr(colon + 2, rest[i].size()), rest[i]) << r.lines[i];
    }
    // The stored CRC is printed first, the computed one second.
    const uint8_t id3[] = {0xA1, 0xA1, 0xA1, 0xFE, 0, 1, 3, 2};
    const unsigned idCrc = crc16(id3, sizeof id3);
    EXPECT_NE(r.lines[6].find("crc Error: " + hex4(idCrc ^ 0x100) + " -- " + hex4(idCrc)), std::string::npos);

    int validCount = 0;
    for (auto &head : sector)
        for (auto &s : head)
            validCount += s.valid;
    EXPECT_EQ(validCount, 4);
    EXPECT_TRUE(sector[0][2].valid && sector[1][3].valid && sector[0][0].valid && sector[0][20].valid);
    EXPECT_EQ(memcmp(sector[0][2].data, d2.data(), SECTOR_SIZE), 0);
    EXPECT_EQ(memcmp(sector[1][3].data, d3.data(), SECTOR_SIZE), 0);
    EXPECT_EQ(memcmp(sector[0][0].data, d2.data(), SECTOR_SIZE), 0);
    EXPECT_EQ(memcmp(sector[0][1].data, blank.data(), SECTOR_SIZE), 0) << "unintroduced data was stored";
}

// A later copy of a sector replaces the stored one unless only the stored
// one was read without CRC errors.
TEST(Analyser, RepeatedSectorsKeepTheGoodCopy)
{
    const auto a = sectorData(1, 0, 5), b = sectorData(2, 0, 5);
    const struct { bool firstOk, secondOk; bool expectSecond; } cases[] = {
        {true, true, true}, {true, false, false}, {false, true, true}, {false, false, true},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
        CellWriter w(slot, 999);
        w.idField(1, 0, 5);
        w.dataField(a.data(), c.firstOk);
        w.idField(1, 0, 5);
        w.dataField(b.data(), c.secondOk);
        analyse(slot);
        EXPECT_TRUE(sector[0][5].valid);
        EXPECT_EQ(memcmp(sector[0][5].data, (c.expectSecond ? b : a).data(), SECTOR_SIZE), 0)
            << c.firstOk << c.secondOk;
    }
    // A bad ID CRC makes the copy bad as well.
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    CellWriter w(slot, 999);
    w.idField(1, 0, 5);
    w.dataField(a.data());
    w.idField(1, 0, 5, 2, false);
    w.dataField(b.data());
    analyse(slot);
    EXPECT_EQ(memcmp(sector[0][5].data, a.data(), SECTOR_SIZE), 0);
}

TEST(Analyser, VerboseDumpsAndBootSector)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    auto boot0 = sectorData(0, 0, 1);
    boot0[11] = 0, boot0[12] = 2, boot0[19] = 0x40, boot0[20] = 0x0B, boot0[21] = 0xF0;
    boot0[24] = 18, boot0[25] = 0, boot0[26] = 2, boot0[27] = 0;
    CellWriter w(slot, 16 * 8);   // ID sync at cell 320 (position 0x28), data sync at 1024 (0x80)
    w.idField(0, 0, 1);
    w.dataField(boot0.data());
    w.idField(0, 0, 2);
    w.dataField(blank.data());
    const Scan quiet = analyse(slot, 0);
    const Scan loud = analyse(slot, 1);
    EXPECT_EQ(quiet.lines.size(), 4u);
    EXPECT_EQ(loud.lines[0], "");
    EXPECT_EQ(loud.lines[1], "000: shift 0 ok 0028 -- " + idText(0, 0, 1));
    // Data field of sector 1: 32 lines of 16 cell words, the boot report, the hex dump.
    EXPECT_EQ(loud.lines[3].substr(0, 41), "001: shift 0 ok 0080 -- a1 a1 a1 fb: Data");
    EXPECT_EQ(loud.lines[4].substr(0, 5), "0088:");
    EXPECT_EQ(loud.lines[4].size(), 5u + 16 * 5);
    EXPECT_EQ(loud.lines[35].substr(0, 5), "0468:");
    EXPECT_NE(loud.text.find("\n*** Bootsector Info ****\n\nDisktype=00f0\nbps=0x0200\nspt=18\nheads=2\nsectors=2880\ntracks=80\n\n*** End Bootsector Info ****\n"),
              std::string::npos);
    size_t crcOk = 0;
    for (const auto &l : loud.lines)
        crcOk += l == "crc ok" || l.ends_with("crc ok");
    EXPECT_EQ(crcOk, 4u);
}

// Cells beyond the end of the buffer read as zero: a data field whose sync
// lies in the last bytes decodes zero bytes past the end.
TEST(Analyser, FieldsRunningIntoTheEnd)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    CellWriter w = fieldAt(slot, 8 * 65520 + 6);
    w.idField(0, 0, 9);
    std::vector<uint8_t> last(TRACK_SLOT_SIZE, 0);
    CellWriter d = fieldAt(last, 8 * 65526);
    d.dataField(blank.data());
    for (auto *s : {&slot, &last}) {
        const Scan r = analyse(*s, 1);
        EXPECT_GE(r.lines.size(), 2u);
    }
    const Scan r = analyse(last, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    uint8_t field[516] = {0xA1, 0xA1, 0xA1, 0xFB};
    EXPECT_EQ(r.lines[0], "000: shift 0 ok fff6 -- a1 a1 a1 fb: *** Unexpected Mark *** Data Mark crc Error: 0000 -- " +
                              hex4(crc16(field, 516)));
}

// A data field belongs to the ID before it only when its sync starts at most
// 1,280 cells after the ID's; one farther away lost its own ID (and the data
// sync of the ID before it was not read): it is traced as usual, but never
// stored under that ID.
TEST(Analyser, DataFieldsFarFromTheirIdAreNotStored)
{
    const auto d = sectorData(0, 0, 2);
    const struct { int64_t gap; bool stored; } cases[] = {
        {704, true}, {1280, true}, {1281, false}, {1296, false}, {16 * 644, false},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
        const int64_t idBit = 16 * 100 + 3;
        fieldAt(slot, idBit).idField(0, 0, 1);
        fieldAt(slot, idBit + c.gap).dataField(d.data());
        const Scan r = analyse(slot);
        ASSERT_EQ(r.lines.size(), 2u) << c.gap;
        EXPECT_NE(r.lines[1].find("a1 a1 a1 fb: Data Mark crc ok"), std::string::npos) << r.lines[1];
        EXPECT_EQ(sector[0][1].valid != 0, c.stored) << c.gap;
        EXPECT_EQ(memcmp(sector[0][1].data, (c.stored ? d : blank).data(), SECTOR_SIZE), 0) << c.gap;
    }
}
