// Internal: fast number formatting for the reports, which print hundreds of
// thousands of numbers in a run; each writes what printf would and returns
// the position after it.
#ifndef MFM_HEXFMT_H
#define MFM_HEXFMT_H

#include <cstddef>
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

// Writes `value` as printf's "%0<width>u" would: at least `width` digits.
inline char *decimal(char *out, unsigned value, int width = 1)
{
    char digitsBackwards[10];
    int n = 0;
    do {
        digitsBackwards[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; width > n; width--)
        *out++ = '0';
    while (n > 0)
        *out++ = digitsBackwards[--n];
    return out;
}

// Writes `value` as printf's "%d" would.
inline char *signedDecimal(char *out, int32_t value)
{
    if (value < 0)
        *out++ = '-';
    return decimal(out, value < 0 ? 0u - uint32_t(value) : uint32_t(value));
}

// Copies the characters of a string literal, without its terminating zero.
template <size_t N> inline char *literal(char *out, const char (&chars)[N])
{
    for (size_t i = 0; i + 1 < N; i++)
        *out++ = chars[i];
    return out;
}

// Text column of the hex dump: printable ASCII as itself, the rest '.'.
inline char text(uint8_t b) { return b >= 0x20 && b < 0x7F ? char(b) : '.'; }

}

#endif
