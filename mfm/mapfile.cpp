// The image's byte ranges as a GNU ddrescue mapfile.
#include "mfm/mapfile.h"

#include <cinttypes>
#include <cstdio>

namespace mfm {

namespace {

constexpr char GOOD = '+', BAD = '-', NON_TRIED = '?';

std::string block(int64_t pos, int64_t size, char status)
{
    char line[64];
    snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", uint64_t(pos), uint64_t(size), status);
    return line;
}

}

std::string ddrescueMapfile(const Recovery &rec, const std::string &creator)
{
    std::string text = "# Mapfile. Created by " + creator +
                       "\n# current_pos  current_status  current_pass\n0x00000000     +               1\n"
                       "#      pos        size  status\n";
    const int64_t bytes = rec.geometry.bytes;
    int64_t start = 0, at = 0;
    char status = GOOD;
    for (const RecoveredSector &s : rec.sectors) {
        const char now = s.status == SectorStatus::good          ? GOOD
                         : s.status == SectorStatus::notCaptured ? NON_TRIED
                                                                 : BAD;
        if (now != status && at > start) {
            text += block(start, at - start, status);
            start = at;
        }
        status = now;
        at += bytes;
    }
    if (at > start)
        text += block(start, at - start, status);
    return text;
}

}
