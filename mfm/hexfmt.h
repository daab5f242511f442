// Internal: fast lower-case hex formatting for the dumps, which print
// hundreds of thousands of bytes in a verbose run.
#ifndef MFM_HEXFMT_H
#define MFM_HEXFMT_H

#include <cstdint>

namespace hexfmt {

inline constexpr char digits[] = "0123456789abcdef";

// Writes `value` as two hex digits; returns the position after them.
inline char *byte(char *out, unsigned value)
{
    out[0] = digits[(value >> 4) & 15];
    out[1] = digits[value & 15];
    return out + 2;
}

// Writes `value` as printf's "%04x" would: at least four digits.
inline char *word(char *out, uint32_t value)
{
    int n = 4;
    while (n < 8 && (value >> (4 * n)) != 0)
        n++;
    for (int i = n - 1; i >= 0; i--)
        *out++ = digits[(value >> (4 * i)) & 15];
    return out;
}

// Text column of the hex dump: printable ASCII as itself, the rest '.'.
inline char text(uint8_t b) { return b >= 0x20 && b < 0x7F ? char(b) : '.'; }

}

#endif
