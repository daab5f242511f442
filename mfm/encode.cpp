// MFM encoder: the decoded disk image into cells, as one continuous stream.
#include "mfm/mfm.h"

namespace {
// Data byte -> cell word with data bit i at bit 2i and all clock cells 0.
struct SpreadTable {
    uint16_t t[256];
    constexpr SpreadTable() : t()
    {
        for (unsigned d = 0; d < 256; d++) {
            unsigned w = 0;
            for (int i = 0; i < 8; i++)
                w |= ((d >> i) & 1u) << (2 * i);
            t[d] = uint16_t(w);
        }
    }
};
constexpr SpreadTable spread;
}

void encodeDisk()
{
    for (int32_t k = 0; k < DDISK_SIZE; k++) {
        const uint16_t w = spread.t[ddisk[k]];
        disk[2 * k] = uint8_t(w >> 8);
        disk[2 * k + 1] = uint8_t(w);
    }
    // A clock cell is 1 exactly when the data cells on both sides are 0; the
    // one in bit 7 looks back at bit 0 of the previous byte.
    unsigned previous = 0;
    for (int32_t j = 0; j < DISK_SIZE; j++) {
        unsigned x = disk[j];
        if (!(x & 0x40) && !(previous & 0x01))
            x |= 0x80;
        if (!(x & 0x50))
            x |= 0x20;
        if (!(x & 0x14))
            x |= 0x08;
        if (!(x & 0x05))
            x |= 0x02;
        disk[j] = uint8_t(x);
        previous = x;
    }
}
