// The fast analyser against the literal scan: the same output, verbose or
// not, the same sector table and the same buffer, on many kinds of track.
#include "helpers.h"
#include "reference_analyser.h"

#include "mfm/amiga.h"
#include "mfm/cellbits.h"
#include "mfm/scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

namespace {

struct Outcome {
    std::string out;
    std::vector<uint8_t> table;
};

Outcome runOn(std::vector<uint8_t> &slot, void (*analyser)(int, int, int), int verboseFlag)
{
    useCapture(slot);
    memset(sector, 0, sizeof sector);
    boot = BootRecord{};   // a boot report's tracks line depends on the call before
    Outcome o;
    o.out = captureStdout([&] { analyser(0, 0, verboseFlag); });
    const auto *t = reinterpret_cast<const uint8_t *>(sector);
    o.table.assign(t, t + sizeof sector);
    EXPECT_EQ(memcmp(buffer, slot.data(), TRACK_SLOT_SIZE), 0) << "buffer changed";
    f = nullptr;
    return o;
}

// Compares both analysers without and with the verbose flag, as asked.
void expectSame(std::vector<uint8_t> slot, const std::string &what, bool verboseRun = true, bool plainRun = true)
{
    for (int v = plainRun ? 0 : 1; v <= (verboseRun ? 1 : 0); v++) {
        const Outcome ref = runOn(slot, reference_analyse_track, v);
        const Outcome fast = runOn(slot, analyse_track, v);
        ASSERT_EQ(fast.out.size(), ref.out.size()) << what << " verbose " << v;
        EXPECT_TRUE(fast.out == ref.out) << what << " verbose " << v;
        EXPECT_TRUE(fast.table == ref.table) << what << " verbose " << v;
    }
}

std::mt19937 rng(2024);

std::vector<uint8_t> randomCells()
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE);
    for (auto &b : slot)
        b = uint8_t(rng());
    return slot;
}

std::vector<uint8_t> randomBytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = uint8_t(rng());
    return v;
}

// Sync sequence, a mark and random field bytes at track bit `bit`.
void plant(std::vector<uint8_t> &slot, int64_t bit, uint8_t mark)
{
    CellWriter w(slot, bit);
    w.sync(), w.sync(), w.sync();
    w.byte(mark);
    const auto rest = randomBytes(size_t(rng() % 600));
    w.bytes(rest.data(), rest.size());
}

const uint8_t marks[] = {MARK_ID, MARK_DATA, 0x12, MARK_ID, MARK_DATA};

}

TEST(Differential, RandomCells)
{
    for (int i = 0; i < 2; i++)
        expectSame(randomCells(), "random");
}

TEST(Differential, PlantedSyncsAtEveryShift)
{
    for (int round = 0; round < 3; round++) {
        auto slot = randomCells();
        for (int s = 0; s < 16; s++) {
            // Byte offsets both even and odd, and clusters at one position.
            const int64_t base = 16 * (200 + 1900 * s + round * 37) + s + (round == 1 ? 8 : 0);
            plant(slot, base, marks[size_t(s + round) % 5]);
            if (s % 4 == 0)
                plant(slot, base + 16 * 80 + 3, marks[size_t(s) % 5]);
        }
        expectSame(slot, "planted " + std::to_string(round));
    }
}

TEST(Differential, FormattedTracksAtRandomOffsets)
{
    for (int i = 0; i < 4; i++) {
        const int64_t offset = int64_t(rng() % 30000);
        expectSame(formattedSlot(i, i % 2 ? 18 : 9, offset), "formatted at " + std::to_string(offset), i < 2);
    }
}

TEST(Differential, FieldsRunningIntoTheEnd)
{
    // Head 1's fields run past the end of the buffer.
    expectSame(formattedSlot(3, 18, 90000), "formatted past the end");
    auto slot = randomCells();
    for (int s = 0; s < 16; s++)
        plant(slot, 8 * (TRACK_SLOT_SIZE - 1100 + 64 * s) + s, marks[size_t(s) % 5]);
    plant(slot, 8 * (TRACK_SLOT_SIZE - 8) + 1, MARK_ID);
    plant(slot, 8 * (TRACK_SLOT_SIZE - 6), MARK_DATA);
    expectSame(slot, "planted near the end");
}

TEST(Differential, TracksFullOfSyncs)
{
    std::vector<uint8_t> words(TRACK_SLOT_SIZE);
    for (size_t i = 0; i < words.size(); i += 2)
        words[i] = 0x44, words[i + 1] = 0x89;
    expectSame(words, "sync words everywhere", false);

    std::vector<uint8_t> a1(TRACK_SLOT_SIZE, 0);
    CellWriter w(a1, 5);
    w.fill(0xA1, TRACK_SLOT_SIZE / 2);
    expectSame(a1, "A1 bytes everywhere", false);

    std::vector<uint8_t> marked(TRACK_SLOT_SIZE, 0);
    CellWriter m(marked, 0);
    for (int i = 0; i < TRACK_SLOT_SIZE / 8; i++) {
        m.sync(), m.sync(), m.sync();
        m.byte(i % 3 ? MARK_DATA : MARK_ID);
    }
    expectSame(marked, "marks everywhere", false);
}

TEST(Differential, DuplicatesOrphansAndOddSides)
{
    for (int round = 0; round < 2; round++) {
        std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
        CellWriter w(slot, int64_t(rng() % 5000));
        const auto data = randomBytes(SECTOR_SIZE);
        auto bootData = sectorData(0, 0, 1);
        for (int i = 0; i < 14; i++) {
            const int kind = int(rng() % 6);
            const uint8_t side = uint8_t(kind == 5 ? 2 + rng() % 254 : rng() % 2);
            const uint8_t sec = uint8_t(rng() % 4);
            if (kind != 4)   // kind 4: a data field with no ID before it
                w.idField(uint8_t(round), side, sec, 2, kind != 1);
            w.dataField(kind == 0 ? bootData.data() : data.data(), kind != 2);
            w.fill(0x4E, rng() % 9);
        }
        expectSame(slot, "duplicates " + std::to_string(round));
    }
}

// The inputs that the analyser's fuzz target kept: its first byte chose the
// verbose flag, the rest is the slot (missing cells read as zero).
TEST(Differential, FuzzCorpus)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(CORPUS_DIR "/track")) {
        const std::string input = readFile(entry.path().string());
        std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
        if (input.size() > 1)
            std::copy(input.begin() + 1, input.begin() + long(std::min(input.size(), slot.size() + 1)), slot.begin());
        const bool verboseFlag = !input.empty() && (input[0] & 1);
        expectSame(slot, entry.path().filename().string(), verboseFlag, !verboseFlag);
        files++;
    }
    EXPECT_GT(files, 0);
}

// Every scanner path this machine runs (AVX2, SSE2, portable) finds the same
// fields with the same bytes, on streams of any length, both data lengths
// and with AmigaDOS sectors looked for or not; the suite's other tests run
// only the best path. Looking for AmigaDOS sectors leaves the IBM fields
// as they were.
TEST(Differential, ScannerPathsAgree)
{
    std::vector<std::vector<uint8_t>> streams;
    for (size_t n : {0, 1, 15, 16, 17, 33, 100, 1000, 5003}) {
        auto cells = randomBytes(n);
        if (n >= 100)
            plant(cells, 8 * int64_t(n) - 300, MARK_ID), plant(cells, 8 * int64_t(n) - 97, MARK_DATA);
        streams.push_back(cells);
    }
    auto planted = randomCells();
    for (int s = 0; s < 16; s++)
        plant(planted, 16 * (300 + 1800 * s) + s, marks[size_t(s) % 5]);
    streams.push_back(planted);
    streams.push_back(formattedSlot(2, 8, 12345, 3));
    std::vector<uint8_t> dense(20000, 0);
    CellWriter m(dense, 3);
    for (int i = 0; i < 2400; i++) {
        m.sync(), m.sync(), m.sync();
        m.byte(i % 3 ? MARK_DATA : MARK_ID);
    }
    streams.push_back(dense);
    // AmigaDOS tracks at odd and even offsets, one beside IBM fields, and
    // A1 A1 followed by ones planted in random cells.
    const auto data = randomBytes(11 * mfm::amiga::SECTOR_BYTES);
    for (const int64_t offset : {0, 5, 12}) {
        auto track = mfm::amiga::encodeTrack(offset, data, 11, 100000);
        std::vector<uint8_t> shifted(track.size() + 4, 0);
        for (int64_t c = 0; c < int64_t(track.size()) * 8; c++)
            if ((track[size_t(c >> 3)] >> (7 - (c & 7))) & 1)
                shifted[size_t((c + offset) >> 3)] |= uint8_t(0x80 >> ((c + offset) & 7));
        streams.push_back(shifted);
    }
    auto mixed = formattedSlot(4, 9, 7);
    const auto amigaTrack = mfm::amiga::encodeTrack(9, data, 11, 100000);
    std::copy(amigaTrack.begin(), amigaTrack.end(), mixed.begin() + 20000);
    streams.push_back(mixed);
    auto ones = randomBytes(20000);
    for (int k = 0; k < 40; k++) {
        CellWriter w(ones, 16 * (200 + 450 * k) + k % 16);
        w.sync(), w.sync(), w.byte(uint8_t(0xF0 | k));
    }
    streams.push_back(ones);

    auto same = [](const mfm::Field &a, const mfm::Field &b) {
        return a.family == b.family && a.bit == b.bit && a.mark == b.mark && a.track == b.track && a.side == b.side &&
               a.sector == b.sector && a.size == b.size && a.introduced == b.introduced && a.id == b.id &&
               a.storedCrc == b.storedCrc && a.computedCrc == b.computedCrc && a.decoded == b.decoded &&
               a.headerOk == b.headerOk && a.dataOk == b.dataOk && a.dataSum == b.dataSum &&
               std::ranges::equal(a.data, b.data);
    };
    mfm::Scanner best, sse2(mfm::Simd::sse2), portable(mfm::Simd::portable), ibmOnly;
    int amigaSectors = 0;
    for (const auto length : {mfm::DataLength::fixed512, mfm::DataLength::fromId})
        for (const bool amiga : {false, true})
            for (size_t i = 0; i < streams.size(); i++) {
                const auto want = portable.scan(streams[i], length, amiga);
                for (mfm::Scanner *other : {&best, &sse2}) {
                    const auto got = other->scan(streams[i], length, amiga);
                    ASSERT_EQ(got.size(), want.size()) << "stream " << i << (amiga ? ", amiga" : "");
                    for (size_t k = 0; k < got.size(); k++)
                        EXPECT_TRUE(same(got[k], want[k])) << "stream " << i << ", field " << k;
                }
                if (!amiga)
                    continue;
                std::vector<mfm::Field> ibm;
                for (const mfm::Field &fd : want)
                    if (fd.family == mfm::Family::ibm)
                        ibm.push_back(fd);
                    else
                        amigaSectors += fd.headerOk && fd.dataOk;
                // Field::id indexes each scan's own results: compare the IDs' places.
                const auto alone = ibmOnly.scan(streams[i], length);
                ASSERT_EQ(alone.size(), ibm.size()) << "stream " << i;
                for (size_t k = 0; k < ibm.size(); k++) {
                    mfm::Field a = alone[k], b = ibm[k];
                    a.id = a.id < 0 ? -1 : int32_t(alone[size_t(a.id)].bit);
                    b.id = b.id < 0 ? -1 : int32_t(want[size_t(b.id)].bit);
                    EXPECT_TRUE(same(a, b)) << "stream " << i << ", field " << k;
                }
            }
    // The three tracks and the one beside IBM fields, whole, in both lengths.
    EXPECT_EQ(amigaSectors, 2 * 4 * 11);
}

// countSyncWords against the plain count: a window of 16 cells slid one cell
// at a time, a match counting when it overlaps no match before it and lies
// inside [from, to). Syncs planted at every offset, back to back, across
// the range's ends, in random cells and in cells of 4E gap.
TEST(Differential, SyncWordsCountedAsThePlainCount)
{
    auto plain = [](const std::vector<uint8_t> &cells, int64_t from, int64_t to) {
        to = std::min<int64_t>(to, int64_t(cells.size()) * 8);
        int count = 0;
        for (int64_t i = std::max<int64_t>(from, 0), next = i; i + 16 <= to; i++) {
            unsigned w = 0;
            for (int k = 0; k < 16; k++)
                w = w << 1 | ((cells[size_t((i + k) >> 3)] >> (7 - ((i + k) & 7))) & 1u);
            if (w == 0x4489 && i >= next)
                count++, next = i + 16;
        }
        return count;
    };
    std::mt19937 rng(4489);
    for (int round = 0; round < 40; round++) {
        std::vector<uint8_t> cells(size_t(200 + rng() % 400));
        for (size_t k = 0; k < cells.size(); k++)
            cells[k] = round % 3 == 0 ? uint8_t(rng()) : k % 2 ? 0x54 : 0x92;
        // Syncs at random offsets, some back to back.
        for (int n = 0; n < 12; n++) {
            int64_t at = int64_t(rng() % (cells.size() * 8 - 64));
            for (int rep = 0; rep < 1 + int(rng() % 3); rep++, at += 16)
                for (int k = 0; k < 16; k++) {
                    const uint8_t mask = uint8_t(0x80 >> ((at + k) & 7));
                    uint8_t &b = cells[size_t((at + k) >> 3)];
                    b = uint8_t((0x4489 >> (15 - k)) & 1 ? b | mask : b & ~mask);
                }
        }
        const int64_t total = int64_t(cells.size()) * 8;
        for (const auto &[from, to] : std::vector<std::pair<int64_t, int64_t>>{
                 {0, total}, {int64_t(rng() % 100), total - int64_t(rng() % 100)}, {-5, total + 40}, {37, 38}}) {
            EXPECT_EQ(mfm::countSyncWords(cells, from, to), plain(cells, from, to))
                << "round " << round << " cells [" << from << ", " << to << ")";
            // The same cells copied out 64 at a time, as the plain copy.
            std::vector<uint8_t> fast, slow(size_t((std::max<int64_t>(to - from, 0) + 7) / 8), 0);
            mfm::cellbits::copyOut(cells, from, std::max<int64_t>(to - from, 0), fast);
            for (int64_t i = 0; i < to - from; i++)
                if (from + i >= 0 && from + i < total && cellAt(cells, from + i))
                    slow[size_t(i >> 3)] |= uint8_t(0x80 >> (i & 7));
            EXPECT_EQ(fast, slow) << "round " << round << " cells [" << from << ", " << to << ")";
        }
    }
}
