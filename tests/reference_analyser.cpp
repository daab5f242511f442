#include "reference_analyser.h"

#include "mfm/mfm.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int WINDOW_SHIFTED = 1046;
constexpr int WINDOW_SAVED = 1048;

// The track buffer followed by zero bytes: cells beyond its end read as zero.
uint8_t track[TRACK_SLOT_SIZE + WINDOW_SAVED];

struct State {
    uint8_t last = 0;
    int counter = 0;
    uint8_t idTrack = 0, idSide = 0, idSector = 0;
    bool idCrcOk = false;
    long idBit = 0;         // first cell of the last ID field's sync
    uint8_t crc[516] = {0xA1, 0xA1, 0xA1};
};

void verdict(unsigned stored, unsigned computed)
{
    if (stored == computed)
        printf("crc ok\n");
    else
        printf("crc Error: %04x -- %04x\n", stored, computed);
}

void mark(State &st, const uint8_t *w, int p, int s, int verbose_flag)
{
    const uint8_t m = decode_byte(w + 6);
    if (verbose_flag)
        printf("\n");
    printf("%03d: shift %d ok %04x -- a1 a1 a1 %02x: ", st.counter, s, p, m);
    if (m == 0xFE) {
        if (st.last != 0 && st.last != 0xFB)
            printf("*** Unexpected Mark *** ");
        st.idTrack = decode_byte(w + 8);
        st.idSide = decode_byte(w + 10);
        st.idSector = decode_byte(w + 12);
        const uint8_t size = decode_byte(w + 14);
        printf("Track: %02d ", st.idTrack);
        printf("Side: %01d ", st.idSide);
        printf("Sector: %02d ", st.idSector);
        printf("Size: %01d ", size);
        st.crc[3] = 0xFE, st.crc[4] = st.idTrack, st.crc[5] = st.idSide, st.crc[6] = st.idSector, st.crc[7] = size;
        const unsigned computed = crc16(st.crc, 8);
        const unsigned stored = unsigned(decode_byte(w + 16)) << 8 | decode_byte(w + 18);
        verdict(stored, computed);
        st.idCrcOk = stored == computed;
        st.idBit = 8L * p + s;
        st.last = 0xFE;
    } else if (m == 0xFB) {
        const bool introduced = st.last == 0xFE;
        if (!introduced)
            printf("*** Unexpected Mark *** ");
        printf("Data Mark ");
        for (int i = 0; i < 512; i++) {
            st.crc[4 + i] = decode_byte(w + 8 + 2 * i);
            if (verbose_flag) {
                if (i % 16 == 0)
                    printf("\n%04x:", p + 8 + 2 * i);
                printf(" %02x%02x", w[8 + 2 * i], w[9 + 2 * i]);
            }
        }
        if (verbose_flag) {
            if (st.idTrack == 0 && st.idSide == 0 && st.idSector == 1)
                decodeBootblock(st.crc + 4, &boot);
            else
                printf("\n");
            for (int i = 0; i < 512; i++) {
                printf("%02x ", st.crc[4 + i]);
                if (i % 32 == 31) {
                    printf(" -- ");
                    for (int k = i - 31; k <= i; k++)
                        putchar(st.crc[4 + k] >= 0x20 && st.crc[4 + k] <= 0x7E ? st.crc[4 + k] : '.');
                    printf("\n");
                }
            }
            printf("\n");
        }
        st.crc[3] = 0xFB;
        const unsigned computed = crc16(st.crc, 516);
        const unsigned stored = unsigned(decode_byte(w + 1032)) << 8 | decode_byte(w + 1034);
        verdict(stored, computed);
        // A data field more than 80 bytes behind the last ID is not its.
        const bool bound = introduced && 8L * p + s - st.idBit <= 1280;
        if (bound && st.idSide < 2) {
            SectorSlot &slot = sector[st.idSide][st.idSector];
            const bool good = st.idCrcOk && stored == computed;
            if (!slot.valid || !slot.good || good) {
                memcpy(slot.data, st.crc + 4, 512);
                slot.good = good;
            }
            slot.valid = 1;
        }
        st.last = 0xFB;
    } else {
        printf("unknown Mark\n");
    }
    st.counter++;
}

}

void reference_analyse_track(int drive, int trackNumber, int verbose_flag)
{
    loadTrackSlot(uint8_t(drive), trackNumber);
    memcpy(track, buffer, TRACK_SLOT_SIZE);
    memset(track + TRACK_SLOT_SIZE, 0, WINDOW_SAVED);
    State st;
    for (int p = 0; p < TRACK_SLOT_SIZE; p += 2) {
        uint8_t saved[WINDOW_SAVED];
        uint8_t *w = track + p;
        memcpy(saved, w, WINDOW_SAVED);
        for (int s = 0; s < 16; s++) {
            const unsigned three = unsigned(decode_byte(w)) << 16 | unsigned(decode_byte(w + 2)) << 8 | decode_byte(w + 4);
            if (three == 0xA1A1A1) {
                mark(st, w, p, s, verbose_flag);
                break;
            }
            shift(w, WINDOW_SHIFTED, 1);
        }
        memcpy(w, saved, WINDOW_SAVED);
    }
}
