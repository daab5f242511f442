// Raw capture input: loads the capture file once and copies TrackSlots out
// of it. Bytes the file did not deliver read as zero.
#include "mfm/mfm.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

uint8_t *f;
int64_t floaded;

static constexpr size_t READ_BLOCK = size_t(1) << 20;

[[noreturn]] static void outOfMemory()
{
    printf("Out of memory\n");
    exit(-1);
}

static uint8_t *allocate(int64_t bytes)
{
    void *p = malloc(size_t(bytes));
    if (!p)
        outOfMemory();
    return static_cast<uint8_t *>(p);
}

// Reads `size` bytes into `f` in large blocks; returns the bytes delivered.
static int64_t readSized(FILE *fp, int64_t size)
{
    int64_t done = 0;
    while (done < size) {
        const size_t want = size_t(std::min<int64_t>(size - done, int64_t(READ_BLOCK)));
        const size_t got = fread(f + done, 1, want, fp);
        done += int64_t(got);
        if (got < want)
            break;
    }
    return done;
}

// Reads a stream of unknown size to its end, growing `f` as it goes.
static int64_t readStream(FILE *fp)
{
    int64_t capacity = int64_t(READ_BLOCK);
    int64_t done = 0;
    f = allocate(capacity + 1);
    for (;;) {
        if (done == capacity) {
            capacity *= 2;
            void *grown = realloc(f, size_t(capacity) + 1);
            if (!grown)
                outOfMemory();
            f = static_cast<uint8_t *>(grown);
        }
        const size_t want = size_t(capacity - done);
        const size_t got = fread(f + done, 1, want, fp);
        done += int64_t(got);
        if (got < want)
            return done;
    }
}

void readMFMfile(const char *name)
{
    std::error_code ec;
    const auto status = std::filesystem::status(name, ec);
    FILE *fp = std::filesystem::is_directory(status) ? nullptr : fopen(name, "rb");
    if (!fp) {
        printf("File %s not found\n", name);
        exit(-1);
    }
    const bool sized = std::filesystem::is_regular_file(status) || std::filesystem::is_block_file(status);
    int64_t size = -1;
    if (sized && fseek(fp, 0, SEEK_END) == 0) {
        size = int64_t(ftell(fp));
        if (fseek(fp, 0, SEEK_SET) != 0)
            size = -1;
    }
    if (size >= 0) {
        printf("File-Size: %" PRId64 "\n", size);
        f = allocate(size + 1);
        floaded = readSized(fp, size);
        if (floaded < size)
            printf("File read Error (i=%" PRId64 ")\n", floaded);
    } else {
        floaded = readStream(fp);
        printf("File-Size: %" PRId64 "\n", floaded);
        if (ferror(fp))
            printf("File read Error (i=%" PRId64 ")\n", floaded);
    }
    fclose(fp);
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
    memset(buffer, 0, sizeof buffer);
    if (to > from)
        memcpy(buffer + (from - start), f + from, size_t(to - from));
}

int trackSlotLoaded(uint8_t drive, int32_t track)
{
    const int64_t start = slotOffset(drive, track);
    return start >= 0 && start + TRACK_SLOT_SIZE <= floaded;
}
