// flux2raw: turns a flux file (SCP image or KryoFlux stream set) into a raw
// capture in the layout rawscan reads, so that its trace-level analysis
// works on flux captures too.
//
// The road of a run: arguments, open the flux file, decode every track
// (on all cores), lay the cells out in track slots, write, report.
#include "mfm/flux.h"
#include "mfm/fluxcells.h"
#include "mfm/mfm.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"
#include "cli.h"
#include "output.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

const char *const PROGRAM = "flux2raw";
constexpr int EXIT_OK = 0, EXIT_LOG_CUT = 3;
constexpr int64_t HEAD_CELLS = int64_t(TRACK_SLOT_SIZE) * 8 / 2;   // half a slot per head

void usage(FILE *to)
{
    fprintf(to, "usage: flux2raw [-r KBITS] FLUX CAPTURE [A|B]\n"
                "Writes the tracks of a flux file (SCP image, or one file of a KryoFlux stream\n"
                "set) as a raw capture that rawscan reads: one 64 KiB slot per cylinder, head 0's\n"
                "cells then head 1's, for drive B (default) or drive A (A or a, B or b). A\n"
                "CAPTURE named - is standard output; the text then goes to standard error.\n"
                "\n"
                "  -r, --rate KBITS   data rate: 250, 300 or 500; found per track when not given\n"
                "  -h, --help         this text\n"
                "  -V, --version      the version\n"
                "\n"
                "Exit status: 0 written, 2 a bad command line, a flux file that cannot be read,\n"
                "or a capture that names it or cannot be written (nothing written), 3 written\n"
                "but standard output closed before the text was whole.\n");
}

struct Options {
    int rate = 0;
    std::string flux, capture;
    bool driveA = false;
};

Options parseArguments(int argc, char **argv)
{
    static const option longOptions[] = {
        {"rate", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":r:hV", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'r':
            cli::once(o.rate != 0, "-r");
            o.rate = cli::parseRate(optarg);
            break;
        case 'h':
            usage(stdout);
            exit(EXIT_OK);
        case 'V':
            cli::version();
        default:
            cli::badOption(c, argv[optind - 1]);
        }
    }
    const int operands = argc - optind;
    if (operands < 2 || operands > 3)
        cli::badUsage("want FLUX CAPTURE [A|B]");
    o.flux = argv[optind];
    o.capture = argv[optind + 1];
    if (operands == 3) {
        o.driveA = cli::parseDrive(argv[optind + 2]);
    }
    return o;
}

// One decoded track: the cells kept (no more than half a slot, from cell 0)
// and how many, and its sectors (for telling a double-stepped disk).
struct Track {
    std::vector<uint8_t> cells;
    int64_t length = 0;
    int revolutions = 0;
    int rate = 0;
    mfm::TrackRead read;
};

std::vector<Track> decodeAll(const mfm::FluxFile &file, int rate)
{
    const size_t n = file.tracks().size();
    std::vector<Track> tracks(n);
    std::vector<std::string> problems(n);
    std::atomic<size_t> next{0};
    auto work = [&] {
        mfm::Scanner scanner;
        mfm::FluxCells fc;
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            Track &t = tracks[i];
            t.read.physical = file.tracks()[i].cylinder;
            t.read.head = file.tracks()[i].head;
            try {
                if (!mfm::readFluxCells(file, i, rate, fc))
                    continue;
                const auto fields = scanner.scan(fc.bytes(), mfm::DataLength::fromId, true);
                mfm::collectCopies(fields, fc.cells.marks, t.read);
                const mfm::CellRange kept = mfm::fitRevolutions(fc, fields, HEAD_CELLS);
                t.length = kept.to - kept.from;
                t.revolutions = kept.revolutions;
                t.cells.assign(size_t((t.length + 7) / 8), 0);
                mfm::copyCells(fc.bytes(), kept.from, t.length, t.cells, 0);
                t.rate = fc.rate;
            } catch (const mfm::FluxError &e) {
                problems[i] = e.what();
            } catch (const std::bad_alloc &) {
                // A worker's cells of a huge track: the others go on.
                fc = {};
                problems[i] = file.path() + ": track " + std::to_string(t.read.physical) + "." +
                              std::to_string(t.read.head) + " is too large for the memory left";
            }
            if (!problems[i].empty())
                t = Track{{}, 0, 0, 0, std::move(t.read)};
        }
    };
    cli::onEveryCore(n, work);
    for (const std::string &p : problems)
        if (!p.empty())
            fprintf(stderr, "%s: %s (track left empty)\n", PROGRAM, p.c_str());
    return tracks;
}

// "2" or "1 to 2".
std::string span(int low, int high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high);
}

}

int main(int argc, char **argv)
{
    cli::setProgram(PROGRAM);
    const Options o = parseArguments(argc, argv);
    std::vector<Track> tracks;
    std::vector<mfm::FluxFile::TrackRef> refs;
    try {
        const mfm::FluxFile file(o.flux);
        cli::refuseClashes(file.files(), {{o.capture, "capture"}});
        for (const std::string &w : file.warnings())
            fprintf(stderr, "%s: %s\n", PROGRAM, w.c_str());
        refs = file.tracks();
        tracks = decodeAll(file, o.rate);
    } catch (const mfm::FluxError &e) {
        cli::fail(e.what());
    }

    std::vector<mfm::TrackRead> reads;
    for (Track &t : tracks)
        reads.push_back(std::move(t.read));   // only their IDs are needed now
    const int step = mfm::detectStep(reads);

    // One slot per cylinder, at least the 80 that rawscan reads.
    int cylinders = TRACKS, heads = 0, fewest = 1 << 30, most = 0;
    std::map<int, int> rates;
    for (size_t i = 0; i < tracks.size(); i++)
        if (tracks[i].rate && refs[i].cylinder % step == 0)
            cylinders = std::max(cylinders, refs[i].cylinder / step + 1);
    if (cylinders > SLOTS_PER_DRIVE)
        cli::fail(o.flux + ": holds cylinders beyond the " + std::to_string(SLOTS_PER_DRIVE) + " slots of a drive");
    const int64_t base = o.driveA ? DISK_SIZE : 0;
    std::vector<uint8_t> capture(size_t(base + int64_t(cylinders) * TRACK_SLOT_SIZE), 0);
    int written = 0;
    for (size_t i = 0; i < tracks.size(); i++) {
        const Track &t = tracks[i];
        if (!t.rate || refs[i].cylinder % step != 0 || refs[i].head > 1)
            continue;
        const std::span<uint8_t> slot(capture.data() + base + int64_t(refs[i].cylinder / step) * TRACK_SLOT_SIZE,
                                      size_t(TRACK_SLOT_SIZE));
        const int64_t at = refs[i].head * HEAD_CELLS;
        mfm::copyCells(t.cells, 0, t.length, slot, at);
        mfm::fillGap(slot, at + t.length, at + HEAD_CELLS);
        written++;
        heads = std::max(heads, refs[i].head + 1);
        fewest = std::min(fewest, t.revolutions);
        most = std::max(most, t.revolutions);
        rates[t.rate]++;
    }
    if (written == 0)
        cli::fail(o.flux + ": no track holds MFM flux");

    const int rate = std::max_element(rates.begin(), rates.end(), [](const auto &a, const auto &b) { return a.second < b.second; })->first;
    std::string text;
    if (step == 2)
        text = o.capture + ": double-stepped disk (read in an 80-track drive): physical track 2c kept as cylinder c\n";
    text += o.capture + ": " + std::to_string(written) + " tracks, " + std::to_string(heads) + " heads, " +
            std::to_string(rate / 1000) + " kbit/s, " + span(fewest, most) + " revolutions per track kept, drive " +
            (o.driveA ? "A" : "B") + "\n";
    return cli::writeOutputs(std::vector<cli::OutputFile>{{o.capture, capture}}, text) ? EXIT_OK : EXIT_LOG_CUT;
}
