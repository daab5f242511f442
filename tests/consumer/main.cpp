// Encodes a byte with the installed library and decodes it back.
#include <mfm/mfm.h>

int main()
{
    ddisk[0] = 0xA1;
    ddisk[1] = 0x4E;
    encodeDisk();
    const bool ok = decode_byte(disk) == 0xA1 && decode_byte(disk + 2) == 0x4E && crc16_table(disk, 4) == crc16(disk, 4);
    printversion(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
