// damage_capture: copies a raw capture (drive B) and damages chosen sectors
// in the copy, as a worn disk would: `crc` flips cells in the middle of the
// sector's data field (its data CRC fails), `gone` wipes the sync of its ID
// field (the sector is not found at all).
//
//   damage_capture IN OUT CYL:HEAD:SECTOR:crc|gone...
#include "mfm/mappedfile.h"
#include "mfm/mfm.h"
#include "mfm/scanner.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Damage {
    int cylinder, head, sector;
    bool gone;
    bool done = false;
};

bool parse(const char *text, Damage &d)
{
    char how[8] = {};
    if (sscanf(text, "%d:%d:%d:%7s", &d.cylinder, &d.head, &d.sector, how) != 4)
        return false;
    d.gone = strcmp(how, "gone") == 0;
    return d.gone || strcmp(how, "crc") == 0;
}

void flipCells(uint8_t *slot, int64_t bit, int count)
{
    for (int i = 0; i < count; i++, bit += 2)
        slot[bit >> 3] ^= uint8_t(0x80 >> (bit & 7));
}

}

int main(int argc, char **argv)
{
    std::vector<Damage> damage(argc > 3 ? size_t(argc - 3) : 0);
    for (size_t i = 0; i < damage.size(); i++)
        if (!parse(argv[i + 3], damage[i])) {
            fprintf(stderr, "damage_capture: bad sector '%s': want CYL:HEAD:SECTOR:crc or :gone\n", argv[i + 3]);
            return 2;
        }
    if (argc < 3) {
        fprintf(stderr, "usage: damage_capture IN OUT CYL:HEAD:SECTOR:crc|gone...\n");
        return 2;
    }
    std::vector<uint8_t> capture;
    try {
        const mfm::MappedFile in(argv[1]);
        capture.assign(in.bytes().begin(), in.bytes().end());
    } catch (const mfm::FileError &e) {
        fprintf(stderr, "damage_capture: %s\n", e.what());
        return 2;
    }
    mfm::Scanner scanner;
    for (size_t at = 0; at + TRACK_SLOT_SIZE <= capture.size(); at += TRACK_SLOT_SIZE) {
        uint8_t *slot = capture.data() + at;
        // Scan a copy, so that the damage does not move what is found.
        const std::vector<uint8_t> cells(slot, slot + TRACK_SLOT_SIZE);
        const auto fields = scanner.scan(cells, mfm::DataLength::fromId);
        for (const mfm::Field &fd : fields) {
            if (fd.mark != MARK_DATA || fd.id < 0)
                continue;
            const mfm::Field &id = fields[size_t(fd.id)];
            for (Damage &d : damage)
                if (!d.done && int(at / TRACK_SLOT_SIZE) == d.cylinder && id.track == d.cylinder &&
                    id.side == d.head && id.sector == d.sector) {
                    if (d.gone)
                        flipCells(slot, id.bit + 1, 48);              // the sync's data cells
                    else
                        flipCells(slot, fd.bit + 16 * 200 + 1, 8);    // data cells of byte 196
                    d.done = true;
                }
        }
    }
    for (const Damage &d : damage)
        if (!d.done) {
            fprintf(stderr, "damage_capture: sector %d:%d:%d not found\n", d.cylinder, d.head, d.sector);
            return 1;
        }
    FILE *out = fopen(argv[2], "wb");
    if (!out || fwrite(capture.data(), 1, capture.size(), out) != capture.size() || fclose(out) != 0) {
        fprintf(stderr, "damage_capture: cannot write %s\n", argv[2]);
        return 2;
    }
    return 0;
}
