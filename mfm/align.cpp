// Whole-track alignment: counts sync words on cell-word boundaries and shifts
// a track one bit at a time until they appear there.
#include "mfm/mfm.h"

// A full slot holds 2 marks per sector x 3 sync words x 2 sides x 18 sectors.
static constexpr int EXPECTED_SYNC_WORDS = 2 * 3 * 2 * 18;
static constexpr int MAX_SHIFTS = 16;

int checkshift(const uint8_t *buf, int32_t len)
{
    int count = 0;
    for (int32_t i = 0; i < len - 2; i += 2)
        if (buf[i] == SYNC_WORD[0] && buf[i + 1] == SYNC_WORD[1])
            count++;
    printf("A1 %d\n", count);
    if (count == 0)
        return 0;
    if (count < EXPECTED_SYNC_WORDS)
        printf("Only %d A1-Marks found (2*3*Sides*Sectorsperside==216 expected) - probably bitshift inside Track\n",
               count);
    return 1;
}

void copytrack(uint8_t drive, int32_t track)
{
    loadTrackSlot(drive, track);
    for (uint8_t shifts = 0; shifts < MAX_SHIFTS; shifts++) {
        if (checkshift(buffer, TRACK_SLOT_SIZE)) {
            printf("shift %d ok\n", shifts);
            return;
        }
        puts("shift nicht ok");
        shift_end(buffer, TRACK_SLOT_SIZE, 1);
    }
}
