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
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace fluxfiles;
using mfm::FluxError;
using mfm::FluxFile;
using mfm::FluxKind;
using mfm::FluxTrack;
using mfm::ForeignKind;

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
            {"sck= far too slow", [] { return kryofluxStream(KF, {0}, {.info = "sck=1e-300"}); }, "sck=1e-300 "},
            {"sck= 0", [] { return kryofluxStream(KF, {0}, {.info = "sck=0"}); }, "sck=0 "},
            {"sck= negative", [] { return kryofluxStream(KF, {0}, {.info = "sck=-24e6"}); }, "sck=-24e6 "},
            {"sck= infinite", [] { return kryofluxStream(KF, {0}, {.info = "sck=inf"}); }, "sck=inf "},
            {"sck= NaN", [] { return kryofluxStream(KF, {0}, {.info = "sck=nan"}); }, "sck=nan "},
            {"sck= far too fast", [] { return kryofluxStream(KF, {0}, {.info = "sck=1e300"}); }, "sck=1e300 "},
            {"sck= past a double", [] { return kryofluxStream(KF, {0}, {.info = "sck=1e999"}); }, "sck=1e999 "},
            {"ick= 0", [] { return kryofluxStream(KF, {0}, {.info = "a=1, ick=0"}); }, "ick=0 "},
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
        {dir, "a folder that holds no KryoFlux stream files"},
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

// A set is named by its folder too; stream files that are no regular files
// (a FIFO would block the reader for ever) and folders of several sets or
// of no stream are refused.
TEST(KryofluxReader, FoldersAndFilesThatAreNoStreams)
{
    const std::string dir = tempDir();
    const std::string good = dir + "/good", two = dir + "/two", odd = dir + "/odd", fifo = dir + "/fifo";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    for (const std::string &d : {good, two, fifo}) {
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        writeFile(d + "/track00.0.raw", kryofluxStream({100}, {0}));
        writeFile(d + "/track01.1.raw", kryofluxStream({101}, {0}));
    }
    ASSERT_EQ(mkdir((good + "/track02.0.raw").c_str(), 0755), 0); // a folder's name is no stream file
    writeFile(two + "/disk00.0.raw", kryofluxStream({1}, {0}));
    writeFile(odd + "/a00.0.raw", {'S', 'C', 'P', 0});
    ASSERT_EQ(mkfifo((fifo + "/track05.0.raw").c_str(), 0644), 0);

    EXPECT_EQ(mfm::folderFluxKind(good), FluxKind::kryoflux);
    EXPECT_EQ(mfm::folderFluxKind(dir), FluxKind::none);
    EXPECT_EQ(mfm::folderFluxKind(good + "/track00.0.raw"), FluxKind::none);
    const FluxFile set(good);
    EXPECT_EQ(set.path(), good);
    EXPECT_EQ(set.kind(), FluxKind::kryoflux);
    EXPECT_EQ(set.files(), (std::vector<std::string>{good + "/track00.0.raw", good + "/track01.1.raw"}));
    FluxTrack t;
    set.readTrack(1, t);
    EXPECT_EQ(t.intervals, Intervals{101});
    EXPECT_EQ(t.cylinder, 1);
    EXPECT_EQ(t.head, 1);

    const std::pair<std::string, std::string> refused[] = {
        {dir, dir + ": a folder that holds no KryoFlux stream files"},
        {two, two + ": holds 2 sets of KryoFlux stream files (diskcc.h.raw, trackcc.h.raw)"},
        {odd, odd + "/a00.0.raw: not a KryoFlux stream"},
        {fifo, fifo + "/track05.0.raw: a FIFO, not a regular file"},
        {fifo + "/track00.0.raw", fifo + "/track05.0.raw: a FIFO, not a regular file"},
    };
    for (const auto &[path, says] : refused) {
        try {
            FluxFile file(path);
            ADD_FAILURE() << path << " opened";
        } catch (const FluxError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(says, 0), 0u) << e.what();
        }
    }

    // A FIFO put in a stream file's place once the set is open is not read.
    ASSERT_EQ(unlink((good + "/track01.1.raw").c_str()), 0);
    ASSERT_EQ(mkfifo((good + "/track01.1.raw").c_str(), 0644), 0);
    EXPECT_THROW(set.readTrack(1, t), FluxError);
}

TEST(ForeignKindTest, NamesOtherFormatsByTheirMagic)
{
    using namespace std::string_view_literals;
    auto bytes = [](std::string_view text, size_t size = 64) {
        Bytes b(size, 0);
        std::copy(text.begin(), text.end(), b.begin());
        return b;
    };
    // A D88 header of a 2HD disk of `size` bytes, its first track after the table.
    auto d88 = [&](uint32_t size, uint8_t media = 0x20) {
        Bytes b = bytes("GAMES"sv, 0x2B0);
        b[0x1B] = media;
        put32(b, 0x1C, size);
        put32(b, 0x20, 0x2B0);
        return b;
    };
    Bytes raw(4096);
    for (size_t i = 0; i < raw.size(); i += 2)
        raw[i] = 0x92, raw[i + 1] = 0x54; // gap bytes' cells
    const struct {
        Bytes head;
        uint64_t size;
        ForeignKind kind;
    } cases[] = {
        {bytes("HXCPICFE"sv), 100000, ForeignKind::hfe},
        {bytes("HXCHFEV3"sv), 100000, ForeignKind::hfe},
        {bytes("CAPS\0\0\0\x0c"sv), 100000, ForeignKind::ipf},
        {bytes("A2R2\xff\n\r\n"sv), 100000, ForeignKind::a2r},
        {bytes("A2R3\xff\n\r\n"sv), 100000, ForeignKind::a2r},
        {bytes("EXTENDED CPC DSK File\r\nDisk-Info\r\n"sv), 194816, ForeignKind::edsk},
        {bytes("MV - CPCEMU Disk-File\r\nDisk-Info\r\n"sv), 194816, ForeignKind::dsk},
        {bytes("IMD 1.18: 22/03/2024 10:00:00\r\n\x1a"sv), 100000, ForeignKind::imageDisk},
        {bytes("\x0e\x0f\0\x09\0\x01\0\0\0\x4f"sv), 100000, ForeignKind::msa},
        {bytes("TD\0\x2a\x15\0\x01\0\0\x02"sv), 100000, ForeignKind::teledisk},
        {bytes("td\0\x2a\x0a\0\x01\0\0\x01"sv), 100000, ForeignKind::teledisk},
        {d88(1261568 + 0x2B0), 1261568 + 0x2B0, ForeignKind::d88},
        {bytes("PK\3\4"sv), 100000, ForeignKind::zip},
        {bytes("\xeb"sv), 737280, ForeignKind::sectorImage},
        // Near misses: a raw capture, and headers that are not sound.
        {raw, 5 << 20, ForeignKind::unknown},
        {bytes("\x0e\x0f\0\x09\0\x02\0\0\0\x4f"sv), 100000, ForeignKind::unknown}, // three sides
        {bytes("\x0e\x0f\0\x09\0\x01\0\x50\0\x4f"sv), 100000, ForeignKind::unknown}, // first past last
        {bytes("TD\0\x2a\x30\0\x01\0\0\x02"sv), 100000, ForeignKind::unknown},         // version 4.8
        {bytes("TD\0\x2a\x15\0\x01\0\0\x00"sv), 100000, ForeignKind::unknown},         // no side
        {d88(100000), 100001, ForeignKind::unknown},
        {d88(100000, 0x25), 100000, ForeignKind::unknown},
        {Bytes(0x2B0, 0), 0x2B0, ForeignKind::unknown},
        {bytes("CAP"sv), 100000, ForeignKind::unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mfm::foreignKind(c.head, c.size), c.kind) << std::string(c.head.begin(), c.head.begin() + 8);
    // Each kind has its own phrase.
    std::set<std::string> names;
    for (int k = int(ForeignKind::sectorImage); k <= int(ForeignKind::teledisk); k++)
        EXPECT_TRUE(names.insert(mfm::foreignName(ForeignKind(k))).second) << k;
    EXPECT_EQ(names.count(""), 0u);
    EXPECT_STREQ(mfm::foreignName(ForeignKind::unknown), "");
}
