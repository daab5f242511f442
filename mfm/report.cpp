// Track reports: hex dumps, the sector status table and the sector image.
#include "mfm/mfm.h"
#include "mfm/hexfmt.h"

static constexpr int DUMP_LINE_BYTES = 32;

void hexdump(const uint8_t *data, int32_t length)
{
    // One full line: 32 "xx " groups, " -- ", 32 text characters, newline.
    char line[DUMP_LINE_BYTES * 3 + 4 + DUMP_LINE_BYTES + 1];
    char *out = line;
    for (int32_t i = 0; i < length; i++) {
        out = hexfmt::byte(out, data[i]);
        *out++ = ' ';
        if (i % DUMP_LINE_BYTES == DUMP_LINE_BYTES - 1) {
            *out++ = ' ';
            *out++ = '-';
            *out++ = '-';
            *out++ = ' ';
            for (int32_t k = i - (DUMP_LINE_BYTES - 1); k <= i; k++)
                *out++ = hexfmt::text(data[k]);
            *out++ = '\n';
            fwrite(line, 1, size_t(out - line), stdout);
            out = line;
        }
    }
    *out++ = '\n';
    fwrite(line, 1, size_t(out - line), stdout);
}

static bool isValid(int head, int s) { return sector[head][s].valid != 0; }

static void reportInvalid(int head, int s) { printf("** Head %d - Sector %d invalid **\n", head, s); }

void dumpTrackStatus(int32_t track)
{
    // Two frame lines of at most 60 characters, two head lines of at most
    // 170, and the fixed lines: under 480 characters.
    char table[640];
    char *out = hexfmt::literal(table, "\n############ Info Track ");
    out = hexfmt::signedDecimal(out, track);
    out = hexfmt::literal(out, " ################\n\nSector Status Info:\n");
    for (int head = 0; head < HEADS; head++) {
        out = hexfmt::literal(out, "Head ");
        out = hexfmt::decimal(out, unsigned(head));
        out = hexfmt::literal(out, ": ");
        for (int s = 1; s <= IMAGE_SECTORS; s++) {
            out = hexfmt::decimal(out, unsigned(s));
            out = isValid(head, s) ? hexfmt::literal(out, ":Valid ") : hexfmt::literal(out, ":***** ");
        }
        *out++ = '\n';
    }
    out = hexfmt::literal(out, "\n############ End Info Track ");
    out = hexfmt::signedDecimal(out, track);
    out = hexfmt::literal(out, " ##############\n\n");
    fwrite(table, 1, size_t(out - table), stdout);
}

void dumpTrack(FILE *image)
{
    for (int head = 0; head < HEADS; head++)
        for (int s = 1; s <= IMAGE_SECTORS; s++) {
            if (!isValid(head, s))
                reportInvalid(head, s);
            else if (!ferror(image))
                fwrite(sector[head][s].data, 1, SECTOR_SIZE, image);
        }
}

void hexdumpTrack()
{
    for (int head = 0; head < HEADS; head++)
        for (int s = 1; s <= IMAGE_SECTORS; s++) {
            if (isValid(head, s))
                hexdump(sector[head][s].data, SECTOR_SIZE);
            else
                reportInvalid(head, s);
        }
}
