// The disk families and the table of named layouts.
#include "mfm/layout.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace mfm {

namespace {

constexpr Family IBM = Family::ibm, AMIGA = Family::amiga, FM = Family::fm;

// name, {cylinders, heads, sectors, bytes, first, family}, rate, rpm, notes,
// other cylinders, IDs of both sides naming head 0
constexpr Layout LAYOUTS[] = {
    {"ibm.160", {40, 1, 8, 512, 1, IBM}, 250, 300, "PC 5.25\" 160 KB"},
    {"ibm.180", {40, 1, 9, 512, 1, IBM}, 250, 300, "PC 5.25\" 180 KB"},
    {"ibm.320", {40, 2, 8, 512, 1, IBM}, 250, 300, "PC 5.25\" 320 KB"},
    {"ibm.360", {40, 2, 9, 512, 1, IBM}, 250, 300, "PC 5.25\" 360 KB"},
    {"ibm.720", {80, 2, 9, 512, 1, IBM}, 250, 300, "PC 3.5\" 720 KB, MSX 2DD"},
    {"ibm.800", {80, 2, 10, 512, 1, IBM}, 250, 300, "800 KB"},
    {"ibm.1200", {80, 2, 15, 512, 1, IBM}, 500, 360, "PC 5.25\" HD"},
    {"ibm.1440", {80, 2, 18, 512, 1, IBM}, 500, 300, "PC 3.5\" HD"},
    {"ibm.dmf", {80, 2, 21, 512, 1, IBM}, 500, 300, "distribution disks, 1,680 KB"},
    {"ibm.2880", {80, 2, 36, 512, 1, IBM}, 1000, 300, "PC 3.5\" ED"},
    {"atarist.360", {80, 1, 9, 512, 1, IBM}, 250, 300, "Atari ST single-sided"},
    {"atarist.400", {80, 1, 10, 512, 1, IBM}, 250, 300, "Atari ST single-sided"},
    {"atarist.720", {80, 2, 9, 512, 1, IBM}, 250, 300, "Atari ST double-sided"},
    {"atarist.800", {80, 2, 10, 512, 1, IBM}, 250, 300, "Atari ST double-sided"},
    {"atarist.880", {80, 2, 11, 512, 1, IBM}, 250, 300, "Atari ST, tight gaps"},
    {"pc98.2hd", {77, 2, 8, 1024, 1, IBM}, 500, 360, "NEC PC-98 1.2 MB"},
    {"pc98.2dd", {80, 2, 8, 512, 1, IBM}, 250, 300, "NEC PC-98 640 KB"},
    {"acorn.adfs.640", {80, 2, 16, 256, 0, IBM}, 250, 300, "Acorn ADFS L"},
    {"acorn.adfs.800", {80, 2, 5, 1024, 0, IBM}, 250, 300, "Acorn ADFS D/E"},
    {"amstrad.data", {40, 1, 9, 512, 0xC1, IBM}, 250, 300, "Amstrad CPC data format"},
    {"amstrad.system", {40, 1, 9, 512, 0x41, IBM}, 250, 300, "Amstrad CPC system format"},
    {"amiga.amigados", {80, 2, 11, 512, 0, AMIGA}, 250, 300, "Amiga DD, 880 KB (.adf)"},
    {"amiga.amigados_hd", {80, 2, 22, 512, 0, AMIGA}, 500, 300, "Amiga HD, 1.76 MB (.adf)"},
    {"ibm.3740", {77, 1, 26, 128, 1, FM}, 250, 360, "8\" single density, CP/M, DEC RX01"},
    {"acorn.dfs.ss", {80, 1, 10, 256, 0, FM}, 125, 300, "BBC Micro DFS (.ssd); 40 cylinders too", 40, true},
    {"acorn.dfs.ds", {80, 2, 10, 256, 0, FM}, 125, 300, "BBC Micro DFS (.dsd); 40 cylinders too", 40, true},
    {"trs80.sssd", {35, 1, 10, 256, 0, FM}, 125, 300, "TRS-80 Model I single density; 40 too", 40},
};

}

bool sameShape(const Geometry &a, const Geometry &b)
{
    return a.family == b.family && a.heads == b.heads && a.sectors == b.sectors && a.bytes == b.bytes &&
           a.first == b.first;
}

const char *familyName(Family f)
{
    return f == Family::amiga ? "amiga" : f == Family::fm ? "fm" : "ibm";
}

const char *familyTitle(Family f)
{
    return f == Family::amiga ? "AmigaDOS" : f == Family::fm ? "FM" : "IBM MFM";
}

std::span<const Layout> layouts() { return LAYOUTS; }

const Layout *findLayout(std::string_view name)
{
    for (const Layout &l : LAYOUTS)
        if (name == l.name)
            return &l;
    return nullptr;
}

const Layout *closestLayout(const Geometry &g, bool atari)
{
    const Layout *best = nullptr;
    int bestScore = 0;
    for (const Layout &l : LAYOUTS) {
        if (!sameShape(l.geometry, g))
            continue;
        const bool isAtari = std::string_view(l.name).starts_with("atarist.");
        int distance = std::abs(l.geometry.cylinders - g.cylinders);
        if (l.otherCylinders)
            distance = std::min(distance, std::abs(l.otherCylinders - g.cylinders));
        const int score = distance * 2 + (isAtari != atari);
        if (!best || score < bestScore)
            best = &l, bestScore = score;
    }
    return best;
}

std::string layoutTable()
{
    std::string text = "name                family  cylinders heads sectors bytes first  kbit/s  rpm  notes\n";
    for (const Layout &l : LAYOUTS) {
        const Geometry &g = l.geometry;
        char first[8], line[160];
        snprintf(first, sizeof first, g.first > 9 ? "0x%X" : "%d", unsigned(g.first));
        snprintf(line, sizeof line, "%-19s %-7s %9d %5d %7d %5d %5s %7d %4d  %s\n", l.name, familyName(g.family),
                 g.cylinders, g.heads, g.sectors, g.bytes, first, l.rateKbps, l.rpm, l.notes);
        text += line;
    }
    return text;
}

}
