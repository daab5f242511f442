// Reports: hex dumps, status tables, the sector image and the boot sector.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void clearTable()
{
    memset(sector, 0, sizeof sector);
}

std::string hexOf(const std::vector<uint8_t> &bytes)
{
    return captureStdout([&] { hexdump(bytes.data(), int32_t(bytes.size())); });
}

std::string bootReport(std::string disktype, std::string bps, int spt, int heads, uint64_t sectors, int tracks)
{
    return "\n*** Bootsector Info ****\n\nDisktype=" + disktype + "\nbps=" + bps + "\nspt=" + std::to_string(spt) +
           "\nheads=" + std::to_string(heads) + "\nsectors=" + std::to_string(sectors) +
           "\ntracks=" + std::to_string(tracks) + "\n\n*** End Bootsector Info ****\n";
}

std::vector<uint8_t> bootSector(unsigned count16, uint32_t count32, uint8_t media, unsigned spt, unsigned heads)
{
    std::vector<uint8_t> bs(512, 0);
    bs[11] = 0x00, bs[12] = 0x02;
    bs[19] = uint8_t(count16), bs[20] = uint8_t(count16 >> 8);
    bs[21] = media;
    bs[24] = uint8_t(spt), bs[25] = uint8_t(spt >> 8);
    bs[26] = uint8_t(heads), bs[27] = uint8_t(heads >> 8);
    for (int i = 0; i < 4; i++)
        bs[size_t(32 + i)] = uint8_t(count32 >> (8 * i));
    return bs;
}

}

TEST(Hexdump, LineShapes)
{
    EXPECT_EQ(hexOf({}), "\n");
    std::vector<uint8_t> row(32);
    for (int i = 0; i < 32; i++)
        row[size_t(i)] = uint8_t(0x40 + i);
    row[0] = 0x41, row[1] = 0x20, row[2] = 0x7E, row[3] = 0x7F, row[4] = 0x0A, row[5] = 0xE5, row[6] = 0x00;
    std::string line;
    for (uint8_t b : row) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02x ", b);
        line += hex;
    }
    const std::string text = "A ~....GHIJKLMNOPQRSTUVWXYZ[\\]^_";
    const std::string full = line + " -- " + text + "\n";
    ASSERT_EQ(full.size(), 133u);
    EXPECT_EQ(hexOf(row), full + "\n");
    auto longer = row;
    longer.push_back(0xAB);
    EXPECT_EQ(hexOf(longer), full + "ab \n");
    const std::string sectorDump = hexOf(std::vector<uint8_t>(512, 0x31));
    EXPECT_EQ(std::count(sectorDump.begin(), sectorDump.end(), '\n'), 17);
    EXPECT_EQ(sectorDump.substr(sectorDump.size() - 2), "\n\n");
}

TEST(Reports, StatusTableAndImage)
{
    clearTable();
    for (int s = 1; s <= 18; s++) {
        sector[0][s].valid = 1;
        sector[1][s].valid = s < 18;
        memset(sector[0][s].data, s, 512);
        memset(sector[1][s].data, 0x80 + s, 512);
    }
    sector[0][0].valid = sector[0][19].valid = sector[1][255].valid = 1;   // never reported or written
    std::string head1;
    for (int s = 1; s <= 17; s++)
        head1 += std::to_string(s) + ":Valid ";
    std::string head0 = head1 + "18:Valid ";
    EXPECT_EQ(captureStdout([] { dumpTrackStatus(3); }),
              "\n############ Info Track 3 ################\n\nSector Status Info:\nHead 0: " + head0 +
                  "\nHead 1: " + head1 + "18:***** \n\n############ End Info Track 3 ##############\n\n");

    const std::string path = tempDir() + "/img";
    FILE *img = fopen(path.c_str(), "wb");
    EXPECT_EQ(captureStdout([&] { dumpTrack(img); }), "** Head 1 - Sector 18 invalid **\n");
    fclose(img);
    const std::string bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 35u * 512);
    for (int i = 0; i < 35; i++) {
        const uint8_t expected = uint8_t(i < 18 ? i + 1 : 0x80 + (i - 17));
        EXPECT_EQ(uint8_t(bytes[size_t(i) * 512]), expected) << i;
    }

    const std::string dumps = captureStdout(hexdumpTrack);
    EXPECT_EQ(dumps.size(), 35u * (16 * 133 + 1) + std::string("** Head 1 - Sector 18 invalid **\n").size());
}

TEST(Reports, EmptyTrack)
{
    clearTable();
    const std::string status = captureStdout([] { dumpTrackStatus(79); });
    EXPECT_EQ(std::count(status.begin(), status.end(), '*'), 36 * 5);
    const std::string path = tempDir() + "/img";
    FILE *img = fopen(path.c_str(), "wb");
    const std::string lines = captureStdout([&] { dumpTrack(img); });
    fclose(img);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 36);
    EXPECT_EQ(readFile(path).size(), 0u);
}

TEST(BootSector, Geometry)
{
    struct Case {
        std::vector<uint8_t> bs;
        std::string report;
    };
    const Case cases[] = {
        {bootSector(2880, 0, 0xF0, 18, 2), bootReport("00f0", "0x0200", 18, 2, 2880, 80)},
        {bootSector(1440, 0, 0xF9, 9, 2), bootReport("00f9", "0x0200", 9, 2, 1440, 80)},
        {bootSector(0, 2880, 0xF0, 18, 2), bootReport("00f0", "0x0200", 18, 2, 2880, 80)},
        {bootSector(2880, 99999, 0xF0, 18, 2), bootReport("00f0", "0x0200", 18, 2, 2880, 80)},
        {bootSector(2881, 0, 0xF0, 18, 2), bootReport("00f0", "0x0200", 18, 2, 2881, 80)},
        {bootSector(65535, 0, 0xF0, 1, 1), bootReport("00f0", "0x0200", 1, 1, 65535, 65535)},
        {bootSector(0, 0x00123456, 0xF0, 1, 1), bootReport("00f0", "0x0200", 1, 1, 0x123456, 0x3456)},
        // No division by zero heads: tracks keeps the value of the call before.
        {bootSector(2880, 0, 0xF8, 18, 0), bootReport("00f8", "0x0200", 18, 0, 2880, 0x3456)},
    };
    BootRecord rec{};
    for (const auto &c : cases)
        EXPECT_EQ(captureStdout([&] { decodeBootblock(c.bs.data(), &rec); }), c.report);
    BootRecord fresh{};
    EXPECT_EQ(captureStdout([&] { decodeBootblock(cases[7].bs.data(), &fresh); }),
              bootReport("00f8", "0x0200", 18, 0, 2880, 0));
}
