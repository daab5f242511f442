// AmigaDOS disks: the encoder and decoder against each other, the flux
// decoder on synthetic AmigaDOS flux, the evidence a sector needs beyond its
// weak checksum, and the tools end to end.
#include "flux_builder.h"
#include "flux_files.h"
#include "helpers.h"
#include "mfm/amiga.h"
#include "mfm/fluxcells.h"
#include "mfm/recovery.h"
#include "mfm/sectormap.h"

#include <gtest/gtest.h>


namespace {

using mfm::Family;
namespace amiga = mfm::amiga;

constexpr int SPT = 11;
constexpr int64_t REV = 100000;                 // cells of a DD revolution
constexpr double SCP_CELL_TICKS = 80;          // 2 us at 40 MHz
// The encoder's gap, then the sectors: cell of sector s's data area.
constexpr int64_t GAP_WORDS = REV / 16 - SPT * amiga::SECTOR_WORDS;
constexpr int64_t dataCell(int s) { return 16 * (GAP_WORDS + int64_t(amiga::SECTOR_WORDS) * s + 4 + amiga::DATA_AT); }

std::vector<uint8_t> trackData(int track)
{
    std::vector<uint8_t> d;
    for (int s = 0; s < SPT; s++) {
        const auto one = sectorData(track / 2, track % 2, s);
        d.insert(d.end(), one.begin(), one.end());
    }
    return d;
}


// Flips bit `bit` of byte `i` of sector `s`'s data in an encoded track,
// keeping the clock rule around it unless `clocks` is false.
void flipDataBit(std::vector<uint8_t> &cells, int s, int i, int bit, bool clocks = true)
{
    const int j = (3 - i % 4) * 8 + bit;   // place in its big-endian long
    const int64_t n = (j % 2 ? 0 : 16 * amiga::SECTOR_BYTES / 4) + int64_t(i / 4) * 16 + (15 - (j >> 1));
    const int64_t d = dataCell(s) + 2 * n + 1;
    setCell(cells, d, !cellAt(cells, d));
    if (clocks)
        for (const int64_t c : {d - 1, d + 1})
            setCell(cells, c, !cellAt(cells, c - 1) && !cellAt(cells, c + 1));
}

// One read of track 0.0 made of `cells`, as input `input`.
mfm::TrackRead readOf(const std::vector<uint8_t> &cells, int input)
{
    mfm::Scanner scanner;
    mfm::TrackRead r;
    r.input = input, r.physical = 0, r.head = 0;
    mfm::collectCopies(scanner.scan(cells, mfm::DataLength::fromId, true), {}, r, cells);
    return r;
}

mfm::Recovery oneTrack(const std::vector<mfm::TrackRead> &reads)
{
    mfm::RecoveryOptions options;
    options.geometry = mfm::Geometry{1, 1, SPT, 512, 0, Family::amiga};
    return mfm::recoverDisk(reads, options);
}

bool sectorIs(const mfm::Recovery &rec, int s, const std::vector<uint8_t> &want)
{
    return std::equal(want.begin() + s * 512, want.begin() + (s + 1) * 512, rec.image.begin() + s * 512);
}

}

// The encoder's tracks decode whole at any cell offset; the header names
// the track, the sector and the sectors to the gap; a broken data checksum
// is seen, and so are data cells whose checksum passes but whose clock
// cells break the rule.
TEST(Amiga, EncoderAndDecoderAgree)
{
    const auto data = trackData(37);
    const int broken[] = {4};
    auto cells = amiga::encodeTrack(37, data, SPT, REV, broken);
    flipDataBit(cells, 7, 3, 0, false);   // two errors in column 0, clocks left
    flipDataBit(cells, 7, 7, 0, false);
    for (const int shift : {0, 3, 8, 13}) {
        std::vector<uint8_t> shifted(cells.size() + 2, 0);
        for (int64_t c = 0; c < REV; c++)
            setCell(shifted, c + shift, cellAt(cells, c));
        const mfm::TrackRead r = readOf(shifted, 0);
        ASSERT_EQ(r.copies.size(), size_t(SPT)) << shift;
        for (int s = 0; s < SPT; s++) {
            const mfm::SectorCopy &c = r.copies[size_t(s)];
            EXPECT_EQ(c.family, Family::amiga);
            EXPECT_EQ(c.cylinder * 2 + c.head, 37);
            EXPECT_EQ(c.sector, s);
            EXPECT_TRUE(c.idOk);
            EXPECT_EQ(c.dataOk, s != 4) << s;
            EXPECT_EQ(c.good(), s != 4 && s != 7) << s;
            EXPECT_EQ(c.clockErrors > 0, s == 7) << s;
            EXPECT_TRUE(s == 7 || std::equal(c.data.begin(), c.data.end(), data.begin() + s * 512)) << s;
        }
        EXPECT_EQ(r.syncs, SPT);
    }
}

// Synthetic AmigaDOS flux through the whole flux decoder and the choice of
// copies: the same faults the IBM flux tests meet.
TEST(Amiga, FluxTrackFaults)
{
    const auto data = trackData(0);
    const auto one = amiga::encodeTrack(0, data, SPT, REV);
    struct Case {
        const char *name;
        int revolutions;
        std::vector<CellSpan> damage;   // cells from the first revolution's start
        int voted;                      // the sector made good by a vote, or -1
    };
    const Case cases[] = {
        {"a clean disk", 3, {}, -1},
        {"lock lost over sectors 3 and 4 in the first revolution", 3,
         {{dataCell(3) + 100, dataCell(4) - dataCell(3)}}, -1},
        {"sector 5 bad in every revolution, in other places", 5,
         {{dataCell(5) + 900, 24},
          {REV + dataCell(5) + 2400, 24},
          {2 * REV + dataCell(5) + 3900, 24},
          {3 * REV + dataCell(5) + 5400, 24},
          {4 * REV + dataCell(5) + 6900, 24}},
         5},
    };
    mfm::Scanner scanner;
    for (const Case &c : cases) {
        std::vector<uint8_t> cells;
        for (int r = 0; r < c.revolutions; r++)
            cells.insert(cells.end(), one.begin(), one.end());
        FluxNoise noise;
        noise.jitter = 0.05, noise.peakShift = 0.1, noise.revolutionCells = REV, noise.damage = c.damage;
        std::vector<int64_t> at;
        const auto flux = buildFlux(cells, c.revolutions * REV, SCP_CELL_TICKS, noise, &at);
        const std::vector<fluxfiles::ScpTrack> tracks{scpTrack(0, flux, at, REV, c.revolutions)};
        const std::string path = tempDir() + "/amiga.scp";
        writeFile(path, fluxfiles::scpImage(tracks));
        const mfm::FluxFile file(path);
        mfm::FluxCells work;
        std::vector<mfm::TrackRead> reads(1);
        ASSERT_TRUE(mfm::decodeFluxTrack(file, 0, 0, work, scanner, reads[0])) << c.name;
        const mfm::Recovery rec = oneTrack(reads);
        EXPECT_EQ(rec.count(mfm::SectorStatus::good), SPT) << c.name;
        for (const mfm::RecoveredSector &sec : rec.sectors) {
            EXPECT_EQ(sec.voted, sec.sector == c.voted) << c.name << " sector " << sec.sector;
            EXPECT_TRUE(sectorIs(rec, sec.sector, data)) << c.name << " sector " << sec.sector;
        }
    }
}

// The checksum passes any two errors in one column; what the other reads
// hold decides. Reads are made from the encoder's track with data bits
// flipped (clock cells kept right): `wrong` bits pass the checksum, `noise`
// bits break it.
TEST(Amiga, AWeakChecksumNeedsTheOtherReads)
{
    const auto data = trackData(0);
    const auto clean = amiga::encodeTrack(0, data, SPT, REV);
    constexpr int S = 6;
    struct Bit {
        int byte, bit;
    };
    const std::vector<Bit> wrong = {{3, 0}, {7, 0}};   // both in column 0
    auto many = [](int n) {   // n errors, one in every sixth byte: a read that lost its lock
        std::vector<Bit> bits;
        for (int k = 0; k < n; k++)
            bits.push_back({6 * k + 1, k % 8});
        return bits;
    };
    auto read = [&](const std::vector<Bit> &flips) {
        auto cells = clean;
        for (const Bit &b : flips)
            flipDataBit(cells, S, b.byte, b.bit);
        return cells;
    };
    struct Case {
        const char *name;
        std::vector<std::vector<Bit>> reads;
        mfm::SectorStatus status;
        bool voted;
    };
    const Case cases[] = {
        {"a clean read beside two with an error each", {{}, {{100, 5}}, {{300, 2}}}, mfm::SectorStatus::good, false},
        {"two clean reads", {{}, {}}, mfm::SectorStatus::good, false},
        {"a wrong read that passes, two right ones with an error each",
         {wrong, {{100, 5}}, {{300, 2}}},
         mfm::SectorStatus::good,
         true},
        {"a wrong read that passes beside one right read", {wrong, {{100, 5}}}, mfm::SectorStatus::crcError, false},
        {"a wrong read that passes, alone but for a read far from it", {wrong, many(80)}, mfm::SectorStatus::crcError,
         false},
        {"a right read alone", {{}}, mfm::SectorStatus::good, false},
    };
    for (const Case &c : cases) {
        std::vector<mfm::TrackRead> reads;
        for (size_t i = 0; i < c.reads.size(); i++)
            reads.push_back(readOf(read(c.reads[i]), int(i)));
        const mfm::Recovery rec = oneTrack(reads);
        const mfm::RecoveredSector &sec = rec.sectors[S];
        EXPECT_EQ(sec.status, c.status) << c.name;
        EXPECT_EQ(sec.voted, c.voted) << c.name;
        EXPECT_TRUE(sec.status != mfm::SectorStatus::good || sectorIs(rec, S, data)) << c.name;
        EXPECT_EQ(rec.count(mfm::SectorStatus::good), SPT - (sec.status != mfm::SectorStatus::good)) << c.name;
    }
}

namespace {

struct Disk {
    std::vector<uint8_t> capture, image;
};

// A drive-B capture of IBM-format tracks numbered from `first`, and its
// image.
Disk numberedDisk(int cylinders, int heads, int first, int sectors, uint8_t sizeCode)
{
    Disk d;
    const size_t size = size_t(128) << sizeCode;
    d.capture.assign(size_t(cylinders) * TRACK_SLOT_SIZE, 0);
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < heads; h++) {
            std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
            CellWriter w(d.capture, (int64_t(c) * TRACK_SLOT_SIZE + int64_t(h) * TRACK_SLOT_SIZE / 2) * 8 + 16 * 40);
            for (int s = first; s < first + sectors; s++) {
                const auto data = sectorData(c, h, s, size);
                w.idField(uint8_t(c), uint8_t(h), uint8_t(s), sizeCode);
                w.dataField(data.data(), true, size);
                d.image.insert(d.image.end(), data.begin(), data.end());
            }
        }
    return d;
}

}

// The tools on AmigaDOS disks and on IBM-format disks numbered from 0 and
// from 0xC1: the layout named and found, the outputs that can hold each
// disk and those refused (exit 2, nothing written), and --format.
TEST(Amiga, ToolsNameTheLayoutAndRefuseWhatCannotHoldIt)
{
    const std::string dir = tempDir();
    std::vector<uint8_t> adf(901120);
    for (size_t i = 0; i < adf.size(); i++)
        adf[i] = uint8_t((i * 2654435761u) >> 13);
    writeFile(dir + "/src.adf", adf);
    ASSERT_EQ(runProgram(ST2RAW_PATH, {dir + "/src.adf", dir + "/amiga.raw"}).status, 0);
    ASSERT_EQ(runProgram(ST2RAW_PATH, {EXAMPLE_IMAGE, dir + "/ibm.raw"}).status, 0);
    const Disk cpc = numberedDisk(40, 1, 0xC1, 9, 2), adfs = numberedDisk(80, 2, 0, 16, 1),
               st = numberedDisk(82, 2, 1, 9, 2);
    writeFile(dir + "/cpc.raw", cpc.capture);
    writeFile(dir + "/adfs.raw", adfs.capture);
    writeFile(dir + "/st.raw", st.capture);
    const std::string amiga = dir + "/amiga.raw", ibm = dir + "/ibm.raw";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;                       // on standard output or error
        const std::vector<uint8_t> *image;      // what the image (the -o argument) holds, if any
    };
    const Case cases[] = {
        {{"-o", dir + "/a.adf", "--report", dir + "/a.json", "--map", dir + "/a.svg", amiga}, 0,
         "Format: amiga.amigados, 80 cylinders, 2 heads, 11 sectors of 512 bytes (detected)\n", &adf},
        {{"-g", "80:2:11:512:0", "-o", dir + "/g.adf", amiga}, 0,
         "Format: amiga.amigados, 80 cylinders, 2 heads, 11 sectors of 512 bytes (given with --geometry)\n", &adf},
        {{"-o", dir + "/a.imd", amiga}, 2, "a.imd: ImageDisk holds IBM-format sectors only, not an AmigaDOS disk "
                                           "(amiga.amigados)", nullptr},
        {{"-o", dir + "/a.msa", amiga}, 2, "MSA holds Atari ST layouts only", nullptr},
        {{"-o", dir + "/i.adf", ibm}, 2, "i.adf: an .adf holds AmigaDOS disks only, not an IBM MFM disk (ibm.720)",
         nullptr},
        {{"-f", "amiga.amigados", "-o", dir + "/f.img", ibm}, 1,
         "Format: amiga.amigados, 80 cylinders, 2 heads, 11 sectors of 512 bytes (given with --format)\n"
         "cylinder 0: no AmigaDOS sectors; 18 IBM MFM sectors\n", nullptr},
        {{"--format", "ibm.1440", "-g", "80:2:18", "-o", dir + "/x.img", ibm}, 2, "not both", nullptr},
        {{"--format", "amiga", "-o", dir + "/x.img", ibm}, 2, "unknown format 'amiga'", nullptr},
        {{"--format", "help"}, 0, "amiga.amigados_hd   amiga          80     2      22   512     0     500  300",
         nullptr},
        {{"-o", dir + "/c.img", dir + "/cpc.raw"}, 0,
         "Format: amstrad.data, 40 cylinders, 1 head, 9 sectors of 512 bytes (detected)\n", &cpc.image},
        {{"-g", "40:1:9:512:0xC1", "-o", dir + "/g.img", dir + "/cpc.raw"}, 0,
         "Format: amstrad.data, 40 cylinders, 1 head, 9 sectors of 512 bytes (given with --geometry)\n",
         &cpc.image},
        {{"-g", "40:1:9:512:0xF8", "-o", dir + "/x.img", dir + "/cpc.raw"}, 2, "bad geometry", nullptr},
        {{"-o", dir + "/s.img", dir + "/st.raw"}, 0,
         "Format: atarist.720, 82 cylinders, 2 heads, 9 sectors of 512 bytes (detected)\n", &st.image},
        {{"-o", dir + "/d.img", dir + "/adfs.raw"}, 0,
         "Format: acorn.adfs.640, 80 cylinders, 2 heads, 16 sectors of 256 bytes (detected)\n", &adfs.image},
    };
    for (const Case &c : cases) {
        const RunResult r = runProgram(RAWIMAGE_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << r.all();
        EXPECT_NE(r.all().find(c.says), std::string::npos) << c.says << "\nin\n" << r.all();
        const auto o = std::find(c.args.begin(), c.args.end(), "-o");
        if (o == c.args.end())
            continue;
        const std::string image = readFile(o[1]);
        const bool want = c.image ? image == std::string(c.image->begin(), c.image->end())
                                  : c.status != 2 || image.empty();
        EXPECT_TRUE(want) << o[1];
    }
    // The report and the map number the sectors from 0.
    const std::string report = readFile(dir + "/a.json");
    EXPECT_NE(report.find("\"first\": 0,\n    \"family\": \"amiga\",\n    \"format\": \"amiga.amigados\""),
              std::string::npos);
    EXPECT_NE(report.find("\"cylinder\": 79,\n      \"head\": 1,\n      \"sector\": 10,"), std::string::npos);
    EXPECT_NE(readFile(dir + "/a.svg").find("sector 0 starts at the top"), std::string::npos);
}

// A track that holds sync words but no sector of the disk's family is
// another format's track, said once per track, not damage.
TEST(Amiga, TracksOfAnotherFormatAreNamed)
{
    std::vector<mfm::TrackRead> reads = {readOf(amiga::encodeTrack(0, trackData(0), SPT, REV), 0)};
    mfm::TrackRead other;
    other.physical = 0, other.head = 1, other.syncWords = 9, other.syncs = 0;
    reads.push_back(other);
    mfm::RecoveryOptions options;
    options.format = mfm::findLayout("amiga.amigados");
    const mfm::Recovery rec = mfm::recoverDisk(reads, options);
    ASSERT_EQ(rec.otherTracks.size(), 1u);
    EXPECT_NE(mfm::geometryText(rec).find("\ntrack 0.1: no AmigaDOS sectors; 9 sync words of another format\n"),
              std::string::npos)
        << mfm::geometryText(rec);
    EXPECT_NE(mfm::jsonReport(rec, {}).find("\"sync_words\": 9,"), std::string::npos);
}

// Every named layout is found by its name and is the closest to its own
// shape; other shapes get the nearest cylinders of theirs, or none.
TEST(Layouts, NamedAfterTheClosestRow)
{
    for (const mfm::Layout &l : mfm::layouts()) {
        EXPECT_EQ(mfm::findLayout(l.name), &l);
        EXPECT_EQ(mfm::closestLayout(l.geometry, std::string_view(l.name).starts_with("atarist.")), &l) << l.name;
    }
    const struct {
        mfm::Geometry g;
        bool atari;
        const char *name;
    } cases[] = {
        {{82, 2, 9, 512, 1, Family::ibm}, true, "atarist.720"},
        {{82, 2, 9, 512, 1, Family::ibm}, false, "ibm.720"},
        {{38, 2, 9, 512, 1, Family::ibm}, false, "ibm.360"},
        {{83, 2, 11, 512, 0, Family::amiga}, false, "amiga.amigados"},
        {{80, 2, 11, 512, 1, Family::ibm}, false, "atarist.880"},
        {{80, 2, 11, 512, 0, Family::ibm}, false, nullptr},
        {{2, 2, 12, 512, 1, Family::ibm}, false, nullptr},
    };
    for (const auto &c : cases) {
        const mfm::Layout *l = mfm::closestLayout(c.g, c.atari);
        EXPECT_STREQ(l ? l->name : nullptr, c.name) << c.g.cylinders << ":" << c.g.sectors;
    }
    EXPECT_EQ(mfm::findLayout("amiga"), nullptr);
}
