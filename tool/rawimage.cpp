// rawimage: a full-size sector image of a disk from one or more captures of
// it, with a map of what could not be read.
//
// The road of a run: arguments, load the inputs, decode every track read
// (on all cores), merge the copies into one disk, write the outputs, report.
#include "mfm/flux.h"
#include "mfm/fluxcells.h"
#include "mfm/imagefile.h"
#include "mfm/layout.h"
#include "mfm/mapfile.h"
#include "mfm/mappedfile.h"
#include "mfm/mfm.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"
#include "mfm/sectormap.h"
#include "cli.h"
#include "output.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <getopt.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char *const PROGRAM = "rawimage";
constexpr int EXIT_ALL_GOOD = 0, EXIT_SOME_BAD = 1, EXIT_LOG_CUT = 3;
constexpr int64_t DRIVE_HALF = int64_t(TRACK_SLOT_SIZE) * SLOTS_PER_DRIVE;   // drive A's slots start here
constexpr size_t SNIFF_BYTES = 4096;          // enough to tell a flux file
// Room for a whole raw capture (16 MiB) and the rest of a run in the heap.
constexpr size_t HEAP_BYTES = size_t(CAPTURE_BYTES) + (size_t(8) << 20);

void usage(FILE *to)
{
    fprintf(to,
            "usage: rawimage [options] -o IMAGE CAPTURE[:A|:B]...\n"
            "Builds a full-size sector image from one or more captures of a disk.\n"
            "\n"
            "  -o, --output IMAGE       the sector image to write (required): .imd an\n"
            "                           ImageDisk file, .msa an Atari ST MSA file, .adf\n"
            "                           an Amiga disk file, .ssd or .dsd a BBC Micro disk,\n"
            "                           any other name the plain image\n"
            "  -f, --format NAME        the disk's layout by name (ibm.1440, atarist.720,\n"
            "                           amiga.amigados, acorn.dfs.ds, ibm.3740, ...): its\n"
            "                           family, heads, sectors and numbering, and at least\n"
            "                           its cylinders; --format help (or --list-formats)\n"
            "                           lists them\n"
            "  -g, --geometry C:H:S[:B[:F]]  cylinders, heads, sectors per track, bytes per\n"
            "                           sector (512 when left out) and the first sector's\n"
            "                           number (1 when left out; decimal or 0x-hex); the\n"
            "                           layout is found when neither is given\n"
            "  -r, --rate KBITS         data rate of flux inputs: 250, 300 or 500;\n"
            "                           found per track when not given\n"
            "      --fill BYTE          filler of sectors with no data (decimal or 0x-hex);\n"
            "                           default the text -=[MISSING c/h/s]=- repeated\n"
            "      --report FILE.json   a JSON report of every sector\n"
            "      --map FILE.svg       a picture of the disk, sectors coloured by status\n"
            "      --mapfile FILE       the image's good and bad byte ranges as a GNU\n"
            "                           ddrescue mapfile\n"
            "  -q, --quiet              print only the summary line\n"
            "  -v, --verbose            also print a line for every track read\n"
            "      --no-paths           name inputs by their file names alone in the\n"
            "                           report and the ImageDisk comment, not by their\n"
            "                           paths\n"
            "  -h, --help               this text\n"
            "  -V, --version            the version\n"
            "\n"
            "Options may come before or after the captures; -- ends them.\n"
            "CAPTURE is a raw capture (64 KiB track slots; :A or :a reads drive A's half,\n"
            "default :B), an SCP image, or a KryoFlux stream set: its folder or one of its\n"
            "files (the set is read whole). An output named - is standard output; the text\n"
            "then goes to standard error. No output may name an input or another output.\n"
            "Exit status: 0 every sector good, 1 the image was written but some sectors\n"
            "are not good or good sectors lie outside its layout, 2 a bad command line, an\n"
            "input that cannot be read or is no capture, or an output that cannot be\n"
            "written (nothing written), 3 the outputs were written but standard output\n"
            "closed before the text was whole.\n");
}

struct Operand {
    std::string path;
    uint8_t drive = 0;      // 0 drive B, 1 drive A
    mfm::FluxKind kind = mfm::FluxKind::none;   // told by its first bytes (sniff)
};

struct Options {
    std::string image, report, map, mapfile;
    mfm::RecoveryOptions recovery;
    int rate = 0;           // data rate of flux inputs, 0 to detect per track
    bool quiet = false;
    bool verbose = false;
    bool noPaths = false;
    std::vector<Operand> operands;
};

// A whole number in [low, high] written in `base` (10 or 16), or nothing.
std::optional<long> number(const std::string &text, long low, long high, int base = 10)
{
    // Digits only: strtol would take a sign, spaces and a second 0x.
    if (text.empty() || !std::all_of(text.begin(), text.end(), [base](char ch) {
            return base == 16 ? isxdigit(static_cast<unsigned char>(ch)) : isdigit(static_cast<unsigned char>(ch));
        }))
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return std::nullopt;
    return v;
}

// A whole number in [low, high], decimal or 0x-hex, or nothing.
std::optional<long> decimalOrHex(const std::string &text, long low, long high)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return hex ? number(text.substr(2), low, high, 16) : number(text, low, high);
}

mfm::Geometry parseGeometry(const std::string &text)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
        parts.push_back(text.substr(from, colon - from));
    parts.push_back(text.substr(from));
    const auto c = number(parts[0], 1, 256);
    const auto h = parts.size() > 1 ? number(parts[1], 1, 2) : std::nullopt;
    const auto s = parts.size() > 2 ? number(parts[2], 1, 255) : std::nullopt;
    const auto b = parts.size() > 3 ? number(parts[3], 128, 1024) : std::optional<long>(SECTOR_SIZE);
    const bool sizeOk = b && (*b == 128 || *b == 256 || *b == 512 || *b == 1024);
    const auto firstNumber = parts.size() > 4 ? decimalOrHex(parts[4], 0, 255) : std::optional<long>(1);
    const long sectors = s.value_or(0), first = firstNumber.value_or(256);
    const bool numbersOk = sectors > 0 && first + sectors <= 256;
    if (parts.size() < 3 || parts.size() > 5 || !c || !h || !sizeOk || !numbersOk)
        cli::badUsage("bad geometry '" + text + "': want CYLINDERS:HEADS:SECTORS[:BYTES[:FIRST]], heads 1 or 2, "
                 "bytes 128, 256, 512 or 1024, sector numbers up to 255");
    return {int(*c), int(*h), int(sectors), int(*b), int(first)};
}

uint8_t parseFill(const std::string &text)
{
    const auto v = decimalOrHex(text, 0, 255);
    if (!v)
        cli::badUsage("bad fill byte '" + text + "': want 0 to 255, decimal or 0x-hex");
    return uint8_t(*v);
}

bool exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// "disk.raw:A" (or ":a") reads drive A of disk.raw, unless a file is named
// so; any other colon suffix of a name that is no file is refused.
Operand parseOperand(const std::string &text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || exists(text))
        return {text, 0};
    const std::string drive = text.substr(colon + 1);
    if (drive.size() == 1 && strchr("aAbB", drive[0]))
        return {text.substr(0, colon), uint8_t(toupper(drive[0]) == 'A')};
    cli::badUsage("bad drive '" + drive + "' in '" + text + "': want :A, :a, :B or :b (or the name of a file)");
}

Options parseArguments(int argc, char **argv)
{
    enum { FILL = 256, REPORT, MAP, MAPFILE, HELP, VERSION, LIST_FORMATS, NO_PATHS };
    static const option longOptions[] = {
        {"output", required_argument, nullptr, 'o'}, {"geometry", required_argument, nullptr, 'g'},
        {"format", required_argument, nullptr, 'f'}, {"list-formats", no_argument, nullptr, LIST_FORMATS},
        {"no-paths", no_argument, nullptr, NO_PATHS},
        {"rate", required_argument, nullptr, 'r'},
        {"fill", required_argument, nullptr, FILL},  {"report", required_argument, nullptr, REPORT},
        {"map", required_argument, nullptr, MAP},    {"mapfile", required_argument, nullptr, MAPFILE},
        {"quiet", no_argument, nullptr, 'q'},       {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    // Options and operands in any order, as GNU tools take them.
    for (int c; (c = getopt_long(argc, argv, ":o:g:f:r:qvhV", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'o':
            cli::once(!o.image.empty(), "-o");
            o.image = optarg;
            break;
        case 'g':
            cli::once(o.recovery.geometry.has_value(), "-g");
            o.recovery.geometry = parseGeometry(optarg);
            break;
        case 'f':
            if (std::string(optarg) == "help") {
                fputs(mfm::layoutTable().c_str(), stdout);
                exit(EXIT_ALL_GOOD);
            }
            cli::once(o.recovery.format != nullptr, "--format");
            o.recovery.format = mfm::findLayout(optarg);
            if (!o.recovery.format)
                cli::badUsage(std::string("unknown format '") + optarg + "': rawimage --format help lists them");
            break;
        case LIST_FORMATS:
            fputs(mfm::layoutTable().c_str(), stdout);
            exit(EXIT_ALL_GOOD);
        case 'r':
            cli::once(o.rate != 0, "-r");
            o.rate = cli::parseRate(optarg);
            break;
        case FILL:
            cli::once(o.recovery.fill.has_value(), "--fill");
            o.recovery.fill = parseFill(optarg);
            break;
        case REPORT:
            cli::once(!o.report.empty(), "--report");
            o.report = optarg;
            break;
        case MAP:
            cli::once(!o.map.empty(), "--map");
            o.map = optarg;
            break;
        case MAPFILE:
            cli::once(!o.mapfile.empty(), "--mapfile");
            o.mapfile = optarg;
            break;
        case NO_PATHS:
            o.noPaths = true;
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'v':
            o.verbose = true;
            break;
        case 'h':
            usage(stdout);
            exit(EXIT_ALL_GOOD);
        case 'V':
            cli::version();
        default:
            cli::badOption(c, argv[optind - 1]);
        }
    }
    for (int i = optind; i < argc; i++)
        o.operands.push_back(parseOperand(argv[i]));
    if (o.recovery.geometry && o.recovery.format)
        cli::badUsage("give the layout with --format or --geometry, not both");
    if (o.image.empty())
        cli::badUsage("no image to write: give -o IMAGE");
    if (o.operands.empty())
        cli::badUsage("no capture to read");
    return o;
}

// ---------------------------------------------------------------------------
// Load

// A raw capture (the drive's half of its slots) or a flux file.
struct Input {
    mfm::InputInfo info;
    std::optional<mfm::MappedFile> raw;
    std::span<const uint8_t> slots;
    std::optional<mfm::FluxFile> flux;
};

// The kind of a regular file, by its first bytes. Anything else (a pipe)
// is not read here: its bytes could not be read again.
mfm::FluxKind sniff(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return mfm::FluxKind::none;
    if (S_ISDIR(st.st_mode))   // a KryoFlux set named by its folder
        return mfm::folderFluxKind(path);
    if (!S_ISREG(st.st_mode))
        return mfm::FluxKind::none;
    uint8_t head[SNIFF_BYTES];
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp)
        return mfm::FluxKind::none;   // the loader reports why
    const size_t n = fread(head, 1, sizeof head, fp);
    fclose(fp);
    return mfm::fluxKind({head, n});
}

// "<path>: not a raw capture, SCP image or KryoFlux stream (N bytes; looks like ...)".
std::string notACapture(const mfm::MappedFile &file, const char *looksLike)
{
    return file.path() + ": not a raw capture, SCP image or KryoFlux stream (" + std::to_string(file.fileSize()) +
           " bytes; looks like " + looksLike + ")";
}

Input loadInput(const Operand &op)
{
    Input in;
    const mfm::FluxKind kind = op.kind;
    if (kind != mfm::FluxKind::none) {
        in.flux.emplace(op.path);
        in.info = {op.path, kind == mfm::FluxKind::scp ? "scp" : "kryoflux", ""};
        for (const std::string &w : in.flux->warnings())
            fprintf(stderr, "%s: %s\n", PROGRAM, w.c_str());
        return in;
    }
    // What the slots of both drives address, read into the huge-page heap.
    in.raw.emplace(op.path, uint64_t(CAPTURE_BYTES), mfm::MappedFile::Load::read);
    const auto bytes = in.raw->bytes();
    if (mfm::fluxKind(bytes.first(std::min(bytes.size(), SNIFF_BYTES))) != mfm::FluxKind::none)
        cli::fail(op.path + ": a flux file is read from a regular file, not from a pipe or device");
    const mfm::ForeignKind foreign = mfm::foreignKind(bytes, in.raw->fileSize());
    if (foreign == mfm::ForeignKind::kryofluxZip)
        cli::fail(op.path + ": a zip archive of KryoFlux stream files: unpack it first, then name its folder or one "
                            "of its stream files");
    if (foreign == mfm::ForeignKind::zip)
        cli::fail(notACapture(*in.raw, "a zip archive"));
    // Images of other programs: named, not read as captures.
    if (foreign != mfm::ForeignKind::unknown && foreign != mfm::ForeignKind::sectorImage)
        cli::fail(op.path + ": " + mfm::foreignName(foreign) +
                  ": not a capture (rawimage reads raw captures, SCP images and KryoFlux stream sets)");
    const int64_t start = op.drive * DRIVE_HALF;
    if (int64_t(bytes.size()) <= start)
        cli::fail(op.path + ": holds no track slots for drive " + (op.drive ? "A" : "B"));
    in.slots = bytes.subspan(size_t(start), size_t(std::min<int64_t>(int64_t(bytes.size()) - start, DRIVE_HALF)));
    in.info = {op.path, "raw", op.drive ? "A" : "B"};
    return in;
}

std::vector<Input> loadInputs(const std::vector<Operand> &operands)
{
    std::vector<Input> inputs;
    for (const Operand &op : operands) {
        try {
            inputs.push_back(loadInput(op));
        } catch (const std::runtime_error &e) {   // FileError, FluxError
            cli::fail(e.what());
        }
    }
    return inputs;
}

// Every file the inputs are read from (each stream file of a KryoFlux set).
std::vector<std::string> inputFiles(const std::vector<Input> &inputs)
{
    std::vector<std::string> files;
    for (const Input &in : inputs) {
        if (in.flux) {
            const auto set = in.flux->files();
            files.insert(files.end(), set.begin(), set.end());
        } else {
            files.push_back(in.info.file);
        }
    }
    return files;
}

// The outputs asked for, the image first; roles as OUTPUT_ROLES name them.
constexpr const char *OUTPUT_ROLES[] = {"image", "report", "map", "mapfile"};

std::vector<OutputName> outputNames(const Options &o)
{
    std::vector<OutputName> names;
    const std::string *paths[] = {&o.image, &o.report, &o.map, &o.mapfile};
    for (size_t i = 0; i < std::size(paths); i++)
        if (!paths[i]->empty())
            names.push_back({*paths[i], OUTPUT_ROLES[i]});
    return names;
}

// A raw capture in which no sector ID was found and that looks like a
// sector image is refused as one.
void refuseSectorImages(const std::vector<Input> &inputs, const std::vector<mfm::TrackRead> &reads)
{
    std::vector<bool> ids(inputs.size(), false);
    for (const mfm::TrackRead &r : reads)
        if (!r.ids.empty())
            ids[size_t(r.input)] = true;
    for (size_t i = 0; i < inputs.size(); i++) {
        const auto &raw = inputs[i].raw;
        if (raw && !ids[i] && mfm::foreignKind(raw->bytes(), raw->fileSize()) == mfm::ForeignKind::sectorImage)
            cli::fail(notACapture(*raw, "a sector image"));
    }
}

// ---------------------------------------------------------------------------
// Decode

// One read of one track: a slot of a raw capture or a track of a flux file.
struct Job {
    size_t input;
    size_t track;
};

struct Worker {
    mfm::Scanner scanner;
    mfm::FluxCells flux;
};

void decode(const Input &in, const Job &job, int rate, Worker &w, mfm::TrackRead &out)
{
    out.input = int(job.input);
    if (in.flux) {
        mfm::decodeFluxTrack(*in.flux, job.track, rate, w.flux, w.scanner, out);
        return;
    }
    out.physical = int(job.track);
    const size_t at = job.track * TRACK_SLOT_SIZE;
    const auto cells = in.slots.subspan(at, std::min<size_t>(TRACK_SLOT_SIZE, in.slots.size() - at));
    mfm::readSlot(w.scanner, cells, out);
    if (out.ids.empty())
        out.syncWords = mfm::countSyncWords(cells, 0, int64_t(cells.size()) * 8);
}

// Decodes every track read, spread over the processor's cores; the reads
// come out in the order of the jobs whatever thread decoded them. A flux
// track whose data are not sound is reported and left unread.
std::vector<mfm::TrackRead> decodeAll(const std::vector<Input> &inputs, int rate)
{
    std::vector<Job> jobs;
    for (size_t i = 0; i < inputs.size(); i++) {
        const size_t tracks = inputs[i].flux ? inputs[i].flux->tracks().size()
                                             : (inputs[i].slots.size() + TRACK_SLOT_SIZE - 1) / TRACK_SLOT_SIZE;
        for (size_t t = 0; t < tracks; t++)
            jobs.push_back({i, t});
    }
    std::vector<mfm::TrackRead> reads(jobs.size());
    std::vector<std::string> problems(jobs.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        Worker w;
        for (size_t j; (j = next.fetch_add(1)) < jobs.size();) {
            try {
                decode(inputs[jobs[j].input], jobs[j], rate, w, reads[j]);
            } catch (const mfm::FluxError &e) {
                problems[j] = e.what();
            } catch (const std::bad_alloc &) {
                reads[j] = {};
                reads[j].input = int(jobs[j].input);
                problems[j] = inputs[jobs[j].input].info.file + ": a track too large for the memory left";
            }
        }
    };
    cli::onEveryCore(jobs.size(), work);
    for (const std::string &p : problems)
        if (!p.empty())
            fprintf(stderr, "%s: %s (track left unread)\n", PROGRAM, p.c_str());
    return reads;
}

// ---------------------------------------------------------------------------
// Write and report

// Now, as an ImageDisk header states it: "dd/mm/yyyy hh:mm:ss", local time.
std::string imdDate()
{
    const time_t now = time(nullptr);
    tm local{};
    char text[32] = "";
    if (localtime_r(&now, &local))
        strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &local);
    return text;
}

// The image in the format its name's extension chooses: ImageDisk, MSA,
// the Amiga's .adf or the plain image; a format that cannot hold the disk
// is refused before anything is written.
OutputSet::Producer imageWriter(const std::string &path, const mfm::Recovery &rec,
                                const std::vector<mfm::InputInfo> &info)
{
    const mfm::ImageFormat format = mfm::imageFormatOf(path);
    if (const std::string why = mfm::imageRefusal(format, rec); !why.empty())
        cli::fail(path + ": " + why);
    switch (format) {
    case mfm::ImageFormat::imd:
        return [&rec, &info, date = imdDate()](const mfm::ByteSink &sink) {
            mfm::writeImd(rec, info, cli::programVersion(), date, sink);
        };
    case mfm::ImageFormat::msa:
        return [&rec](const mfm::ByteSink &sink) { mfm::writeMsa(rec, sink); };
    case mfm::ImageFormat::adf:
    case mfm::ImageFormat::ssd:
    case mfm::ImageFormat::dsd:
    case mfm::ImageFormat::plain:
        break;
    }
    return [&rec](const mfm::ByteSink &sink) { sink(rec.image); };
}

// Writes the image, the files asked for and the text, all or nothing;
// false when standard output went away before the text was whole.
bool writeOutputs(const Options &o, const mfm::Recovery &rec, const std::vector<mfm::InputInfo> &info,
                  const std::string &text)
{
    std::vector<cli::OutputFile> files;
    std::vector<std::string> texts;
    texts.reserve(std::size(OUTPUT_ROLES));   // the files' bytes point into them
    for (const OutputName &n : outputNames(o)) {
        if (n.role == OUTPUT_ROLES[0]) {
            files.push_back({n.path, rec.image, imageWriter(n.path, rec, info)});
            continue;
        }
        texts.push_back(n.role == OUTPUT_ROLES[1]   ? mfm::jsonReport(rec, info)
                        : n.role == OUTPUT_ROLES[2] ? mfm::svgMap(rec)
                                                    : mfm::ddrescueMapfile(rec, cli::programVersion()));
        files.push_back({n.path, cli::bytesOf(texts.back())});
    }
    return cli::writeOutputs(files, text);
}

}

// What tracks without sector IDs held: "; N tracks hold sync words of
// another format", or nothing.
std::string otherFormats(const std::vector<mfm::TrackRead> &reads)
{
    const auto n = std::count_if(reads.begin(), reads.end(),
                                 [](const mfm::TrackRead &r) { return r.syncWords >= mfm::FORMATTED_SYNCS; });
    return n ? "; " + std::to_string(n) + (n == 1 ? " track holds" : " tracks hold") +
                   " sync words of another format"
             : "";
}

// With -r, when no flux track gave a sound ID at that rate: what the flux
// looks like instead, as "no sector IDs decode at R kbit/s; the flux looks
// like S kbit/s"; else empty.
std::string rateHint(const std::vector<Input> &inputs, const std::vector<mfm::TrackRead> &reads, int rate)
{
    if (rate == 0 || std::any_of(reads.begin(), reads.end(), [](const auto &r) { return r.head >= 0 && !r.ids.empty(); }))
        return "";
    mfm::FluxTrack track;
    for (const Input &in : inputs)
        for (size_t i = 0; in.flux && i < in.flux->tracks().size(); i++) {
            try {
                in.flux->readTrack(i, track);
            } catch (const mfm::FluxError &) {
                continue;
            }
            const int seen = mfm::detectDataRate(track.intervals, track.sampleHz);
            if (seen == rate)
                return "";
            if (seen)
                return "no sector IDs decode at " + std::to_string(rate / 1000) + " kbit/s; the flux looks like " +
                       std::to_string(seen / 1000) + " kbit/s";
        }
    return "";
}

int main(int argc, char **argv)
{
    cli::setProgram(PROGRAM);
    Options o = parseArguments(argc, argv);
    for (Operand &op : o.operands)
        op.kind = sniff(op.path);
    // Raw captures are read into a heap of huge pages; flux tracks, whose
    // intervals grow as they are read, keep the allocator's usual ways.
    if (std::any_of(o.operands.begin(), o.operands.end(),
                    [](const Operand &op) { return op.kind == mfm::FluxKind::none; }))
        cli::hugePageHeap(HEAP_BYTES);
    const std::vector<Input> inputs = loadInputs(o.operands);
    cli::refuseClashes(inputFiles(inputs), outputNames(o));
    const std::vector<mfm::TrackRead> reads = decodeAll(inputs, o.rate);
    refuseSectorImages(inputs, reads);
    // -g gives the shape; the family is the one the disk holds.
    if (o.recovery.geometry)
        o.recovery.geometry->family = mfm::detectFamily(reads);
    const mfm::Recovery rec = mfm::recoverDisk(reads, o.recovery);
    const std::string hint = rateHint(inputs, reads, o.rate);
    if (rec.geometry.sectorCount() == 0)
        cli::fail(hint.empty() ? "no sector IDs found in the input" + otherFormats(reads) : hint + ": drop -r");
    if (!hint.empty())
        fprintf(stderr, "%s: %s\n", PROGRAM, hint.c_str());

    std::vector<mfm::InputInfo> info;
    for (const Input &in : inputs) {
        info.push_back(in.info);
        if (o.noPaths)
            info.back().file = info.back().file.substr(info.back().file.find_last_of('/') + 1);
    }
    std::string text;
    if (!o.quiet)
        text = (o.verbose ? mfm::trackLines(rec) : "") + mfm::geometryText(rec) + mfm::notCapturedText(rec, info) +
               mfm::inputLines(rec, info) + mfm::sectorGrid(rec);
    text += mfm::summaryLine(rec);
    if (!writeOutputs(o, rec, info, text))
        return EXIT_LOG_CUT;
    const bool whole = rec.count(mfm::SectorStatus::good) == rec.geometry.sectorCount() && rec.goodOutside == 0;
    return whole ? EXIT_ALL_GOOD : EXIT_SOME_BAD;
}
