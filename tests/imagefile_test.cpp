// Image files that keep more than the bytes: the format an extension names,
// and the byte layout of small ImageDisk and MSA files.
#include "helpers.h"
#include "mfm/imagefile.h"
#include "mfm/pll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>

using mfm::Geometry;
using mfm::SectorCopy;
using mfm::TrackRead;
using Bytes = std::vector<uint8_t>;

namespace {

// A copy of sector `sector` of cylinder 0: `fill` in every byte, or the
// numbers 0, 1, 2 ... when fill is negative.
struct Copy {
    int sector;
    int fill = -1;
    bool dataOk = true, deleted = false;
    int revolution = 0, head = 0;
};

SectorCopy sectorCopy(const Copy &c, int bytes)
{
    SectorCopy s;
    s.head = uint8_t(c.head), s.sector = uint8_t(c.sector), s.size = uint8_t(std::countr_zero(unsigned(bytes)) - 7);
    s.idOk = true, s.dataOk = c.dataOk, s.deleted = c.deleted, s.revolution = c.revolution;
    s.data.resize(size_t(bytes));
    if (c.fill < 0)
        std::iota(s.data.begin(), s.data.end(), uint8_t(0));
    else
        std::fill(s.data.begin(), s.data.end(), uint8_t(c.fill));
    return s;
}

TrackRead readOf(const std::vector<Copy> &copies, int bytes, int rate = 0)
{
    TrackRead r;
    r.rate = rate;
    for (const Copy &c : copies)
        r.copies.push_back(sectorCopy(c, bytes));
    return r;
}

mfm::Recovery recover(const std::vector<TrackRead> &reads, const Geometry &g)
{
    mfm::RecoveryOptions options;
    options.geometry = g;
    return mfm::recoverDisk(reads, options);
}

// The track records: what follows the comment's end byte.
Bytes tracksOf(const Bytes &imd)
{
    const auto end = std::find(imd.begin(), imd.end(), uint8_t(0x1A));
    return end == imd.end() ? Bytes{} : Bytes(end + 1, imd.end());
}

Bytes imd(const mfm::Recovery &rec) { return tracksOf(mfm::imdImage(rec, {}, "test 1", "01/02/2026 03:04:05")); }

Bytes numbers(size_t n)
{
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(0));
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}

TEST(ImageFile, FormatFromTheExtension)
{
    const struct {
        const char *path;
        mfm::ImageFormat format;
    } cases[] = {
        {"disk.imd", mfm::ImageFormat::imd}, {"DISK.IMD", mfm::ImageFormat::imd},
        {"a/b.Msa", mfm::ImageFormat::msa},  {"disk.st", mfm::ImageFormat::plain},
        {"disk.img", mfm::ImageFormat::plain}, {"disk.ima", mfm::ImageFormat::plain},
        {"disk", mfm::ImageFormat::plain},   {"imd.dir/disk", mfm::ImageFormat::plain},
        {"disk.imd.st", mfm::ImageFormat::plain}, {"disk.msa~", mfm::ImageFormat::plain},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mfm::imageFormatOf(c.path), c.format) << c.path;
}

TEST(ImageFile, ImdHeaderAndComment)
{
    const std::vector<TrackRead> reads{readOf({{1}}, 128)};
    const auto rec = recover(reads, {1, 1, 1, 128});
    const std::vector<mfm::InputInfo> inputs = {{"a\x1A.raw", "raw", "B"}, {"b.scp", "scp", ""}};
    const Bytes out = mfm::imdImage(rec, inputs, "rawimage 9.9", "01/02/2026 03:04:05");
    const std::string text(out.begin(), out.end());
    EXPECT_EQ(text.substr(0, text.find('\x1A') + 1),
              "IMD 1.18: 01/02/2026 03:04:05\r\n"
              "Written by rawimage 9.9 on 01/02/2026 03:04:05\r\n"
              "Input: a?.raw (raw, drive B)\r\n"
              "Input: b.scp (scp)\r\n"
              "Format: custom, 1 cylinder, 1 head, 1 sector of 128 bytes (given with --geometry)\r\n"
              "1 of 1 sectors good (100.0%): 0 crc error, 0 missing, 0 conflicts\r\n\x1A");
}

// One sector of 128 bytes: its record type and what follows it.
TEST(ImageFile, ImdSectorRecords)
{
    const Bytes track = {5, 0, 0, 1, 0, 1};   // 250 kbit/s MFM, cylinder 0, head 0, 1 sector of 128, sector 1
    const struct {
        const char *name;
        std::vector<Copy> copies;
        Bytes record;
    } cases[] = {
        {"normal", {{1}}, concat({{0x01}, numbers(128)})},
        {"compressed", {{1, 0x5A}}, {0x02, 0x5A}},
        {"deleted", {{1, -1, true, true}}, concat({{0x03}, numbers(128)})},
        {"deleted, compressed", {{1, 0, true, true}}, {0x04, 0x00}},
        {"data error", {{1, -1, false}}, concat({{0x05}, numbers(128)})},
        {"data error, compressed", {{1, 0xE5, false}}, {0x06, 0xE5}},
        {"deleted, data error", {{1, -1, false, true}}, concat({{0x07}, numbers(128)})},
        {"deleted, data error, compressed", {{1, 7, false, true}}, {0x08, 0x07}},
        {"unavailable", {}, {0x00}},
        {"conflict: the first good copy, not trusted", {{1, 3}, {1, 4}}, {0x06, 0x03}},
        {"a good copy wins over a bad one", {{1, 3, false}, {1, 4}}, {0x02, 0x04}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(imd(recover({readOf(c.copies, 128)}, {1, 1, 1, 128})), concat({track, c.record})) << c.name;
}

// Mode, size code, the sector order and the maps of one track.
TEST(ImageFile, ImdTrackHeaders)
{
    const struct {
        const char *name;
        Geometry g;
        std::vector<Copy> copies;
        int rate;
        Bytes header;   // the track's first bytes
    } cases[] = {
        {"9 of 512, no rate known: 250 kbit/s", {1, 1, 9, 512}, {}, 0, {5, 0, 0, 9, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"18 of 512, no rate known: 500 kbit/s", {1, 1, 18, 512}, {}, 0, {3, 0, 0, 18, 2, 1, 2, 3}},
        {"300 kbit/s read", {1, 1, 2, 256}, {{1}, {2}}, mfm::RATE_300K, {4, 0, 0, 2, 1, 1, 2}},
        {"500 kbit/s read", {1, 1, 2, 1024}, {{1}, {2}}, mfm::RATE_500K, {3, 0, 0, 2, 3, 1, 2}},
        {"order on the track", {1, 1, 3, 128}, {{3}, {1}, {2}}, 0, {5, 0, 0, 3, 0, 3, 1, 2}},
        {"unread sectors last", {1, 1, 4, 128}, {{3}, {1}}, 0, {5, 0, 0, 4, 0, 3, 1, 2, 4}},
        {"from the index on", {1, 1, 3, 128}, {{3, 1, true, false, 0}, {1, 1, true, false, 1}, {2, 1, true, false, 1}},
         0, {5, 0, 0, 3, 0, 1, 2, 3}},
        {"head 0 of a read holding both", {1, 2, 2, 128}, {{2, 1, true, false, 0, 0}, {1, 1, true, false, 0, 1},
         {2, 1, true, false, 0, 1}}, 0, {5, 0, 0, 2, 0, 2, 1}},
    };
    for (const auto &c : cases) {
        const Bytes out = imd(recover({readOf(c.copies, c.g.bytes, c.rate)}, c.g));
        ASSERT_GE(out.size(), c.header.size()) << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + ptrdiff_t(c.header.size())), c.header) << c.name;
    }
}

TEST(ImageFile, ImdMapsWhereIdsNameAnotherCylinderOrHead)
{
    const std::vector<TrackRead> reads{readOf({{1, 9}, {2, 9}}, 128)};
    auto rec = recover(reads, {1, 1, 2, 128});
    SectorCopy other = *rec.sectors[1].copy;
    const struct {
        const char *name;
        int cylinder, head;
        Bytes out;
    } cases[] = {
        {"cylinder", 7, 0, {5, 0, 0x80, 2, 0, 1, 2, 0, 7, 2, 9, 2, 9}},
        {"head", 0, 1, {5, 0, 0x40, 2, 0, 1, 2, 0, 1, 2, 9, 2, 9}},
        {"both", 7, 1, {5, 0, 0xC0, 2, 0, 1, 2, 0, 7, 0, 1, 2, 9, 2, 9}},
    };
    for (const auto &c : cases) {
        other.cylinder = uint8_t(c.cylinder), other.head = uint8_t(c.head);
        rec.sectors[1].copy = &other;
        EXPECT_EQ(imd(rec), c.out) << c.name;
    }
}

TEST(ImageFile, MsaRefusesLayoutsHatariDoesNotRead)
{
    const struct {
        Geometry g;
        bool ok;
    } cases[] = {
        {{80, 2, 9, 512}, true},   {{80, 1, 10, 512}, true},  {{86, 2, 11, 512}, true}, {{80, 2, 18, 512}, true},
        {{87, 2, 56, 512}, true},  {{1, 1, 8, 512}, true},    {{8, 1, 1, 512}, true},   {{88, 2, 9, 512}, false},
        {{80, 2, 57, 512}, false}, {{1, 1, 7, 512}, false},   {{80, 3, 9, 512}, false}, {{80, 2, 9, 1024}, false},
    };
    for (const auto &c : cases) {
        mfm::Recovery rec;
        rec.geometry = c.g;
        EXPECT_EQ(mfm::msaRefusal(c.g).empty(), c.ok) << c.g.cylinders << ":" << c.g.sectors << ":" << c.g.bytes;
        if (!c.ok) {
            EXPECT_THROW(mfm::msaImage(rec), std::invalid_argument);
        }
    }
    EXPECT_EQ(mfm::msaRefusal({88, 2, 9, 512}), "MSA holds Atari ST layouts only (1 to 87 cylinders, 1 or 2 heads, "
                                                "1 to 56 sectors of 512 bytes, at least 8 sectors in all), not 88 "
                                                "cylinders, 2 heads, 9 sectors of 512 bytes");
}

// Hatari's hmsa gives back the image of every layout MSA files are written
// for, the edges of what it reads among them.
TEST(ImageFile, MsaReadBackByHmsa)
{
    if (runProgram("sh", {"-c", "command -v hmsa"}).status != 0)
        GTEST_SKIP() << "hmsa not installed";
    const Geometry cases[] = {
        {80, 2, 9, 512}, {82, 1, 10, 512}, {84, 2, 11, 512}, {80, 2, 18, 512},
        {40, 2, 9, 512}, {87, 2, 56, 512}, {1, 1, 8, 512},   {8, 1, 1, 512},
    };
    for (const Geometry &g : cases) {
        const std::string dir = tempDir();
        mfm::Recovery rec;
        rec.geometry = g;
        rec.image.resize(size_t(g.imageBytes()));
        for (size_t i = 0; i < rec.image.size(); i++)   // plain, coded and all-E5 tracks
            rec.image[i] = (i / 512) % 3 == 0 ? uint8_t(i * 7 + i / 256) : (i / 512) % 3 == 1 ? 0xE5 : uint8_t(i / 700);
        writeFile(dir + "/disk.msa", mfm::msaImage(rec));
        // hmsa 2.4 exits with 1 after a conversion that went well: its
        // output is what counts.
        const RunResult hmsa = runProgram("hmsa", {dir + "/disk.msa"});
        EXPECT_TRUE(readFile(dir + "/disk.st") == std::string(rec.image.begin(), rec.image.end()))
            << g.cylinders << "x" << g.heads << "x" << g.sectors << ": " << hmsa.all();
    }
}

// The header and the first track of an 80 x 1 x 9 disk whose other tracks
// are all zeros.
TEST(ImageFile, MsaHeaderAndTracks)
{
    constexpr size_t TRACK = 9 * 512;
    Bytes varied(TRACK);
    for (size_t i = 0; i < TRACK; i++)
        varied[i] = uint8_t(i * 7 + i / 256);   // no two neighbours alike; holds 0xE5 here and there
    Bytes runs(TRACK, 0xBB);
    runs[0] = 0xE5;
    std::fill(runs.begin() + 1, runs.begin() + 5, 0xAA);
    const struct {
        const char *name;
        Bytes track, stored;
    } cases[] = {
        {"one run", Bytes(TRACK, 0), {0x00, 0x04, 0xE5, 0x00, 0x12, 0x00}},
        {"a literal E5, a short run, a long run", runs,
         {0x00, 0x0C, 0xE5, 0xE5, 0x00, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0xE5, 0xBB, 0x11, 0xFB}},
        {"kept plain when coding does not make it shorter", varied, concat({{0x12, 0x00}, varied})},
    };
    for (const auto &c : cases) {
        mfm::Recovery rec;
        rec.geometry = {80, 1, 9, 512};
        rec.image.assign(size_t(rec.geometry.imageBytes()), 0);
        std::copy(c.track.begin(), c.track.end(), rec.image.begin());
        const Bytes out = mfm::msaImage(rec);
        const Bytes header = {0x0E, 0x0F, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4F};
        const Bytes zeros = {0x00, 0x04, 0xE5, 0x00, 0x12, 0x00};
        ASSERT_EQ(out.size(), header.size() + c.stored.size() + 79 * zeros.size()) << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), header);
        EXPECT_EQ(Bytes(out.begin() + 10, out.begin() + 10 + ptrdiff_t(c.stored.size())), c.stored) << c.name;
        EXPECT_EQ(Bytes(out.end() - 6, out.end()), zeros);
    }
}
