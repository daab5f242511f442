// Buffer savers and the sync-word rewriting of the MFM disk image.
#include "mfm/mfm.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

void removePartial(const char *name)
{
    struct stat st {};
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode))
        remove(name);
}

// Writes `size` bytes to `name`; reports a file that cannot be created or a
// failed write or close, with the reason, and removes a regular file that
// was not written whole. Never writes through a stream that did not open.
static void saveBuffer(const char *name, const uint8_t *data, size_t size)
{
    FILE *out = fopen(name, "wb");
    if (!out) {
        const int error = errno;
        printf("File %s cannot be created\n", name);
        printFileReason(name, strerror(error));
        return;
    }
    int error = 0;
    if (fwrite(data, 1, size, out) != size)
        error = errno;
    if (fclose(out) != 0 && !error)
        error = errno;
    if (error) {
        printf("File %s write error\n", name);
        printFileReason(name, strerror(error));
        removePartial(name);
    }
}

void saveTrack(const char *name) { saveBuffer(name, buffer, sizeof buffer); }
void saveDecodeTrack(const char *name) { saveBuffer(name, dbuffer, sizeof dbuffer); }
void saveDisk(const char *name) { saveBuffer(name, disk, sizeof disk); }
void saveDecodeDisk(const char *name) { saveBuffer(name, ddisk, sizeof ddisk); }

void syncDisk()
{
    static constexpr uint8_t run[6] = {0x44, 0xA9, 0x44, 0xA9, 0x44, 0xA9};
    const uint8_t *const end = disk + sizeof disk - sizeof run;
    uint8_t *p = disk;
    // Only positions holding 0x44 can start a run; memchr finds them quickly.
    while (p <= end && (p = static_cast<uint8_t *>(memchr(p, run[0], size_t(end - p) + 1))) != nullptr) {
        if (memcmp(p, run, sizeof run) == 0) {
            p[1] = p[3] = p[5] = SYNC_WORD[1];
            p += sizeof run;
        } else {
            p++;
        }
    }
}
