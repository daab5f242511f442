// The SCP and KryoFlux readers: round trips through the tests' writers, the
// real 360 KB capture in both formats and hostile files.
#include "flux_files.h"
#include "helpers.h"
#include "mfm/flux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

using namespace fluxfiles;
using mfm::FluxError;
using mfm::FluxFile;
using mfm::FluxKind;
using mfm::FluxTrack;

namespace {

Intervals concat(const std::vector<Intervals> &revs)
{
    Intervals all;
    for (const Intervals &r : revs)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

// Index pulses at revolution starts (cued) or ends, one after the last.
std::vector<size_t> pulses(const std::vector<Intervals> &revs, bool cued)
{
    std::vector<size_t> index;
    size_t at = 0;
    for (size_t r = 0; r < revs.size() && !revs[r].empty(); r++) {
        if (cued || r > 0)
            index.push_back(at);
        at += revs[r].size();
    }
    index.push_back(at);
    return index;
}

const Intervals A{160, 240, 320, 161, 239}, B{321, 159, 241, 330}, C{170, 250, 80};
const Intervals LONG{70000, 65535, 200005, 1, 65537};

struct ScpCase {
    const char *name;
    ScpOptions options;
    std::vector<ScpTrack> tracks;
    std::vector<FluxFile::TrackRef> where;  // per track, as read
    bool cued = true;
};

}

TEST(ScpReader, RoundTrips)
{
    const ScpOptions nonCued{.indexCued = false};
    const std::vector<ScpCase> cases = {
        {"double-sided", {}, {{0, {A, B, C}}, {1, {B, C, A}}, {5, {C, A, B}}}, {{0, 0}, {0, 1}, {2, 1}}},
        {"not index-cued: the first revolution is partial", nonCued, {{2, {A, B, C}}}, {{1, 0}}, false},
        {"one head, tracks on its numbers", {.heads = 1}, {{0, {A}}, {2, {B}}, {4, {C}}}, {{0, 0}, {1, 0}, {2, 0}}},
        {"one head, numbered consecutively", {.heads = 2}, {{0, {A}}, {1, {B}}, {2, {C}}}, {{0, 1}, {1, 1}, {2, 1}}},
        {"0 adds 65,536", {}, {{0, {LONG, A}}}, {{0, 0}}},
        {"trailing empty revolutions", {}, {{3, {A, B, {}, {}}}}, {{1, 1}}},
        {"short table", {.tableEntries = 4}, {{0, {A, B}}, {3, {C, A}}}, {{0, 0}, {1, 1}}},
        {"resolution 50 ns", {.resolution = 1}, {{0, {B}}}, {{0, 0}}},
    };
    for (const ScpCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = scpImage(c.tracks, c.options);
        std::vector<int> numbers;
        for (const ScpTrack &t : c.tracks)
            numbers.push_back(t.number);
        std::sort(numbers.begin(), numbers.end());
        EXPECT_EQ(mfm::scpTrackNumbers(image, "x.scp"), numbers);
        for (size_t i = 0; i < c.tracks.size(); i++) {
            FluxTrack t;
            ASSERT_TRUE(mfm::readScpTrack(image, "x.scp", c.tracks[i].number, t));
            EXPECT_EQ(t.intervals, concat(c.tracks[i].revolutions));
            EXPECT_EQ(t.index, pulses(c.tracks[i].revolutions, c.cued));
            EXPECT_EQ(t.cylinder, c.where[i].cylinder);
            EXPECT_EQ(t.head, c.where[i].head);
            EXPECT_EQ(t.sampleHz, mfm::SCP_BASE_HZ / (c.options.resolution + 1));
        }
        FluxTrack t;
        EXPECT_FALSE(mfm::readScpTrack(image, "x.scp", 7, t));
    }
}

TEST(ScpReader, FileListsTracksInOrderAndWarnsOfAWrongChecksum)
{
    const std::string dir = tempDir();
    for (const bool wrong : {false, true}) {
        const std::vector<ScpTrack> tracks = {{4, {A}}, {1, {B}}, {0, {C}}};
        writeFile(dir + "/d.scp", scpImage(tracks, {.wrongChecksum = wrong}));
        const FluxFile file(dir + "/d.scp");
        EXPECT_EQ(file.kind(), FluxKind::scp);
        EXPECT_EQ(file.warnings().size(), wrong ? 1u : 0u);
        ASSERT_EQ(file.tracks().size(), 3u);
        const int cylinders[] = {0, 0, 2}, heads[] = {0, 1, 0};
        const Intervals *data[] = {&C, &B, &A};
        for (size_t i = 0; i < 3; i++) {
            FluxTrack t;
            file.readTrack(i, t);
            EXPECT_EQ(file.tracks()[i].cylinder, cylinders[i]);
            EXPECT_EQ(file.tracks()[i].head, heads[i]);
            EXPECT_EQ(t.intervals, *data[i]);
        }
    }
}

namespace {

// Every block type: Flux1 (0x0E..0xFF), Flux2 (below 0x0E and to 0x7FF),
// Flux3, Ovl16 before each kind, a 0 after an Ovl16.
const Intervals KF = {0x0E, 0xFF, 0x0D, 0x100, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x2ABCD, 0x10020, 0x3FF05, 5, 77};

struct KryofluxCase {
    const char *name;
    KryofluxOptions options;
    std::vector<size_t> index;
    double sampleHz = mfm::KRYOFLUX_SAMPLE_HZ;
};

}

TEST(KryofluxReader, RoundTrips)
{
    const std::vector<KryofluxCase> cases = {
        {"shortest blocks, no sck=", {}, {0, 4, 8, KF.size()}},
        {"Flux3, Nops, stream information blocks, sck=", {.sck = 48e6, .flux3 = true, .nops = true, .infoEvery = 3},
         {0, 5, 9, 12},
         48e6},
        {"partial first revolution; pulses inside long intervals", {.nops = true}, {2, 8, 10}},
        {"index blocks written late", {.infoEvery = 2, .indexDelay = 3}, {0, 1, 7, 9, KF.size()}},
    };
    for (const KryofluxCase &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stream = kryofluxStream(KF, c.index, c.options);
        stream.insert(stream.end(), {0x20, 0x30}); // after the end-of-file block: not flux
        EXPECT_EQ(mfm::fluxKind(stream), FluxKind::kryoflux);
        FluxTrack t;
        mfm::readKryofluxStream(stream, "x.raw", t);
        EXPECT_EQ(t.intervals, KF);
        EXPECT_EQ(t.index, c.index);
        EXPECT_DOUBLE_EQ(t.sampleHz, c.sampleHz);
    }
}

TEST(KryofluxReader, AnyNameFindsTheWholeSet)
{
    const std::string dir = tempDir();
    const std::vector<std::pair<std::string, FluxFile::TrackRef>> set = {
        {"disk00.0.raw", {0, 0}}, {"disk00.1.raw", {0, 1}}, {"disk01.0.raw", {1, 0}}, {"disk12.1.raw", {12, 1}}};
    for (size_t i = 0; i < set.size(); i++)
        writeFile(dir + "/" + set[i].first, kryofluxStream({uint32_t(100 + i)}, {0}));
    for (const char *other : {"other00.0.raw", "disk00.0.txt", "disk3.0.raw", "disk01.2.raw"})
        writeFile(dir + "/" + other, kryofluxStream({1}, {0}));
    for (const auto &[name, ref] : set) {
        const FluxFile file(dir + "/" + name);
        ASSERT_EQ(file.tracks().size(), set.size()) << name;
        for (size_t i = 0; i < set.size(); i++) {
            FluxTrack t;
            file.readTrack(i, t);
            EXPECT_EQ(t.intervals, Intervals{uint32_t(100 + i)});
            EXPECT_EQ(t.cylinder, set[i].second.cylinder);
            EXPECT_EQ(t.head, set[i].second.head);
        }
    }
}

TEST(FluxKindTest, JudgesByContent)
{
    const struct {
        Bytes head;
        FluxKind kind;
    } cases[] = {
        {{'S', 'C', 'P', 0}, FluxKind::scp},
        {kryofluxStream({100}, {0}), FluxKind::kryoflux},
        {{0x0D, 0x02, 12, 0}, FluxKind::kryoflux},
        {{0x0D, 0x04, 3, 0, 'a', 0x01, 0}, FluxKind::none}, // information text that is not text
        {{0x0D, 0x09, 8, 0}, FluxKind::none},
        {{0x4E, 0x4E, 0x4E, 0x4E}, FluxKind::none},
        {{}, FluxKind::none},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mfm::fluxKind(c.head), c.kind);
}

// The real capture: the SCP image was converted from the stream files, so
// both hold the same 80 tracks and the same three revolutions, transition
// for transition within one SCP tick.
TEST(FluxFixture, ScpAndKryofluxAgree)
{
    const FluxFile scp(FLUX_FIXTURE_DIR "/sector_test_360k.scp");
    const FluxFile kf(FLUX_FIXTURE_DIR "/kryoflux/track17.1.raw");
    EXPECT_TRUE(scp.warnings().empty());
    ASSERT_EQ(scp.tracks().size(), 80u);
    ASSERT_EQ(kf.tracks().size(), 80u);
    FluxTrack s, k;
    for (size_t i = 0; i < 80; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(scp.tracks()[i].cylinder, int(i / 2));
        EXPECT_EQ(kf.tracks()[i].cylinder, int(i / 2));
        EXPECT_EQ(scp.tracks()[i].head, kf.tracks()[i].head);
        scp.readTrack(i, s);
        kf.readTrack(i, k);
        ASSERT_EQ(s.index.size(), 4u);
        ASSERT_EQ(k.index.size(), 4u);
        EXPECT_EQ(s.index.front(), 0u);
        EXPECT_EQ(s.index.back(), s.intervals.size());
        EXPECT_NEAR(k.sampleHz, mfm::KRYOFLUX_SAMPLE_HZ, 1e-3);
        for (size_t r = 0; r < 4; r++)
            EXPECT_EQ(s.index[r], k.index[r] - k.index[0]);
        ASSERT_LE(k.index[0] + s.intervals.size(), k.intervals.size());
        uint64_t sTicks = 0, kTicks = 0;
        double worst = 0;
        for (size_t j = 0; j < s.intervals.size(); j++) {
            sTicks += s.intervals[j];
            kTicks += k.intervals[k.index[0] + j];
            worst = std::max(worst, std::fabs(double(sTicks) / s.sampleHz - double(kTicks) / k.sampleHz));
        }
        EXPECT_LE(worst, 1 / mfm::SCP_BASE_HZ);
    }
}

namespace {

struct BadCase {
    const char *name;
    std::function<Bytes()> bytes;
    const char *says;  // part of the message
};

std::string errorOf(const Bytes &b, bool scp)
{
    try {
        FluxTrack t;
        if (scp)
            mfm::readScpTrack(b, "bad.file", 0, t);
        else
            mfm::readKryofluxStream(b, "bad.file", t);
    } catch (const FluxError &e) {
        return e.what();
    }
    return "(no error)";
}

void expectErrors(const std::vector<BadCase> &cases, bool scp)
{
    for (const BadCase &c : cases) {
        const std::string message = errorOf(c.bytes(), scp);
        EXPECT_EQ(message.rfind("bad.file: ", 0), 0u) << c.name << ": " << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.name << ": " << message;
    }
}

Bytes scp3() { return scpImage({{0, {A, B, C}}, {1, {A, B, C}}}); }

Bytes cut(Bytes b, size_t size)
{
    b.resize(size);
    return b;
}

Bytes patched(Bytes b, size_t at, uint32_t v)
{
    put32(b, at, v);
    return b;
}

}

TEST(FluxBadInput, ScpImages)
{
    expectErrors(
        {
            {"truncated header", [] { return cut(scp3(), 10); }, "too short"},
            {"truncated track header", [] { return cut(scp3(), 700); }, "past the end"},
            {"not SCP", [] { return patched(scp3(), 0, 0); }, "not an SCP image"},
            {"offset past the end", [] { return patched(scp3(), scpTableEntry(0), 1 << 30); }, "past the end"},
            {"table pointing into itself", [] { return patched(scp3(), scpTableEntry(0), SCP_TABLE); },
             "points into the track table"},
            {"count past the end",
             [] {
                 const Bytes b = scp3();
                 return patched(b, scpRevolutionEntry(b, 0, 1) + 4, 0xFFFFFFFF);
             },
             "revolution 1 data runs past the end"},
            {"data inside the track header",
             [] {
                 const Bytes b = scp3();
                 return patched(b, scpRevolutionEntry(b, 0, 2) + 8, 4);
             },
             "points into the track header"},
            {"an empty revolution before a full one", [] { return scpImage({{0, {A, {}, C}}}); }, "holds no flux"},
            {"no TRK", [] { return patched(scp3(), SCP_TABLE + 4 * 168, 0); }, "does not begin with \"TRK\""},
            {"zero revolutions",
             [] {
                 Bytes b = scp3();
                 b[5] = 0;
                 return b;
             },
             "0 revolutions"},
        },
        true);
}

TEST(FluxBadInput, KryofluxStreams)
{
    expectErrors(
        {
            {"OOB size past the end", [] { return kryofluxStream(KF, {0}, {.oobPastEnd = true}); },
             "past the end of the file"},
            {"nothing but Ovl16", [] { return Bytes(50000, 0x0B); }, "no flux transitions"},
            {"wrong stream position", [] { return kryofluxStream(KF, {0}, {.infoEvery = 4, .positionSkew = 1}); },
             "gives stream position 7, but the stream is at position 6"},
            {"truncated Flux3", [] { return Bytes{0x0D, 0x02, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 1}; },
             "ends inside a Flux3 block"},
            {"an interval past 32 bits", [] { return Bytes(65536, 0x0B); }, "longer than 2^32"},
            {"sck= not a number", [] { return kryofluxStream(KF, {0}, {.info = "sck=fast"}); }, "sck=fast"},
        },
        false);
}

TEST(FluxBadInput, FilesThatCannotBeOpened)
{
    const std::string dir = tempDir();
    writeFile(dir + "/text.scp", Bytes{'h', 'e', 'l', 'l', 'o'});
    writeFile(dir + "/stream.raw", kryofluxStream({100}, {0}));
    const std::pair<std::string, const char *> cases[] = {
        {dir + "/missing.scp", "No such file"},
        {dir, "Is a directory"},
        {dir + "/text.scp", "neither an SCP image nor a KryoFlux stream"},
        {dir + "/stream.raw", "cc.h.raw"},
    };
    for (const auto &[path, says] : cases) {
        try {
            FluxFile file(path);
            ADD_FAILURE() << path << " opened";
        } catch (const FluxError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    }
}
