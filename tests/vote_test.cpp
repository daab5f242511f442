// Votes of bad copies: bit by bit, and cell by cell over copies that
// slipped, confirmed only by the sector's CRC.
#include "helpers.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"
#include "mfm/vote.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr int64_t DATA_CELL = 16 * 60;    // where the data field's bytes start, behind its ID

// Damage to the cells of one read of a sector: a data cell flipped (a bit
// error) or a cell lost (a slip of the loop), at a cell of its data field.
struct Damage {
    enum { FLIP, LOSE, GAIN } kind;
    int64_t cell;
};

// The copy a read with `damage` gives.
mfm::SectorCopy readWith(const std::vector<uint8_t> &data, const std::vector<Damage> &damage)
{
    std::vector<uint8_t> cells(4000, 0);
    CellWriter w(cells, 0);
    w.idField(0, 0, 1);
    CellWriter(cells, DATA_CELL - 16 * (12 + 4)).dataField(data.data());
    std::vector<bool> bits;
    for (int64_t i = 0; i < int64_t(cells.size()) * 8; i++)
        bits.push_back((cells[size_t(i >> 3)] >> (7 - (i & 7))) & 1);
    for (auto it = damage.rbegin(); it != damage.rend(); ++it) {
        const size_t at = size_t(DATA_CELL + it->cell);
        if (it->kind == Damage::FLIP)
            bits[at] = !bits[at];
        else if (it->kind == Damage::LOSE)
            bits.erase(bits.begin() + ptrdiff_t(at));
        else
            bits.insert(bits.begin() + ptrdiff_t(at), true);
    }
    cells.assign((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++)
        cells[i >> 3] = uint8_t(cells[i >> 3] | bits[i] << (7 - (i & 7)));
    mfm::Scanner scanner;
    mfm::TrackRead r;
    mfm::collectCopies(scanner.scan(cells, mfm::DataLength::fromId), {}, r, cells);
    EXPECT_EQ(r.copies.size(), 1u);
    return r.copies.at(0);
}

}

TEST(Vote, ConfirmedOnlyByTheCrc)
{
    const auto data = sectorData(0, 0, 1);
    // Data cells are the odd ones; cell 16 * b + 2 * k + 1 is bit 7 - k of byte b.
    const struct {
        const char *name;
        std::vector<std::vector<Damage>> reads;
        bool confirmed, aligned;
    } cases[] = {
        {"errors in other bytes", {{{Damage::FLIP, 33}}, {{Damage::FLIP, 16 * 200 + 5}}, {{Damage::FLIP, 16 * 400 + 7}}},
         true, false},
        {"errors in one byte, other bits", {{{Damage::FLIP, 16 * 7 + 1}}, {{Damage::FLIP, 16 * 7 + 3}}, {{Damage::FLIP, 16 * 7 + 5}}},
         true, false},
        {"two reads slipped, one with an error",
         {{{Damage::LOSE, 1000}}, {{Damage::LOSE, 3000}}, {{Damage::FLIP, 16 * 120 + 1}}}, true, true},
        {"slips in every read",
         {{{Damage::LOSE, 700}, {Damage::FLIP, 5001}}, {{Damage::LOSE, 2500}}, {{Damage::LOSE, 6000}}, {{Damage::FLIP, 3}}},
         true, true},
        {"every read slipped, each elsewhere, cells gained and lost",
         {{{Damage::GAIN, 900}}, {{Damage::LOSE, 2600}}, {{Damage::GAIN, 4100}}, {{Damage::GAIN, 5500}},
          {{Damage::LOSE, 7000}}},
         true, true},
        {"every read wrong in the same place",
         {{{Damage::FLIP, 16 * 9 + 1}}, {{Damage::FLIP, 16 * 9 + 1}}, {{Damage::FLIP, 16 * 9 + 1}}}, false, false},
    };
    for (const auto &c : cases) {
        std::vector<mfm::SectorCopy> copies;
        for (const auto &damage : c.reads)
            copies.push_back(readWith(data, damage));
        std::vector<const mfm::SectorCopy *> voters;
        for (const auto &copy : copies) {
            EXPECT_FALSE(copy.dataOk) << c.name;
            voters.push_back(&copy);
        }
        const mfm::Vote v = mfm::voteCopies(voters, SECTOR_SIZE);
        EXPECT_EQ(v.confirmed, c.confirmed) << c.name;
        EXPECT_EQ(v.aligned, c.aligned) << c.name;
        if (c.confirmed) {
            EXPECT_EQ(v.data, data) << c.name;
        }
    }
}

// The aligned vote gives the same votes whichever code takes it (sixteen
// alignments at a time with AVX2, one by one otherwise): reads with slips
// and errors in many places, up to the 31 copies it looks at.
TEST(Vote, SameVoteFromEveryCode)
{
    const auto data = sectorData(0, 0, 1);
    std::mt19937 random(11);
    int aligned = 0;
    for (size_t reads : {3u, 4u, 9u, 17u, 31u}) {
        for (int round = 0; round < 2; round++) {
            std::vector<mfm::SectorCopy> copies;
            for (size_t r = 0; r < reads; r++) {
                std::vector<Damage> damage;
                for (int64_t cell = int64_t(random() % 600); cell < 16 * 514; cell += 1000 + int64_t(random() % 4000))
                    damage.push_back({random() % 3 ? Damage::FLIP : Damage::LOSE, cell});
                copies.push_back(readWith(data, damage));
            }
            std::vector<const mfm::SectorCopy *> voters;
            for (const auto &copy : copies)
                voters.push_back(&copy);
            const mfm::Vote best = mfm::voteCopies(voters, SECTOR_SIZE);
            const mfm::Vote plain = mfm::voteCopies(voters, SECTOR_SIZE, mfm::Simd::portable);
            EXPECT_EQ(plain.data, best.data) << reads;
            EXPECT_EQ(plain.confirmed, best.confirmed) << reads;
            EXPECT_EQ(plain.aligned, best.aligned) << reads;
            aligned += best.aligned;
        }
    }
    EXPECT_GT(aligned, 5);
}

// A read whose CRCs are right is good only when its clock cells keep the
// MFM rule: a clock cell turned by noise leaves the bytes and CRC right but
// shows the cells were not read as written.
TEST(Vote, GoodReadsKeepTheClockRule)
{
    const auto data = sectorData(0, 0, 1);
    const struct {
        std::vector<Damage> damage;
        bool dataOk;
        int64_t clockErrors;
    } cases[] = {
        {{}, true, 0},
        {{{Damage::FLIP, 16 * 30}}, true, 1},                            // a clock cell
        {{{Damage::FLIP, 16 * 30}, {Damage::FLIP, 16 * 300 + 6}}, true, 2},
        {{{Damage::FLIP, 16 * 30 + 1}}, false, 0},                       // a data cell: not checked
    };
    for (const auto &c : cases) {
        const mfm::SectorCopy copy = readWith(data, c.damage);
        EXPECT_EQ(copy.dataOk, c.dataOk);
        EXPECT_EQ(copy.clockErrors, c.clockErrors);
        EXPECT_EQ(copy.good(), c.dataOk && c.clockErrors == 0);
    }
}
