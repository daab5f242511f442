// make_scp: writes synthetic flux of a whole formatted disk, for
// whole-process timings and the synthetic evaluation sets: every track's
// cells made by the tests' flux builder (IBM MFM) or the library's AmigaDOS
// or FM encoder, with the faults of real media, three revolutions per track
// by default.
//   make_scp [OPTIONS] OUT [CYLINDERS [SECTORS [REVOLUTIONS [JITTER [SPEED [WOBBLE [PEAKSHIFT]]]]]]]
// Options:
//   --amiga             AmigaDOS tracks (11 sectors at 250 kbit/s, 22 at 500),
//                       each track turned by its own amount against the index
//   --fm LAYOUT         FM tracks of that layout (ibm.3740, acorn.dfs.ss,
//                       acorn.dfs.ds, trs80.sssd), written as cells of MFM at
//                       twice the FM rate (every FM cell two cells), each track
//                       from the index as a controller formats it (a few
//                       cells late); SECTORS is the layout's (the argument is
//                       ignored), CYLINDERS its own by default, the heads the
//                       layout's. Acorn DFS writes head 0 in the IDs of both
//                       sides. JITTER and PEAKSHIFT are in FM cells.
//   --adf FILE          the sectors' bytes from this image (plain order:
//                       cylinder, head, sector)
//   --kryoflux          OUT is a folder: KryoFlux stream files trackCC.H.raw
//   --no-index          KryoFlux streams without index pulses
//   --damage C.H:R:FROM:COUNT  random flux over cells FROM .. FROM + COUNT of
//                       revolution R of track C.H (cells of the stream from the
//                       revolution's start); may be given again
//   --seed N            added to every track's noise seed
// The noise is in fractions of a cell (see FluxNoise); by default 0.04
// jitter, no speed offset, 0.01 wobble and 0.05 peak shift. IBM disks of 18
// sectors (the default) are written at 500 kbit/s, fewer at 250.
#include "flux_builder.h"
#include "flux_files.h"
#include "helpers.h"
#include "mfm/amiga.h"
#include "mfm/fm.h"
#include "mfm/layout.h"
#include "mfm/pll.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

struct Damage {
    int cylinder, head, revolution;
    int64_t from, count;
};

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *out = fopen(path.c_str(), "wb");
    return out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && fclose(out) == 0;
}

std::vector<uint8_t> readAll(const std::string &path)
{
    std::vector<uint8_t> bytes;
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return bytes;
    uint8_t buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(in);
    return bytes;
}

// `cells` cells of `straight` turned by `turn`: cell c is straight's c + turn.
std::vector<uint8_t> turned(const std::vector<uint8_t> &straight, int64_t cells, int64_t turn)
{
    std::vector<uint8_t> out(straight.size(), 0);
    for (int64_t c = 0; c < cells; c++) {
        const int64_t from = (c + turn) % cells;
        if ((straight[size_t(from >> 3)] >> (7 - (from & 7))) & 1)
            out[size_t(c >> 3)] |= uint8_t(0x80 >> (c & 7));
    }
    return out;
}

// Sector `index` (counted in sectors, `bytes` each) of the image, else
// sectorData's content for it.
std::vector<uint8_t> sectorBytes(const std::vector<uint8_t> &image, int64_t index, int bytes, int c, int h, int s)
{
    const size_t at = size_t(index) * size_t(bytes);
    if (at + size_t(bytes) <= image.size())
        return {image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at) + bytes};
    return sectorData(c, h, s, size_t(bytes));
}

// One revolution of an AmigaDOS track, turned by `turn` cells.
std::vector<uint8_t> amigaTrack(int cylinder, int head, int sectors, int64_t cells, const std::vector<uint8_t> &adf,
                                int64_t turn)
{
    const int track = cylinder * 2 + head;
    std::vector<uint8_t> data;
    for (int s = 0; s < sectors; s++) {
        const auto made = sectorBytes(adf, int64_t(track) * sectors + s, 512, cylinder, head, s);
        data.insert(data.end(), made.begin(), made.end());
    }
    return turned(mfm::amiga::encodeTrack(track, data, sectors, cells), cells, turn);
}

// One revolution of an FM track of layout `l` at scale 2, turned by `turn` cells.
std::vector<uint8_t> fmTrack(const mfm::Layout &l, int cylinder, int head, const std::vector<uint8_t> &image,
                             int64_t turn)
{
    const mfm::Geometry &g = l.geometry;
    std::vector<std::vector<uint8_t>> data;
    std::vector<mfm::fm::Sector> sectors;
    for (int s = 0; s < g.sectors; s++)
        data.push_back(sectorBytes(image, g.index(cylinder, head, g.first + s), g.bytes, cylinder, head, g.first + s));
    for (int s = 0; s < g.sectors; s++)
        sectors.push_back({uint8_t(cylinder), uint8_t(l.headZeroBothSides ? 0 : head), uint8_t(g.first + s),
                           uint8_t(std::countr_zero(unsigned(g.bytes / 128))), data[size_t(s)]});
    const int bytes = l.revolutionBytes();
    return turned(mfm::fm::encodeTrack(sectors, mfm::fm::gapsFor(g.sectors, g.bytes, bytes), bytes, 2),
                  int64_t(bytes) * mfm::fm::CELLS_PER_BYTE * 2, turn);
}
}

int main(int argc, char **argv)
{
    bool amiga = false, kryoflux = false, index = true;
    std::string adfPath;
    const mfm::Layout *fm = nullptr;
    std::vector<Damage> damage;
    uint64_t seed = 0;
    int a = 1;
    for (; a < argc && strncmp(argv[a], "--", 2) == 0; a++) {
        const std::string opt = argv[a];
        if (opt == "--amiga")
            amiga = true;
        else if (opt == "--fm" && a + 1 < argc) {
            fm = mfm::findLayout(argv[++a]);
            if (!fm || fm->geometry.family != mfm::Family::fm) {
                fprintf(stderr, "make_scp: %s is no FM layout\n", argv[a]);
                return 2;
            }
        } else if (opt == "--kryoflux")
            kryoflux = true;
        else if (opt == "--no-index")
            index = false;
        else if (opt == "--adf" && a + 1 < argc)
            adfPath = argv[++a];
        else if (opt == "--seed" && a + 1 < argc)
            seed = strtoull(argv[++a], nullptr, 10);
        else if (opt == "--damage" && a + 1 < argc) {
            Damage d{};
            long long from = 0, count = 0;
            if (sscanf(argv[++a], "%d.%d:%d:%lld:%lld", &d.cylinder, &d.head, &d.revolution, &from, &count) != 5) {
                fprintf(stderr, "make_scp: bad --damage %s\n", argv[a]);
                return 2;
            }
            d.from = from, d.count = count;
            damage.push_back(d);
        } else {
            fprintf(stderr, "make_scp: unknown option %s\n", argv[a]);
            return 2;
        }
    }
    if (a >= argc) {
        fprintf(stderr, "usage: make_scp [--amiga | --fm LAYOUT] [--adf FILE] [--kryoflux] [--no-index] "
                        "[--damage C.H:R:FROM:COUNT] [--seed N]\n"
                        "       OUT [CYLINDERS [SECTORS [REVOLUTIONS [JITTER [SPEED [WOBBLE [PEAKSHIFT]]]]]]]\n");
        return 2;
    }
    const std::string out = argv[a];
    auto arg = [&](int i) { return a + i < argc ? argv[a + i] : nullptr; };
    const int cylinders = arg(1) ? atoi(arg(1)) : fm ? fm->geometry.cylinders : 80;
    const int sectors = arg(2) ? atoi(arg(2)) : amiga ? 11 : 18;
    const int revolutions = arg(3) ? atoi(arg(3)) : 3;
    auto noiseArg = [&](int i, double dflt) { return arg(i) ? atof(arg(i)) : dflt; };
    // An FM cell is two of the stream's.
    const double fmCell = fm ? 2 : 1;
    const double jitter = noiseArg(4, 0.04) * fmCell, speed = noiseArg(5, 0), wobble = noiseArg(6, 0.01),
                 peakShift = noiseArg(7, 0.05) * fmCell;
    // The MFM rate of the stream's cells: FM's doubled.
    const int rate = fm                            ? 2 * 1000 * fm->rateKbps
                     : sectors > (amiga ? 11 : 10) ? mfm::RATE_500K
                                                   : mfm::RATE_250K;
    const std::vector<uint8_t> adf = adfPath.empty() ? std::vector<uint8_t>() : readAll(adfPath);
    const int64_t rev = fm ? int64_t(fm->revolutionBytes()) * mfm::fm::CELLS_PER_BYTE * 2 : revolutionCells(rate);
    const int heads = fm ? fm->geometry.heads : 2;
    if (kryoflux)
        mkdir(out.c_str(), 0777);
    std::vector<fluxfiles::ScpTrack> tracks;
    for (int c = 0; c < cylinders; c++)
        for (int h = 0; h < heads; h++) {
            std::vector<uint8_t> cells;
            // An AmigaDOS track starts anywhere; an FM one at the index, a
            // few cells late.
            const int64_t turn = fm ? rev - (c * 2 + h) % 16 : (int64_t(c * 2 + h) * 7919 * 13) % rev;
            if (amiga || fm) {
                const auto one = fm ? fmTrack(*fm, c, h, adf, turn) : amigaTrack(c, h, sectors, rev, adf, turn);
                for (int r = 0; r < revolutions; r++)
                    cells.insert(cells.end(), one.begin(), one.end());
            } else {
                cells = trackCells(c, h, sectors, rate, revolutions);
            }
            const double sampleHz = kryoflux ? 24027428.5714285 : 40e6;
            const double cellTicks = sampleHz * mfm::cellSeconds(rate);
            FluxNoise noise;
            noise.jitter = jitter, noise.speed = speed, noise.wobble = wobble, noise.peakShift = peakShift;
            noise.revolutionCells = rev, noise.seed = uint64_t(c * 2 + h + 1) + seed * 1000003;
            for (const Damage &d : damage)
                if (d.cylinder == c && d.head == h)
                    noise.damage.push_back({int64_t(d.revolution) * rev + d.from, d.count});
            std::vector<int64_t> at;
            const auto flux = buildFlux(cells, revolutions * rev, cellTicks, noise, &at);
            // The random transitions of a damaged stretch lie where the one before them does.
            for (size_t i = 0; i < at.size(); i++)
                if (at[i] < 0)
                    at[i] = i ? at[i - 1] : 0;
            if (kryoflux) {
                // Index pulses at every revolution's start, and one after the last.
                std::vector<size_t> pulses;
                for (int r = 0; index && r <= revolutions; r++)
                    pulses.push_back(size_t(std::lower_bound(at.begin(), at.end(), int64_t(r) * rev) - at.begin()));
                char name[64];
                snprintf(name, sizeof name, "/track%02d.%d.raw", c, h);
                const fluxfiles::Intervals intervals(flux.begin(), flux.end());
                if (!writeBytes(out + name, fluxfiles::kryofluxStream(intervals, pulses))) {
                    fprintf(stderr, "make_scp: cannot write %s%s\n", out.c_str(), name);
                    return 2;
                }
                continue;
            }
            tracks.push_back(scpTrack(c * 2 + h, flux, at, rev, revolutions));
        }
    if (!kryoflux && !writeBytes(out, fluxfiles::scpImage(tracks))) {
        fprintf(stderr, "make_scp: cannot write %s\n", out.c_str());
        return 2;
    }
    return 0;
}
