// Views of a recovery: text map, summary, JSON report and SVG picture.
#include "mfm/sectormap.h"
#include "mfm/fluxcells.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace mfm {

namespace {

constexpr int GRID_COLUMNS = 72;    // cylinders in one block of the text map
constexpr int GRID_LABEL = 5;       // "%3d  " before each row
constexpr size_t OUTSIDE_LISTED = 8;    // sectors named on the line of those outside the layout

struct StatusStyle {
    SectorStatus status;
    char mark;          // text map
    const char *colour; // picture
    const char *label;  // legend
};
constexpr StatusStyle STYLES[] = {
    {SectorStatus::good, '.', "#3fa34d", "good"},
    {SectorStatus::crcError, 'C', "#f0a020", "crc error"},
    {SectorStatus::missing, 'X', "#d63a2f", "missing"},
    {SectorStatus::conflict, '!', "#7b3fb5", "conflict"},
    {SectorStatus::notCaptured, '?', "#b8b8b8", "not captured"},
};

// Dots on sectors with a deleted-data mark or bytes voted from bad reads.
constexpr const char *DELETED_COLOUR = "#111111";
constexpr const char *VOTED_COLOUR = "#ffffff";
constexpr double MARK_RADIUS = 0.3;     // of a ring's width
constexpr double MAX_MARK = 4;

const StatusStyle &style(SectorStatus s)
{
    for (const StatusStyle &st : STYLES)
        if (st.status == s)
            return st;
    return STYLES[0];
}

const char *sourceName(GeometrySource s)
{
    switch (s) {
    case GeometrySource::given:
        return "given";
    case GeometrySource::bootSector:
        return "boot-sector";
    case GeometrySource::format:
        return "format";
    case GeometrySource::ids:
        break;
    }
    return "ids";
}

template <class... A> std::string format(const char *fmt, A... args)
{
    char text[256];
    const int n = snprintf(text, sizeof text, fmt, args...);
    return std::string(text, size_t(std::max(0, std::min(n, int(sizeof text) - 1))));
}

const RecoveredSector &at(const Recovery &rec, int cylinder, int head, int sector)
{
    return rec.sectors[size_t(rec.geometry.index(cylinder, head, sector))];
}

}

namespace {

std::string layoutName(const Recovery &rec) { return rec.layout ? rec.layout->name : "custom"; }

// "1 head", "2 heads" ("1 copy", "2 copies" with the plural given).
std::string count(int64_t n, const char *one, const char *many = nullptr)
{
    return n == 1 ? format("1 %s", one) : many ? format("%lld %s", (long long)n, many) : format("%lld %ss", (long long)n, one);
}

// "a-b", or "a" when they are one.
std::string span(int a, int b) { return a == b ? format("%d", a) : format("%d-%d", a, b); }

// Which good sectors the image leaves out, in a few words: "sector 0 of
// every track", "cylinders 40-79", "head 1", "sectors 19-21", else the
// first of them (c/h/s).
std::string leftOutText(const Recovery &rec)
{
    const Geometry &g = rec.geometry;
    const auto &l = rec.leftOut;
    if (l.empty())
        return "";
    auto all = [&](auto pred) { return std::all_of(l.begin(), l.end(), pred); };
    int lowC = 256, highC = 0, lowS = 256, highS = 0;
    for (const Recovery::LeftOut &x : l) {
        lowC = std::min(lowC, x.cylinder), highC = std::max(highC, x.cylinder);
        lowS = std::min(lowS, x.sector), highS = std::max(highS, x.sector);
    }
    if (all([&](const auto &x) { return sectorFamily(x.family) != sectorFamily(g.family); }))
        return format("%s sectors", familyTitle(l.front().family));
    if (lowS == highS && all([&](const auto &x) { return !g.holdsSector(x.sector); })) {
        const bool every = int64_t(l.size()) == int64_t(g.cylinders) * g.heads;
        return format("sector %d of ", lowS) + (every ? "every track" : count(int64_t(l.size()), "track"));
    }
    if (all([&](const auto &x) { return x.cylinder >= g.cylinders; }))
        return "cylinders " + span(lowC, highC);
    if (all([&](const auto &x) { return x.head >= g.heads; }))
        return "head 1";
    if (all([&](const auto &x) { return !g.holdsSector(x.sector); }))
        return "sectors " + span(lowS, highS);
    if (all([&](const auto &x) { return x.bytes != g.bytes; }))
        return format("sectors of %d bytes", l.front().bytes);
    return format("%d/%d/%d, ...", l.front().cylinder, l.front().head, l.front().sector);
}


std::string layoutShape(const Geometry &g)
{
    std::string text = count(g.cylinders, "cylinder") + ", " + count(g.heads, "head") + ", " +
                       count(g.sectors, "sector") + format(" of %d bytes", g.bytes);
    if (g.first != 1)
        text += format(" numbered from %d", g.first);
    return text;
}

}

namespace {

// Which tracks are FM, when any is: "Encoding: FM, 125 kbit/s" when every
// track that held fields is, else the FM ones named.
std::string encodingText(const Recovery &rec)
{
    constexpr size_t LISTED = 8;
    std::set<std::pair<int, int>> fm;
    std::map<int, int> rates;
    bool mfm = false;
    for (const TrackRead &r : rec.reads) {
        if (r.copies.empty() && r.ids.empty())
            continue;
        if (!r.fm) {
            mfm = true;
            continue;
        }
        fm.insert({r.physical, r.head});
        if (r.rate)
            rates[r.dataRate()]++;
    }
    if (fm.empty())
        return "";
    if (!mfm) {
        const auto rate = std::max_element(rates.begin(), rates.end(),
                                           [](const auto &a, const auto &b) { return a.second < b.second; });
        return "Encoding: FM" + (rate == rates.end() ? std::string() : format(", %d kbit/s", rate->first / 1000)) + "\n";
    }
    std::string text = "Encoding: FM on ";
    size_t n = 0;
    for (const auto &[physical, head] : fm) {
        if (n++ == LISTED) {
            text += format(" and %zu more", fm.size() - LISTED);
            break;
        }
        text += (n > 1 ? ", " : "") + (head >= 0 ? format("track %d.%d", physical, head) : format("slot %d", physical));
    }
    return text + "; MFM on the others\n";
}

}

std::string geometryText(const Recovery &rec)
{
    static const char *const from[] = {"given with --geometry", "detected from the boot sector", "detected",
                                       "given with --format"};
    const Geometry &g = rec.geometry;
    std::string text;
    if (rec.step == 2)
        text += format("Double-stepped: a %d-cylinder disk read in an 80-track drive; cylinder = physical track / 2\n",
                       g.cylinders);
    // Where the cylinders came from, when the IDs alone do not say it.
    std::string cylinders = count(g.cylinders, "cylinder");
    if (rec.source != GeometrySource::given && rec.cylinders.ids > 0 && rec.cylinders.ids != g.cylinders)
        cylinders += format(" (sector IDs on 0-%d, formatted tracks to %d, the standard layout %d)",
                            rec.cylinders.ids - 1, rec.cylinders.formatted - 1, rec.cylinders.standard);
    text += "Format: " + layoutName(rec) + ", " + cylinders + ", " + count(g.heads, "head") + ", " +
            count(g.sectors, "sector") + format(" of %d bytes", g.bytes);
    // A named layout says how its sectors are numbered.
    if (g.first != 1 && !rec.layout)
        text += format(" numbered from %d", g.first);
    text += format(" (%s)\n", from[int(rec.source)]) + encodingText(rec);
    if (rec.sidesByRead)
        text += "Sides: the sector IDs of both sides name head 0; each sector is placed by the side it was read from\n";
    for (size_t k = 0; k < rec.otherTracks.size() && k < OUTSIDE_LISTED; k++) {
        const Recovery::OtherTrack &t = rec.otherTracks[k];
        const std::string track = t.head >= 0 ? format("track %d.%d", t.cylinder, t.head) : format("cylinder %d", t.cylinder);
        std::string what;
        if (t.otherSectors > 0)
            what += format("%d %s sectors", t.otherSectors, familyTitle(g.family == Family::amiga ? Family::ibm : Family::amiga));
        if (t.syncWords > 0)
            what += (what.empty() ? "" : ", ") + format("%d sync words of another format", t.syncWords);
        text += format("%s: no %s sectors; ", track.c_str(), familyTitle(g.family)) + what + "\n";
    }
    if (rec.otherTracks.size() > OUTSIDE_LISTED)
        text += format("... and %zu more tracks of another format (the report lists them)\n",
                       rec.otherTracks.size() - OUTSIDE_LISTED);
    if (rec.foreignIds > 0)
        text += format("Not placed: %d sector IDs naming another cylinder than the track they were read on\n",
                       rec.foreignIds);
    if (rec.badIds > 0)
        text += count(rec.badIds, "ID field") + " with bad CRCs ignored\n";
    if (!rec.outside.empty()) {
        std::vector<std::string> names;
        for (const Recovery::Unplaced &u : rec.outside) {
            const SectorCopy &c = *u.ref.copy;
            const std::string name = format("%d/%d/%d", c.cylinder, c.head, c.sector) +
                                     (c.data.size() != size_t(g.bytes) ? format("x%zu", c.data.size()) : "");
            if (std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        }
        std::string list;
        for (size_t k = 0; k < names.size() && k < OUTSIDE_LISTED; k++)
            list += (k ? ", " : "") + names[k];
        if (names.size() > OUTSIDE_LISTED)
            list += ", ...";
        text += "Outside the layout: " + count(int64_t(rec.outside.size()), "copy", "copies") + " of " +
                count(int64_t(names.size()), "sector") + " (c/h/s): " + list + "\n";
    }
    if (rec.goodOutside > 0) {
        text += format("%d good %s NOT in the image (%s): ", rec.goodOutside,
                       rec.goodOutside == 1 ? "sector is" : "sectors are", leftOutText(rec).c_str());
        const Layout *all = layoutHoldingAll(rec);
        const Geometry h = geometryHoldingAll(rec);
        if (all && all != rec.layout)
            text += format("--format %s holds them all\n", all->name);
        else
            text += format("-g %d:%d:%d:%d%s holds them all\n", h.cylinders, h.heads, h.sectors, h.bytes,
                           h.first == 1 ? "" : format(":%d", h.first).c_str());
    }
    return text;
}

std::string notCapturedText(const Recovery &rec, std::span<const InputInfo> inputs)
{
    if (rec.notCaptured.empty())
        return "";
    const Geometry &g = rec.geometry;
    // Runs of cylinders none of whose heads were captured, then single tracks.
    std::vector<int> whole;
    std::vector<std::pair<int, int>> tracks;
    for (size_t k = 0; k < rec.notCaptured.size();) {
        const int c = rec.notCaptured[k].first;
        size_t n = 0;
        while (k + n < rec.notCaptured.size() && rec.notCaptured[k + n].first == c)
            n++;
        if (int(n) == g.heads)
            whole.push_back(c);
        else
            tracks.insert(tracks.end(), rec.notCaptured.begin() + ptrdiff_t(k), rec.notCaptured.begin() + ptrdiff_t(k + n));
        k += n;
    }
    std::string what;
    for (size_t k = 0; k < whole.size();) {
        size_t n = 1;
        while (k + n < whole.size() && whole[k + n] == whole[k] + int(n))
            n++;
        what += std::string(what.empty() ? "" : ", ") + (n == 1 ? "cylinder " : "cylinders ") +
                span(whole[k], whole[k] + int(n) - 1);
        k += n;
    }
    for (size_t k = 0; k < tracks.size() && k < OUTSIDE_LISTED; k++)
        what += (what.empty() ? "" : ", ") + format("track %d.%d", tracks[k].first, tracks[k].second);
    if (tracks.size() > OUTSIDE_LISTED)
        what += ", ...";
    // What each input holds, by its kind.
    std::vector<std::string> why;
    for (size_t i = 0; i < inputs.size(); i++) {
        int last = -1, count = 0;
        std::set<int> cylinders;
        for (const TrackRead &r : rec.reads)
            if (r.input == int(i))
                last = std::max(last, r.physical), count++, cylinders.insert(r.physical);
        if (inputs[i].kind == "raw")
            why.push_back(format("the capture ends in slot %d", last));
        else if (inputs[i].kind == "scp")
            why.push_back(format("the SCP holds %d tracks", count));
        else if (inputs[i].kind == "kryoflux") {
            std::vector<int> absent;
            for (int c = 0; c <= last; c++)
                if (!cylinders.contains(c))
                    absent.push_back(c);
            why.push_back(absent.empty() ? format("the stream files end at cylinder %d", last)
                                         : format("no stream file for cylinders %d-%d and more", absent.front(),
                                                  absent.back()));
        }
    }
    std::string reasons;
    for (size_t k = 0; k < why.size(); k++)
        if (std::find(why.begin(), why.begin() + ptrdiff_t(k), why[k]) == why.begin() + ptrdiff_t(k))
            reasons += (reasons.empty() ? "" : "; ") + why[k];
    return what + ": not in the capture" + (reasons.empty() ? "" : " (" + reasons + ")") + "\n";
}

std::string inputLines(const Recovery &rec, std::span<const InputInfo> inputs)
{
    std::string text;
    if (inputs.size() < 2)
        return text;
    for (size_t i = 0; i < inputs.size(); i++) {
        const Recovery::InputTally t = i < rec.inputs.size() ? rec.inputs[i] : Recovery::InputTally{};
        const std::string kind = inputs[i].kind + (inputs[i].drive.empty() ? "" : ", drive " + inputs[i].drive);
        text += format("Input %zu: ", i + 1) + inputs[i].file + " (" + kind + ")" +
                format(": %d good sectors, %d only from it\n", t.good, t.only);
    }
    return text;
}

std::string trackLines(const Recovery &rec)
{
    std::string text;
    std::vector<uint32_t> sectors;
    for (const TrackRead &r : rec.reads) {
        int good = 0;
        sectors.clear();
        for (const SectorCopy &c : r.copies)
            if (c.good()) {
                good++;
                sectors.push_back(uint32_t(c.cylinder) << 16 | uint32_t(c.head) << 8 | c.sector);
            }
        std::sort(sectors.begin(), sectors.end());
        const size_t distinct = size_t(std::unique(sectors.begin(), sectors.end()) - sectors.begin());
        text += format("Read %d slot %d", r.input + 1, r.physical);
        if (r.head < 0 && r.fm)
            text += " (FM)";
        if (r.head >= 0) {
            text += format(" head %d: %d revolutions", r.head, r.revolutions);
            if (r.indexPeriod > 0)
                text += format(", %.2f ms (%.1f rpm)", r.indexPeriod * 1e3, 60 / r.indexPeriod);
            text += format(", %d kbit/s %s, passes ", r.dataRate() / 1000, r.fm ? "FM" : "MFM");
            for (int p = 0; p < r.passes && p < FLUX_PASS_COUNT; p++)
                text += std::string(p ? "+" : "") + FLUX_PASSES[p].name;
        }
        text += format(": %d syncs, %d good copies of %zu sectors\n", r.syncs, good, distinct);
    }
    return text;
}

std::string sectorGrid(const Recovery &rec)
{
    const Geometry &g = rec.geometry;
    std::string text;
    if (g.cylinders == 0)
        return text;
    const int blocks = (g.cylinders + GRID_COLUMNS - 1) / GRID_COLUMNS;
    const int width = (g.cylinders + blocks - 1) / blocks;
    for (int h = 0; h < g.heads; h++) {
        for (int first = 0; first < g.cylinders; first += width) {
            const int last = std::min(g.cylinders, first + width) - 1;
            text += format("\nHead %d, cylinders %d-%d:\n", h, first, last);
            std::string tens(GRID_LABEL, ' '), ones(GRID_LABEL, ' ');
            for (int c = first; c <= last; c++) {
                tens += c % 10 == 0 ? char('0' + c / 10 % 10) : ' ';
                ones += char('0' + c % 10);
            }
            tens.erase(tens.find_last_not_of(' ') + 1);
            text += tens + "\n" + ones + "\n";
            for (int s = g.first; s < g.first + g.sectors; s++) {
                text += format("%3d  ", s);
                for (int c = first; c <= last; c++)
                    text += style(at(rec, c, h, s).status).mark;
                text += '\n';
            }
        }
    }
    text += '\n';
    return text;
}

std::string summaryLine(const Recovery &rec)
{
    const int64_t total = rec.geometry.sectorCount();
    const int good = rec.count(SectorStatus::good);
    const int64_t tenths = total ? int64_t(good) * 1000 / total : 0;
    std::string counts = format("%d crc error, %d missing, %d conflicts", rec.count(SectorStatus::crcError),
                                rec.count(SectorStatus::missing), rec.count(SectorStatus::conflict));
    if (rec.count(SectorStatus::notCaptured) > 0)
        counts += format(", %d not captured", rec.count(SectorStatus::notCaptured));
    if (rec.goodOutside == 0)
        return format("%d of %lld sectors good (%lld.%lld%%): ", good, (long long)total, (long long)(tenths / 10),
                      (long long)(tenths % 10)) +
               counts + "\n";
    // Good sectors the image leaves out lead: the run is not whole.
    const std::string lost = format("%d good %s NOT in the image (%s)", rec.goodOutside,
                                    rec.goodOutside == 1 ? "sector" : "sectors", leftOutText(rec).c_str());
    if (good == total)
        return format("%d of %lld sectors in the layout good; ", good, (long long)total) + lost + "\n";
    return format("%d of %lld sectors in the layout good (%lld.%lld%%): ", good, (long long)total,
                  (long long)(tenths / 10), (long long)(tenths % 10)) +
           counts + "; " + lost + "\n";
}

namespace {

using json = nlohmann::ordered_json;

// Where a copy came from: input, slot (or physical cylinder), head, bit,
// and for flux its revolution and the decoder pass that found it.
json sourceJson(const CopyRef &ref)
{
    const bool flux = ref.read->head >= 0;
    return {{"input", ref.read->input},
            {"slot", ref.read->physical},
            {"head", flux ? json(ref.read->head) : json(nullptr)},
            {"bit", ref.copy->bit},
            {"revolution", flux ? json(ref.copy->revolution) : json(nullptr)},
            {"pass", flux ? json(FLUX_PASSES[ref.copy->pass].name) : json(nullptr)}};
}

// A copy as read: "good", "id-crc-error", "crc-error" or "clock-error".
const char *copyStatus(const SectorCopy &c)
{
    return !c.idOk ? "id-crc-error" : !c.dataOk ? "crc-error" : c.clockErrors ? "clock-error" : "good";
}

json copyJson(const CopyRef &ref)
{
    return {{"status", copyStatus(*ref.copy)}, {"deleted", ref.copy->deleted}, {"source", sourceJson(ref)}};
}

}

std::string jsonReport(const Recovery &rec, std::span<const InputInfo> inputs)
{
    const Geometry &g = rec.geometry;
    json report;
    report["geometry"] = {{"cylinders", g.cylinders}, {"heads", g.heads},           {"sectors", g.sectors},
                          {"bytes", g.bytes},         {"source", sourceName(rec.source)}, {"step", rec.step},
                          {"first", g.first},         {"family", familyName(g.family)},
                          {"format", rec.layout ? json(rec.layout->name) : json(nullptr)}};
    if (rec.cylinders.ids > 0)
        report["geometry"]["cylinders_from"] = {{"ids", rec.cylinders.ids},
                                                {"formatted", rec.cylinders.formatted},
                                                {"standard", rec.cylinders.standard}};
    json list = json::array();
    for (size_t i = 0; i < inputs.size(); i++) {
        const Recovery::InputTally tally = i < rec.inputs.size() ? rec.inputs[i] : Recovery::InputTally{};
        list.push_back({{"index", i},
                        {"file", inputs[i].file},
                        {"kind", inputs[i].kind},
                        {"drive", inputs[i].drive},
                        {"good", tally.good},
                        {"only", tally.only}});
    }
    report["inputs"] = std::move(list);
    report["totals"] = {{"sectors", g.sectorCount()}, {"found", rec.found()},
                        {"good", rec.count(SectorStatus::good)}, {"crc_error", rec.count(SectorStatus::crcError)},
                        {"missing", rec.count(SectorStatus::missing)}, {"conflict", rec.count(SectorStatus::conflict)},
                        {"not_captured", rec.count(SectorStatus::notCaptured)},
                        {"foreign_ids", rec.foreignIds}, {"outside", rec.outside.size()},
                        {"good_outside", rec.goodOutside}, {"bad_ids", rec.badIds}};
    json tracks = json::array();
    for (const TrackRead &r : rec.reads) {
        const bool flux = r.head >= 0;
        int good = 0;
        for (const SectorCopy &c : r.copies)
            good += c.good();
        tracks.push_back({{"input", r.input},
                          {"slot", r.physical},
                          {"head", flux ? json(r.head) : json(nullptr)},
                          {"revolutions", flux ? json(r.revolutions) : json(nullptr)},
                          {"index_period_ms", flux && r.indexPeriod > 0 ? json(r.indexPeriod * 1e3) : json(nullptr)},
                          {"rpm", flux && r.indexPeriod > 0 ? json(60 / r.indexPeriod) : json(nullptr)},
                          {"rate_kbps", flux ? json(r.dataRate() / 1000) : json(nullptr)},
                          {"encoding", r.copies.empty() && r.ids.empty() ? json(nullptr) : json(r.fm ? "FM" : "MFM")},
                          {"passes", flux ? json(r.passes) : json(nullptr)},
                          {"syncs", r.syncs},
                          {"copies", r.copies.size()},
                          {"good_copies", good},
                          {"misplaced_copies", r.misplaced},
                          {"sync_words", r.syncWords >= 0 ? json(r.syncWords) : json(nullptr)}});
    }
    report["tracks"] = std::move(tracks);
    json others = json::array();
    for (const Recovery::OtherTrack &t : rec.otherTracks)
        others.push_back({{"cylinder", t.cylinder},
                          {"head", t.head >= 0 ? json(t.head) : json(nullptr)},
                          {"format", "other"},
                          {"sync_words", t.syncWords},
                          {"other_family_sectors", t.otherSectors}});
    report["other_format_tracks"] = std::move(others);
    json sectors = json::array();
    for (const RecoveredSector &s : rec.sectors) {
        json entry = {{"cylinder", s.cylinder}, {"head", s.head},     {"sector", s.sector},
                      {"status", statusName(s.status)}, {"copies", s.copies}, {"good_copies", s.goodCopies}};
        entry["voted"] = s.voted;
        entry["id_seen"] = s.idSeen;
        if (s.status != SectorStatus::good)
            entry["data_crc_ok"] = s.dataConfirmed;
        entry["deleted"] = s.deleted;
        entry["source"] = s.copy ? sourceJson({s.read, s.copy}) : json(nullptr);
        if (s.status != SectorStatus::good) {
            json seen = json::array();
            for (const CopyRef &ref : s.seen)
                seen.push_back(copyJson(ref));
            entry["reads"] = std::move(seen);
        }
        sectors.push_back(std::move(entry));
    }
    report["sectors"] = std::move(sectors);
    json outside = json::array();
    for (const Recovery::Unplaced &u : rec.outside) {
        const SectorCopy &c = *u.ref.copy;
        json entry = {{"cylinder", c.cylinder}, {"head", c.head}, {"sector", c.sector}, {"bytes", c.data.size()},
                      {"why", outsideName(u.why)}};
        entry.update(copyJson(u.ref));
        outside.push_back(std::move(entry));
    }
    report["outside"] = std::move(outside);
    json badId = json::array();
    for (const CopyRef &ref : rec.outsideBadId) {
        const SectorCopy &c = *ref.copy;
        json entry = {{"cylinder", c.cylinder}, {"head", c.head}, {"sector", c.sector}, {"bytes", c.data.size()}};
        entry.update(copyJson(ref));
        badId.push_back(std::move(entry));
    }
    report["outside_bad_id"] = std::move(badId);
    // A file name need not be UTF-8: each invalid byte becomes U+FFFD.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string svgMap(const Recovery &rec)
{
    constexpr double OUTER = 240, HUB = 40, MARGIN = 30, TOP = 70, LEGEND = 60;
    constexpr double FULL_TURN_GAP = 1e-4;   // one arc cannot close a circle
    const Geometry &g = rec.geometry;
    const int discs = std::max(1, g.heads);
    const double width = discs * (2 * OUTER + MARGIN) + MARGIN;
    const double height = TOP + 2 * OUTER + 30 + LEGEND;   // legend: statuses, dots, caption
    std::string svg = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                             "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n",
                             width, height, width, height);
    svg += format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"#ffffff\"/>\n", width, height);
    std::string summary = summaryLine(rec);
    summary.pop_back();
    svg += format("<text x=\"%.0f\" y=\"28\" font-size=\"18\" font-weight=\"bold\">", MARGIN) + layoutName(rec) +
           ", " + layoutShape(g) + "</text>\n";
    svg += format("<text x=\"%.0f\" y=\"50\" font-size=\"14\">", MARGIN) + summary + "</text>\n";

    const double ring = g.cylinders ? (OUTER - HUB) / g.cylinders : 0;
    const double pi = std::acos(-1.0);
    for (int h = 0; h < g.heads; h++) {
        const double cx = MARGIN + OUTER + h * (2 * OUTER + MARGIN), cy = TOP + OUTER;
        svg += format("<g><title>head %d</title>\n", h);
        svg += format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\" fill=\"#333333\"/>\n", cx, cy, OUTER + 2);
        // Sectors not read well go last, outlined in their colour, so that
        // even a thin ring shows them.
        std::string good, bad, marks;
        for (int c = 0; c < g.cylinders; c++) {
            const double r1 = OUTER - c * ring, r0 = r1 - ring;
            for (int s = g.first; s < g.first + g.sectors; s++) {
                const int k = s - g.first;
                const double a0 = 2 * pi * k / g.sectors - pi / 2;
                const double a1 = 2 * pi * (k + 1) / g.sectors - pi / 2 - (g.sectors == 1 ? FULL_TURN_GAP : 0);
                const int large = g.sectors == 1 ? 1 : 0;
                const RecoveredSector &sec = at(rec, c, h, s);
                const char *colour = style(sec.status).colour;
                auto x = [&](double r, double a) { return cx + r * std::cos(a); };
                auto y = [&](double r, double a) { return cy + r * std::sin(a); };
                std::string &out = sec.status == SectorStatus::good ? good : bad;
                out += format("<path d=\"M%.2f %.2fA%.2f %.2f 0 %d 1 %.2f %.2f", x(r1, a0), y(r1, a0), r1, r1, large,
                              x(r1, a1), y(r1, a1)) +
                       format("L%.2f %.2fA%.2f %.2f 0 %d 0 %.2f %.2fZ\" fill=\"%s\"", x(r0, a1), y(r0, a1), r0, r0,
                              large, x(r0, a0), y(r0, a0), colour);
                if (sec.status != SectorStatus::good)
                    out += format(" stroke=\"%s\" stroke-width=\"1.5\"", colour);
                out += format("><title>cylinder %d head %d sector %d: %s%s%s</title></path>\n", c, h, s,
                              statusName(sec.status), sec.voted ? ", voted" : "", sec.deleted ? ", deleted data" : "");
                if (sec.deleted || sec.voted) {
                    const double rm = (r0 + r1) / 2, am = (a0 + a1) / 2;
                    marks += format("<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" fill=\"%s\"/>\n", x(rm, am), y(rm, am),
                                    std::min(ring * MARK_RADIUS, MAX_MARK), sec.deleted ? DELETED_COLOUR : VOTED_COLOUR);
                }
            }
        }
        svg += good + bad + marks;
        svg += format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\" fill=\"#ffffff\" stroke=\"#333333\"/>\n", cx, cy,
                       HUB - 1);
        svg += format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"14\" text-anchor=\"middle\">Head %d</text>\n</g>\n", cx,
                      cy + 5, h);
    }
    const double ly = TOP + 2 * OUTER + 30;
    double lx = MARGIN;
    // Sectors not captured get a place in the legend only when there are some.
    const bool partial = rec.count(SectorStatus::notCaptured) > 0;
    const double step = std::min(150.0, (width - MARGIN) / double(std::size(STYLES) - (partial ? 0 : 1)));
    for (const StatusStyle &st : STYLES) {
        if (st.status == SectorStatus::notCaptured && !partial)
            continue;
        svg += format("<rect x=\"%.0f\" y=\"%.0f\" width=\"16\" height=\"16\" fill=\"%s\"/>", lx, ly, st.colour);
        svg += format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"14\">%s: %d</text>\n", lx + 22, ly + 13, st.label,
                      rec.count(st.status));
        lx += step;
    }
    int deleted = 0, voted = 0;
    for (const RecoveredSector &sec : rec.sectors)
        deleted += sec.deleted, voted += sec.voted;
    svg += format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"4\" fill=\"%s\"/>", MARGIN + 8, ly + 32, DELETED_COLOUR) +
           format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">deleted data: %d</text>", MARGIN + 22, ly + 36, deleted);
    svg += format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"4\" fill=\"%s\" stroke=\"#333333\"/>", MARGIN + 158, ly + 32,
                  VOTED_COLOUR) +
           format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">voted from bad reads: %d</text>", MARGIN + 172,
                  ly + 36, voted);
    svg += format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">not placed, outside the layout: %zu copies</text>\n",
                  MARGIN + 352, ly + 36, rec.outside.size());
    svg += format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\" fill=\"#555555\">", MARGIN, ly + 54) +
           format("Cylinder 0 is the outer ring; sector %d starts at the top, sectors run clockwise.</text>\n", g.first);
    svg += "</svg>\n";
    return svg;
}

}
