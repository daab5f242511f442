// Raw capture input: loads the part of the capture file that slots can
// address, once, and copies TrackSlots out of it. Bytes the file did not
// deliver read as zero.
#include "mfm/mfm.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

uint8_t *f;
int64_t floaded;

namespace {

// Blocks of at least this size are aligned to it and advised as huge pages:
// the first touch of fresh memory then maps 2 MiB at once instead of 4 KiB,
// and those page faults are most of what loading a capture costs.
constexpr size_t HUGE_PAGE = size_t(1) << 21;
// Bytes past the addressable part of a stream are read into this and dropped.
constexpr size_t DISCARD_BLOCK = size_t(1) << 16;

[[noreturn]] void outOfMemory()
{
    printf("Out of memory\n");
    exit(-1);
}

// A block that free() releases.
uint8_t *allocate(size_t bytes)
{
    void *p = nullptr;
    if (bytes >= HUGE_PAGE) {
        const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        p = aligned_alloc(HUGE_PAGE, rounded);
#ifdef MADV_HUGEPAGE
        if (p)
            madvise(p, rounded, MADV_HUGEPAGE);   // only a hint: without it, small pages
#endif
    } else {
        p = malloc(bytes);
    }
    if (!p)
        outOfMemory();
    return static_cast<uint8_t *>(p);
}

// Reads up to `size` bytes into `to`; returns the bytes delivered, and in
// `error` the reason when a read failed (0 at the end of the file).
int64_t readUpTo(int fd, uint8_t *to, int64_t size, int &error)
{
    int64_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t got = read(fd, to + done, size_t(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = errno;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

// Reads the rest of a stream without keeping it; returns the bytes read.
int64_t countRest(int fd, int &error)
{
    static uint8_t discard[DISCARD_BLOCK];
    int64_t total = 0;
    for (;;) {
        const int64_t got = readUpTo(fd, discard, sizeof discard, error);
        total += got;
        if (got < int64_t(sizeof discard))
            return total;
    }
}

void readFailure(const char *name, int64_t at, int error)
{
    printf("File read Error (i=%" PRId64 ")\n", at);
    printFileReason(name, error ? strerror(error) : "the file ended early");
}

}

void printFileReason(const char *name, const char *reason)
{
    fflush(stdout);
    fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, name, reason);
}

void readMFMfile(const char *name)
{
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    const int error = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error) {
        printf("File %s not found\n", name);
        printFileReason(name, strerror(error));
        exit(-1);
    }
    // Regular files and block devices are sized by seeking; anything else is
    // a stream, read to its end and sized by counting.
    int64_t size = -1;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        const off_t end = lseek(fd, 0, SEEK_END);
        if (end >= 0 && lseek(fd, 0, SEEK_SET) == 0)
            size = end;
    }
    int readError = 0;
    if (size >= 0) {
        printf("File-Size: %" PRId64 "\n", size);
        const int64_t keep = std::min(size, CAPTURE_BYTES);
        f = allocate(size_t(keep) + 1);
        floaded = readUpTo(fd, f, keep, readError);
        if (floaded < keep)
            readFailure(name, floaded, readError);
    } else {
        f = allocate(size_t(CAPTURE_BYTES) + 1);
        floaded = readUpTo(fd, f, CAPTURE_BYTES, readError);
        int64_t total = floaded;
        if (floaded == CAPTURE_BYTES)
            total += countRest(fd, readError);
        printf("File-Size: %" PRId64 "\n", total);
        if (readError)
            readFailure(name, total, readError);
    }
    close(fd);
}

static int64_t slotOffset(uint8_t drive, int32_t track)
{
    return (int64_t(drive) * SLOTS_PER_DRIVE + int64_t(track)) * TRACK_SLOT_SIZE;
}

void loadTrackSlot(uint8_t drive, int32_t track)
{
    const int64_t start = slotOffset(drive, track);
    const int64_t from = std::clamp<int64_t>(start, 0, floaded);
    const int64_t to = std::clamp<int64_t>(start + TRACK_SLOT_SIZE, 0, floaded);
    if (to - from < TRACK_SLOT_SIZE)
        memset(buffer, 0, sizeof buffer);
    if (to > from)
        memcpy(buffer + (from - start), f + from, size_t(to - from));
}

int trackSlotLoaded(uint8_t drive, int32_t track)
{
    const int64_t start = slotOffset(drive, track);
    return start >= 0 && start + TRACK_SLOT_SIZE <= floaded;
}
