// Encodes bytes with the installed library, decodes them back, and finds a
// field with the installed scanner.
#include <mfm/mfm.h>
#include <mfm/scanner.h>

int main()
{
    const uint8_t field[] = {0x00, 0xA1, 0xA1, 0xA1, 0xFE, 0x01, 0x00, 0x02, 0x02};
    for (size_t i = 0; i < sizeof field; i++)
        ddisk[i] = field[i];
    encodeDisk();
    syncDisk();
    bool ok = decode_byte(disk + 2) == 0xA1 && decode_byte(disk + 8) == 0xFE && crc16_table(disk, 4) == crc16(disk, 4);
    mfm::Scanner scanner;
    const auto found = scanner.scan({disk, 2 * sizeof field}, mfm::DataLength::fromId);
    ok = ok && found.size() == 1 && found[0].mark == MARK_ID && found[0].sector == 2 && found[0].bit == 16;
    printversion(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
