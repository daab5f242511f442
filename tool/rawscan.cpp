// rawscan: finds and decodes the IBM MFM sector fields of a raw floppy
// capture, reports them track by track and writes the readable sectors to a
// ".st" sector image.
#include "mfm/mfm.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int MODE_WORD_MAX = 20;
constexpr size_t STDOUT_BUFFER = size_t(1) << 16;
constexpr size_t IMAGE_BUFFER = size_t(1) << 16;

enum class Mode { none, help, analyse, binary };

void usage()
{
    puts("usage:");
    puts("       rawscan rawdfile <Driveletter> <Track(-1==all)> analyse");
    puts("       rawscan rawdfile <Driveletter> <Track(-1==all)> binary <filename.st>");
}

// Decimal track selector as strtol reads it, saturated to 32 bits.
int32_t trackSelector(const char *text)
{
    const long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

Mode modeWord(const char *text)
{
    char word[MODE_WORD_MAX + 1];
    size_t n = 0;
    for (; n < MODE_WORD_MAX && text[n] != '\0'; n++)
        word[n] = char(toupper(static_cast<unsigned char>(text[n])));
    word[n] = '\0';
    Mode mode = Mode::none;
    if (strcmp(word, "HELP") == 0) {
        mode = Mode::help;
        puts("Help");
    }
    if (strcmp(word, "ANALYSE") == 0) {
        mode = Mode::analyse;
        puts("Analyse");
    }
    if (strcmp(word, "BINARY") == 0) {
        mode = Mode::binary;
        puts("Binary");
    }
    return mode;
}

void clearSectorFlags()
{
    for (auto &head : sector)
        for (auto &slot : head)
            slot.valid = slot.good = 0;
}

void warnIfBeyondCapture(uint8_t drive, int32_t track)
{
    if (!trackSlotLoaded(drive, track))
        printf("Warning: track %02d lies beyond the end of the raw capture; missing cells read as zero\n", track);
}

void analysisPass(uint8_t drive, int32_t chosen)
{
    for (int32_t t = 0; t < TRACKS; t++) {
        verbose = chosen < 0 || chosen == t;
        printf("Analyse Track: %02d\n", t);
        warnIfBeyondCapture(drive, t);
        clearSectorFlags();
        analyse_track(drive, t, verbose);
        dumpTrackStatus(t);
    }
}

// Writes the image; returns 0, or the reason (errno) when the image could
// not be written whole.
int binaryPass(uint8_t drive, FILE *image)
{
    static char imageBuffer[IMAGE_BUFFER];
    setvbuf(image, imageBuffer, _IOFBF, sizeof imageBuffer);
    int error = 0;
    for (int32_t t = 0; t < TRACKS; t++) {
        warnIfBeyondCapture(drive, t);
        clearSectorFlags();
        analyse_track(drive, t, 0);
        dumpTrackStatus(t);
        dumpTrack(image);
        if (ferror(image) && !error)
            error = errno ? errno : EIO;
    }
    if (fclose(image) != 0 && !error)
        error = errno;
    return error;
}

// Takes /dev/null for each of descriptors 0, 1 and 2 that is closed, so that
// no file the run opens lands on one (a capture read as standard input, an
// image receiving the report). Returns false when standard output was closed,
// or when a descriptor could not be taken.
bool reserveStandardDescriptors()
{
    bool outputOpen = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            return false;
        if (fd == STDOUT_FILENO)
            outputOpen = false;
    }
    return outputOpen;
}

// Whether two paths name one file (links included).
bool sameFile(const char *a, const char *b)
{
    struct stat sa {}, sb {};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Binary mode's image: returns 0 when it was written whole, else -1.
int writeImage(uint8_t drive, const char *capture, const char *name)
{
    // The capture is loaded first, so a missing capture never truncates an
    // existing image; and a capture is never truncated to become its image.
    if (sameFile(capture, name)) {
        printf("File %s cannot be created (it is the raw capture)\n", name);
        printFileReason(name, "it is the raw capture");
        return -1;
    }
    FILE *image = fopen(name, "wb");
    if (!image) {
        const int error = errno;
        printf("File %s cannot be created\n", name);
        printFileReason(name, strerror(error));
        return -1;
    }
    if (const int error = binaryPass(drive, image)) {
        printf("File %s write error\n", name);
        printFileReason(name, strerror(error));
        removePartial(name);
        return -1;
    }
    return 0;
}

}

int main(int argc, char **argv)
{
    const bool outputOpen = reserveStandardDescriptors();
    static char out[STDOUT_BUFFER];
    setvbuf(stdout, out, _IOFBF, sizeof out);

    printversion(argv[0] ? argv[0] : "rawscan");
    if (argc != 5 && argc != 6) {
        usage();
        return -1;
    }
    const uint8_t drive = argv[2][0] == 'A' ? 1 : 0;
    puts(drive ? "Drive A (rawfile offset==8MB)" : "Drive B (no rawfile offset)");
    const int32_t chosen = trackSelector(argv[3]);
    if (chosen < 0)
        puts("trackvalue: Verbose Mode for all Tracks");
    else
        printf("trackvalue: Verbose Mode only for Track: %d\n", chosen);

    const Mode mode = modeWord(argv[4]);
    if (mode == Mode::none || mode == Mode::help || (mode == Mode::binary && argc < 6)) {
        usage();
        return -1;
    }

    readMFMfile(argv[1]);
    int status = 0;
    if (mode == Mode::analyse)
        analysisPass(drive, chosen);
    else
        status = writeImage(drive, argv[1], argv[5]);
    free(f);
    // A report that could not be written whole is a failed run too.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        printFileReason("standard output", strerror(errno));
        status = -1;
    } else if (!outputOpen) {
        printFileReason("standard output", strerror(EBADF));
        status = -1;
    }
    return status;
}
