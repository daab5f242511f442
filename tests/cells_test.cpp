// Cell primitives and CRC: the worked values of the track format.
#include "mfm/mfm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

TEST(Cells, DecodeByteReadsDataCellsOnly)
{
    const struct { uint8_t w[2]; uint8_t byte; } cases[] = {
        {{0x44, 0x89}, 0xA1}, {{0x44, 0xA9}, 0xA1}, {{0x92, 0x54}, 0x4E},
        {{0x55, 0x55}, 0xFF}, {{0xAA, 0xAA}, 0x00}, {{0x12, 0x54}, 0x4E},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode_byte(c.w), c.byte) << std::hex << int(c.w[0]) << int(c.w[1]);
}

TEST(Cells, CheckByteTracesEveryPair)
{
    const struct { uint8_t w[2]; int prev; int result; const char *trace; } cases[] = {
        {{0x44, 0x89}, 0, 1, "mfm 0 ..1(ok0)0(ok1)1(ok0)0(ok1)2(ok0)0(er0)2(ok0)1(ok0)"},
        {{0x44, 0xA9}, 1, 0, "mfm 1 ..1(ok1)0(ok1)1(ok0)0(ok1)2(ok0)2(ok0)2(ok0)1(ok0)"},
        {{0xAA, 0xAA}, 1, 1, "mfm 1 ..2(er1)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)"},
        {{0xAA, 0xAA}, 0, 0, "mfm 0 ..2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)2(ok0)"},
        {{0x92, 0x54}, 0, 0, nullptr},
        // Any non-zero previous bit counts, and prints, as 1.
        {{0x44, 0xA9}, 0x7F, 0, "mfm 1 ..1(ok1)0(ok1)1(ok0)0(ok1)2(ok0)2(ok0)2(ok0)1(ok0)"},
        {{0xFF, 0xFF}, -1, 1, "mfm 1 ..3(er1)3(er1)3(er1)3(er1)3(er1)3(er1)3(er1)3(er1)"},
    };
    for (const auto &c : cases) {
        char trace[64];
        memset(trace, 'x', sizeof trace);
        EXPECT_EQ(check_byte(c.w, c.prev, trace), c.result);
        if (c.trace) {
            EXPECT_STREQ(trace, c.trace);
        }
        EXPECT_EQ(strlen(trace), 56u);
        EXPECT_EQ(trace[57], 'x') << "wrote past the 57 bytes";
    }
}

static uint16_t crcOf(std::vector<uint8_t> bytes) { return crc16(bytes.data(), uint16_t(bytes.size())); }

TEST(Cells, Crc16KnownValues)
{
    EXPECT_EQ(crcOf({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x29B1);
    EXPECT_EQ(crcOf({0xA1, 0xA1, 0xA1, 0xFE, 0x00, 0x00, 0x01, 0x02}), 0xCA6F);
    std::vector<uint8_t> data(516, 0);
    data[0] = data[1] = data[2] = 0xA1;
    data[3] = 0xFB;
    EXPECT_EQ(crcOf(data), 0xDA6E);
    EXPECT_EQ(crc16(nullptr, 0), 0xFFFF);
}

TEST(Cells, TableCrcEqualsBitSerialCrc)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(2000);
    for (int round = 0; round < 200; round++) {
        for (auto &b : data)
            b = uint8_t(rng());
        const uint16_t len = uint16_t(rng() % data.size());
        ASSERT_EQ(crc16_table(data.data(), len), crc16(data.data(), len)) << len;
    }
}

TEST(Cells, ShiftWorkedValues)
{
    const struct { std::vector<uint8_t> in; int32_t len; uint8_t bits; std::vector<uint8_t> out; } cases[] = {
        {{0x12, 0x34, 0x56}, 2, 4, {0x23, 0x45, 0x56}},
        {{0x12, 0x34, 0x56}, 2, 8, {0x34, 0x56, 0x56}},
        {{0x12, 0x34, 0x56}, 2, 0, {0x12, 0x34, 0x56}},
        {{0x81, 0x80, 0xFF}, 2, 1, {0x03, 0x01, 0xFF}},
        {{0x81, 0x80, 0xFF}, 1, 1, {0x03, 0x80, 0xFF}},
        {{0x81, 0x80, 0xFF}, 0, 1, {0x81, 0x80, 0xFF}},
        {{0x81, 0x80, 0xFF}, -5, 1, {0x81, 0x80, 0xFF}},
        {{0x81, 0x80, 0xFF}, 2, 9, {0x81, 0x80, 0xFF}},   // out of range: unchanged
    };
    for (const auto &c : cases) {
        auto bytes = c.in;
        shift(bytes.data(), c.len, c.bits);
        EXPECT_EQ(bytes, c.out) << "len " << c.len << " bits " << int(c.bits);
    }
}

// The block form must equal the byte-by-byte order for every length and count.
TEST(Cells, ShiftBlocksEqualByteOrder)
{
    std::mt19937 rng(11);
    for (int32_t len : {1, 15, 16, 17, 31, 32, 33, 1046, 1047}) {
        for (uint8_t bits = 0; bits <= 8; bits++) {
            std::vector<uint8_t> data(size_t(len) + 1);
            for (auto &b : data)
                b = uint8_t(rng());
            auto expected = data;
            for (int32_t i = 0; i < len; i++)
                expected[size_t(i)] = uint8_t((expected[size_t(i)] << bits) | (expected[size_t(i) + 1] >> (8 - bits)));
            auto viaShift = data;
            shift(viaShift.data(), len, bits);
            EXPECT_EQ(viaShift, expected) << len << "/" << int(bits);

            // At the end of a buffer the following byte counts as zero.
            std::vector<uint8_t> exact(data.begin(), data.end() - 1);
            expected.pop_back();
            expected.back() = uint8_t(data[size_t(len) - 1] << bits);
            shift_end(exact.data(), len, bits);
            EXPECT_EQ(exact, expected) << len << "/" << int(bits);
        }
    }
}
