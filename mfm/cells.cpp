// Cell primitives: banner, cell-word decoding, clock checking, bit shifting
// and the CRC of the IBM track format.
#include "mfm/mfm.h"

#include <cstring>

void printversion(const char *name)
{
    printf("%s built using Quillon %08x\n", name, MFM_VERSION);
}

uint8_t decode_byte(const uint8_t *cells)
{
    const unsigned w = (unsigned(cells[0]) << 8) | cells[1];
    unsigned byte = 0;
    for (int k = 0; k < 8; k++)
        byte |= ((w >> (2 * k)) & 1u) << k;
    return uint8_t(byte);
}

int check_byte(const uint8_t *cells, int prev, char *trace)
{
    // Marker of each cell pair (clock * 2 + data), after a data bit 0 and 1:
    // after a 0 exactly one cell must be set, after a 1 the clock must be 0.
    static const char *const marker[2][4] = {
        {"(er0)", "(ok0)", "(ok0)", "(er0)"},
        {"(ok1)", "(ok1)", "(er1)", "(er1)"},
    };
    const unsigned w = (unsigned(cells[0]) << 8) | cells[1];
    int last = prev != 0;
    int error = 0;
    memcpy(trace, "mfm 0 ..", 8);
    trace[4] = char('0' + last);
    char *out = trace + 8;
    for (int s = 14; s >= 0; s -= 2) {
        const unsigned pair = (w >> s) & 3u;
        const char *m = marker[last][pair];
        *out++ = char('0' + pair);
        memcpy(out, m, 5);
        out += 5;
        error |= m[1] == 'e';
        last = int(pair & 1u);
    }
    *out = '\0';
    return error;
}

// Shifts `length` bytes by `bits`, taking `after` as the byte that follows
// the range. Blocks of 16 read bytes i..i+16 before they write i..i+15, in
// ascending order, so the result equals the byte-by-byte order.
static void shiftRange(uint8_t *data, int32_t length, uint8_t bits, uint8_t after)
{
    if (length <= 0 || bits > 8)
        return;
    const unsigned up = bits, down = 8u - bits;
    int32_t i = 0;
    for (; i + 16 < length; i += 16) {
        uint8_t in[17];
        memcpy(in, data + i, sizeof in);
        for (int k = 0; k < 16; k++)
            data[i + k] = uint8_t((unsigned(in[k]) << up) | (unsigned(in[k + 1]) >> down));
    }
    for (; i < length; i++) {
        const unsigned next = i + 1 < length ? data[i + 1] : after;
        data[i] = uint8_t((unsigned(data[i]) << up) | (next >> down));
    }
}

void shift(uint8_t *data, int32_t length, uint8_t bits)
{
    if (length > 0)
        shiftRange(data, length, bits, data[length]);
}

void shift_end(uint8_t *data, int32_t length, uint8_t bits)
{
    shiftRange(data, length, bits, 0);
}

uint16_t crc16(const uint8_t *data, uint16_t length)
{
    unsigned crc = 0xFFFF;
    for (unsigned i = 0; i < length; i++)
        for (int bit = 7; bit >= 0; bit--) {
            const unsigned in = (data[i] >> bit) & 1u;
            if (((crc >> 15) & 1u) != in)
                crc = ((crc << 1) ^ 0x1021) & 0xFFFF;
            else
                crc = (crc << 1) & 0xFFFF;
        }
    return uint16_t(crc);
}

namespace {
// Slicing-by-8 tables: t[k][b] is the CRC contribution of byte b followed by
// k zero bytes, so eight input bytes fold into the CRC in one step.
struct CrcTables {
    uint16_t t[8][256];
    constexpr CrcTables() : t()
    {
        for (unsigned b = 0; b < 256; b++) {
            unsigned crc = b << 8;
            for (int k = 0; k < 8; k++)
                crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
            t[0][b] = uint16_t(crc);
        }
        for (int k = 1; k < 8; k++)
            for (unsigned b = 0; b < 256; b++)
                t[k][b] = uint16_t((t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 8]);
    }
};
constexpr CrcTables crcTables;
}

uint16_t crc16_table(const uint8_t *data, uint16_t length)
{
    const auto &t = crcTables.t;
    unsigned crc = 0xFFFF;
    unsigned i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint8_t *d = data + i;
        crc = t[7][d[0] ^ (crc >> 8)] ^ t[6][d[1] ^ (crc & 0xFF)] ^ t[5][d[2]] ^ t[4][d[3]] ^ t[3][d[4]] ^
              t[2][d[5]] ^ t[1][d[6]] ^ t[0][d[7]];
    }
    for (; i < length; i++)
        crc = ((crc << 8) ^ t[0][((crc >> 8) ^ data[i]) & 0xFF]) & 0xFFFF;
    return uint16_t(crc);
}
