// Disk recovery: which copy of a sector wins, and the layout found from IDs
// and boot sectors.
#include "mfm/recovery.h"
#include "mfm/scanner.h"
#include "mfm/sectormap.h"
#include "helpers.h"

#include <gtest/gtest.h>

using mfm::Geometry;
using mfm::SectorCopy;
using mfm::SectorStatus;
using mfm::TrackRead;

namespace {

enum Crc { GOOD, BAD_DATA, BAD_ID };

SectorCopy copyOf(int cylinder, int head, int sector, std::vector<uint8_t> data, Crc crc = GOOD)
{
    SectorCopy c;
    c.cylinder = uint8_t(cylinder), c.head = uint8_t(head), c.sector = uint8_t(sector), c.size = 2;
    c.idOk = crc != BAD_ID;
    c.dataOk = crc != BAD_DATA;
    c.data = std::move(data);
    return c;
}

std::vector<uint8_t> bytes(uint8_t value, size_t n = SECTOR_SIZE) { return std::vector<uint8_t>(n, value); }

// A bad copy whose stored CRC is that of `written`.
SectorCopy badCopyOf(std::vector<uint8_t> data, const std::vector<uint8_t> &written)
{
    SectorCopy c = copyOf(0, 0, 1, std::move(data), BAD_DATA);
    std::vector<uint8_t> field{0xA1, 0xA1, 0xA1, MARK_DATA};
    field.insert(field.end(), written.begin(), written.end());
    c.storedCheck = crc16(field.data(), uint16_t(field.size()));
    return c;
}

std::vector<uint8_t> withByte(std::vector<uint8_t> d, size_t at, uint8_t value)
{
    d[at] = value;
    return d;
}

TrackRead readOf(int physical, std::vector<SectorCopy> copies)
{
    TrackRead r;
    r.physical = physical;
    for (const SectorCopy &c : copies)
        if (c.idOk)
            r.ids.push_back({c.cylinder, c.head, c.sector, c.size});
    r.copies = std::move(copies);
    return r;
}

// Every sector of `g` as a good copy, one read per cylinder; sector data is
// its number, sector 1 of cylinder 0 head 0 is `boot` when given.
std::vector<TrackRead> wholeDisk(const Geometry &g, int step = 1, const std::vector<uint8_t> &boot = {})
{
    std::vector<TrackRead> reads;
    for (int c = 0; c < g.cylinders; c++) {
        std::vector<SectorCopy> copies;
        for (int h = 0; h < g.heads; h++)
            for (int s = 1; s <= g.sectors; s++) {
                auto data = c == 0 && h == 0 && s == 1 && !boot.empty() ? boot : bytes(uint8_t(s), size_t(g.bytes));
                copies.push_back(copyOf(c, h, s, data));
                copies.back().size = uint8_t(g.bytes == 1024 ? 3 : g.bytes == 256 ? 1 : 2);
            }
        reads.push_back(readOf(c * step, copies));
        if (step == 2)   // the track between holds a faint copy of its neighbour
            reads.push_back(readOf(c * step + 1, {copyOf(c, 0, 1, bytes(0x77), BAD_DATA)}));
    }
    for (TrackRead &r : reads)
        for (auto &id : r.ids)
            id.size = r.copies.front().size;
    return reads;
}

std::vector<uint8_t> bootSector(const Geometry &g)
{
    std::vector<uint8_t> b(size_t(g.bytes), 0);
    const unsigned total = unsigned(g.sectorCount());
    b[11] = uint8_t(g.bytes), b[12] = uint8_t(g.bytes >> 8), b[19] = uint8_t(total), b[20] = uint8_t(total >> 8);
    b[21] = 0xF9, b[24] = uint8_t(g.sectors), b[26] = uint8_t(g.heads);
    return b;
}

}

TEST(Recovery, ChoosesTheCopy)
{
    const auto base = bytes(0x11);
    const struct {
        const char *name;
        std::vector<SectorCopy> copies;
        SectorStatus status;
        std::vector<uint8_t> image;
        int copiesSeen, good;
    } cases[] = {
        {"one good", {copyOf(0, 0, 1, bytes(1))}, SectorStatus::good, bytes(1), 1, 1},
        {"good after bad", {copyOf(0, 0, 1, bytes(2), BAD_DATA), copyOf(0, 0, 1, bytes(1))}, SectorStatus::good,
         bytes(1), 2, 1},
        {"bad after good", {copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(2), BAD_DATA)}, SectorStatus::good,
         bytes(1), 2, 1},
        {"two good alike", {copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(1))}, SectorStatus::good, bytes(1), 2, 2},
        {"two good differ", {copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(3))}, SectorStatus::conflict, bytes(1),
         2, 2},
        {"one bad", {copyOf(0, 0, 1, bytes(2), BAD_DATA)}, SectorStatus::crcError, bytes(2), 1, 0},
        {"bad ID", {copyOf(0, 0, 1, bytes(2), BAD_ID)}, SectorStatus::crcError, bytes(2), 1, 0},
        {"two bad: first", {copyOf(0, 0, 1, bytes(2), BAD_DATA), copyOf(0, 0, 1, bytes(3), BAD_DATA)},
         SectorStatus::crcError, bytes(2), 2, 0},
        {"three bad: vote",
         {copyOf(0, 0, 1, withByte(base, 0, 0xEE), BAD_DATA), copyOf(0, 0, 1, base, BAD_DATA),
          copyOf(0, 0, 1, withByte(base, 1, 0xDD), BAD_DATA)},
         SectorStatus::crcError, base, 3, 0},
        {"three bad, one whose data CRC is right: its bytes, not an unconfirmed vote",
         {copyOf(0, 0, 1, withByte(base, 0, 0xEE), BAD_DATA), copyOf(0, 0, 1, withByte(base, 0, 0xEE), BAD_DATA),
          copyOf(0, 0, 1, base, BAD_ID)},
         SectorStatus::crcError, base, 3, 0},
        {"three bad: the CRC confirms the vote",
         {badCopyOf(withByte(base, 0, 0x10), base), badCopyOf(withByte(base, 0, 0x13), base),
          badCopyOf(withByte(base, 9, 0), base)},
         SectorStatus::good, base, 3, 0},
        {"a lone good variant beside two alike",
         {copyOf(0, 0, 1, bytes(3)), copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(1))}, SectorStatus::good,
         bytes(1), 3, 3},
        {"two good variants twice each",
         {copyOf(0, 0, 1, bytes(3)), copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(1)), copyOf(0, 0, 1, bytes(3))},
         SectorStatus::conflict, bytes(3), 4, 4},
        {"three bad: tie goes to the first",
         {copyOf(0, 0, 1, bytes(4), BAD_DATA), copyOf(0, 0, 1, bytes(5), BAD_DATA),
          copyOf(0, 0, 1, bytes(6), BAD_DATA)},
         SectorStatus::crcError, bytes(4), 3, 0},
        {"other size", {copyOf(0, 0, 1, bytes(1, 256))}, SectorStatus::missing, bytes(0xE5), 0, 0},
        {"other cylinder", {copyOf(1, 0, 1, bytes(1))}, SectorStatus::missing, bytes(0xE5), 0, 0},
        {"none", {}, SectorStatus::missing, bytes(0xE5), 0, 0},
    };
    for (const auto &c : cases) {
        const std::vector<TrackRead> reads{readOf(0, c.copies)};
        mfm::RecoveryOptions options;
        options.geometry = Geometry{1, 1, 1, SECTOR_SIZE};
        options.fill = 0xE5;
        const mfm::Recovery rec = mfm::recoverDisk(reads, options);
        ASSERT_EQ(rec.sectors.size(), 1u) << c.name;
        EXPECT_EQ(rec.sectors[0].status, c.status) << c.name;
        EXPECT_EQ(rec.image, c.image) << c.name;
        EXPECT_EQ(rec.sectors[0].copies, c.copiesSeen) << c.name;
        EXPECT_EQ(rec.sectors[0].goodCopies, c.good) << c.name;
        EXPECT_EQ(rec.count(c.status), 1) << c.name;
        const bool dataOk = std::any_of(c.copies.begin(), c.copies.end(), [](const SectorCopy &x) { return x.dataOk; });
        EXPECT_EQ(rec.sectors[0].voted, c.good == 0 && c.copiesSeen >= 3 && (c.status == SectorStatus::good || !dataOk))
            << c.name;
        EXPECT_EQ(rec.sectors[0].dataConfirmed, c.good == 0 && c.copiesSeen > 0 && dataOk && c.status != SectorStatus::good)
            << c.name;
    }
}

// Copies that lie outside the layout are listed with the reason.
TEST(Recovery, ListsCopiesOutsideTheLayout)
{
    using O = mfm::Outside;
    const struct {
        SectorCopy copy;
        O why;
    } cases[] = {
        {copyOf(3, 0, 1, bytes(1)), O::otherCylinder},
        {copyOf(1, 0, 0, bytes(1)), O::sectorNumber},
        {copyOf(1, 0, 19, bytes(1)), O::sectorNumber},
        {copyOf(1, 2, 1, bytes(1)), O::head},
        {copyOf(1, 1, 2, bytes(1, 256)), O::size},
        {copyOf(1, 1, 3, bytes(1), BAD_DATA), O::pastCylinders},
    };
    std::vector<TrackRead> reads{readOf(1, {})};
    for (const auto &c : cases)
        reads[0].copies.push_back(c.copy);
    mfm::RecoveryOptions options;
    options.geometry = Geometry{1, 2, 18, SECTOR_SIZE};
    const mfm::Recovery rec = mfm::recoverDisk(reads, options);
    ASSERT_EQ(rec.outside.size(), std::size(cases));
    // With one cylinder every copy of cylinder 1 lies past the last; with
    // two, each its own reason.
    EXPECT_EQ(rec.outside[1].why, O::pastCylinders);
    options.geometry->cylinders = 2;
    const mfm::Recovery two = mfm::recoverDisk(reads, options);
    ASSERT_EQ(two.outside.size(), std::size(cases) - 1);
    for (size_t k = 0; k + 1 < std::size(cases); k++)
        EXPECT_EQ(two.outside[k].why, cases[k].why) << k;
    EXPECT_EQ(two.goodOutside, 5);
}

TEST(Recovery, CountsIdsOfOtherCylindersAndKeepsReadOrder)
{
    // Reads of two captures: the first good copy found wins.
    std::vector<TrackRead> reads{readOf(0, {copyOf(0, 0, 1, bytes(1), BAD_DATA), copyOf(3, 0, 1, bytes(9))}),
                                 readOf(0, {copyOf(0, 0, 1, bytes(2))}), readOf(0, {copyOf(0, 0, 1, bytes(3))})};
    reads[1].input = 1, reads[2].input = 2;
    mfm::RecoveryOptions options;
    options.geometry = Geometry{1, 1, 1, SECTOR_SIZE};
    const mfm::Recovery rec = mfm::recoverDisk(reads, options);
    EXPECT_EQ(rec.foreignIds, 1);
    EXPECT_EQ(rec.sectors[0].status, SectorStatus::conflict);
    EXPECT_EQ(rec.sectors[0].read->input, 1);
    EXPECT_EQ(rec.image, bytes(2));
}

TEST(Recovery, FindsTheGeometry)
{
    using Src = mfm::GeometrySource;
    const Geometry dd9{80, 2, 9, 512}, dd10{80, 2, 10, 512}, hd18{80, 2, 18, 512}, big8{80, 2, 8, 1024},
        pc360{40, 2, 9, 512};
    const struct {
        const char *name;
        std::vector<TrackRead> reads;
        Geometry want;
        Src source;
        int step;
    } cases[] = {
        {"9 sectors, BPB", wholeDisk(dd9, 1, bootSector(dd9)), dd9, Src::bootSector, 1},
        {"10 sectors, no BPB", wholeDisk(dd10), dd10, Src::ids, 1},
        {"18 sectors, BPB", wholeDisk(hd18, 1, bootSector(hd18)), hd18, Src::bootSector, 1},
        {"8 x 1024 bytes, BPB", wholeDisk(big8, 1, bootSector(big8)), big8, Src::bootSector, 1},
        {"8 x 1024 bytes, no BPB", wholeDisk(big8), big8, Src::ids, 1},
        {"zero boot sector", wholeDisk(pc360, 1, bytes(0)), pc360, Src::ids, 1},
        {"BPB that disagrees", wholeDisk(dd9, 1, bootSector(hd18)), dd9, Src::ids, 1},
        {"40 cylinders, double-stepped", wholeDisk(pc360, 2), pc360, Src::ids, 2},
    };
    for (const auto &c : cases) {
        const mfm::Recovery rec = mfm::recoverDisk(c.reads, {});
        EXPECT_EQ(rec.geometry, c.want) << c.name;
        EXPECT_EQ(rec.source, c.source) << c.name;
        EXPECT_EQ(rec.step, c.step) << c.name;
        EXPECT_EQ(rec.count(SectorStatus::good), c.want.sectorCount()) << c.name;
    }

    // Lost last cylinders and lost last sectors of some tracks: the BPB still
    // gives the whole disk, the IDs still the usual sector count.
    auto worn = wholeDisk(hd18, 1, bootSector(hd18));
    worn.resize(75);
    for (int c = 10; c < 20; c++)
        worn[size_t(c)].copies.resize(30), worn[size_t(c)].ids.resize(30);
    const mfm::Recovery rec = mfm::recoverDisk(worn, {});
    EXPECT_EQ(rec.geometry, hd18);
    EXPECT_EQ(rec.source, Src::bootSector);
    EXPECT_EQ(rec.count(SectorStatus::notCaptured), 5 * 36);   // the tracks past the 75 read
    EXPECT_EQ(rec.count(SectorStatus::missing), 10 * 6);
    worn[0].copies[0].data = bytes(0);
    EXPECT_EQ(mfm::recoverDisk(worn, {}).geometry, hd18);   // the standard 80 of 18 sectors
}

// Without a boot sector the cylinders are never fewer than the standard
// layout the IDs fit, nor than the last track read that holds a formatted
// track, nor than the IDs name.
TEST(Recovery, CylindersNeverFewerThanWhatWasRead)
{
    auto disk = [](int cylinders, int sectors, int lostIds = 0, int formattedPast = 0) {
        auto reads = wholeDisk(Geometry{cylinders, 2, sectors, SECTOR_SIZE});
        for (TrackRead &r : reads)
            r.syncs = 4 * sectors;
        for (int k = 0; k < lostIds; k++) {   // the last cylinders: formatted, no ID read
            reads[size_t(cylinders - 1 - k)].ids.clear();
            reads[size_t(cylinders - 1 - k)].copies.clear();
        }
        for (int k = 0; k < formattedPast; k++) {
            TrackRead r;
            r.physical = cylinders + k, r.syncs = 30;
            reads.push_back(r);
        }
        return reads;
    };
    const struct {
        const char *name;
        std::vector<TrackRead> reads;
        int cylinders, ids, formatted, standard;
    } cases[] = {
        {"80 of 18, last cylinder's IDs lost", disk(80, 18, 1), 80, 79, 80, 80},
        {"38 of 9: the standard 40", disk(38, 9), 40, 38, 38, 40},
        {"83 of 18 stay 83", disk(83, 18), 83, 83, 83, 83},
        {"60 of 12 formatted to 62", disk(60, 12, 0, 2), 62, 60, 62, 62},
        {"60 of 12, last 3 IDs lost", disk(60, 12, 3), 60, 57, 60, 60},
    };
    for (const auto &c : cases) {
        const mfm::Recovery rec = mfm::recoverDisk(c.reads, {});
        EXPECT_EQ(rec.geometry.cylinders, c.cylinders) << c.name;
        EXPECT_EQ(rec.cylinders.ids, c.ids) << c.name;
        EXPECT_EQ(rec.cylinders.formatted, c.formatted) << c.name;
        EXPECT_EQ(rec.cylinders.standard, c.standard) << c.name;
    }
}

TEST(Recovery, CollectsTheCopiesOfAScan)
{
    // Two sectors, then a data field with no ID, then an ID whose data field
    // holds a well-formed ID and data field of its own.
    std::vector<uint8_t> cells(20000, 0);
    CellWriter w(cells, 77);
    w.sectorFields(5, 1, 1, sectorData(5, 1, 1).data());
    w.idField(5, 1, 2);
    w.dataField(sectorData(5, 1, 2).data(), false);
    w.dataField(sectorData(5, 1, 3).data());
    uint8_t run[10] = {0xA1, 0xA1, 0xA1, MARK_ID, 5, 1, 9, 2};
    const uint16_t crc = crc16(run, 8);
    run[8] = uint8_t(crc >> 8), run[9] = uint8_t(crc);
    auto data = sectorData(5, 1, 4);
    std::copy(std::begin(run), std::end(run), data.begin() + 100);
    w.idField(5, 1, 4);
    w.dataField(data.data());
    // Deleted data; then an ID whose data field was lost, so that the next
    // sector's data field (its ID lost too) lies far behind it.
    w.idField(5, 1, 5);
    w.dataField(sectorData(5, 1, 5).data(), true, SECTOR_SIZE, mfm::MARK_DELETED);
    w.idField(5, 1, 6);
    w.fill(0x4E, 600);
    w.dataField(sectorData(5, 1, 7).data());

    mfm::Scanner scanner;
    TrackRead r;
    const int64_t index[] = {0, 77 + 16 * 600};
    mfm::collectCopies(scanner.scan(cells, mfm::DataLength::fromId), index, r);
    ASSERT_EQ(r.copies.size(), 4u);
    EXPECT_TRUE(r.copies[3].good() && r.copies[3].deleted);
    EXPECT_EQ(r.copies[3].data, sectorData(5, 1, 5));
    EXPECT_FALSE(r.copies[0].deleted);
    // The deleted sector keeps its flag in the recovery and shows a dot.
    r.physical = 5;
    mfm::RecoveryOptions options;
    options.geometry = Geometry{6, 2, 9, SECTOR_SIZE};
    const mfm::Recovery rec = mfm::recoverDisk(std::span(&r, 1), options);
    for (const mfm::RecoveredSector &sec : rec.sectors)
        EXPECT_EQ(sec.deleted, sec.cylinder == 5 && sec.head == 1 && sec.sector == 5) << sec.sector;
    const std::string svg = mfm::svgMap(rec);
    EXPECT_NE(svg.find("deleted data: 1<"), std::string::npos);
    EXPECT_EQ(svg.find("fill=\"#111111\"/>\n"), svg.rfind("fill=\"#111111\"/>\n"));
    EXPECT_TRUE(r.copies[0].good());
    EXPECT_EQ(r.copies[0].data, sectorData(5, 1, 1));
    EXPECT_EQ(r.copies[0].revolution, 1);
    EXPECT_FALSE(r.copies[1].dataOk);
    EXPECT_EQ(r.copies[1].sector, 2);
    EXPECT_EQ(r.copies[1].revolution, 2);
    EXPECT_EQ(r.copies[2].sector, 4);
    EXPECT_EQ(r.ids.size(), 5u);   // the ID inside sector 4's data is its data
}
