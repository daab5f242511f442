// Boot sector geometry: the BIOS parameter block of a FAT boot sector.
#include "mfm/mfm.h"

#include <cinttypes>

static unsigned le16(const uint8_t *p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
static uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }

void readBootblock(const uint8_t *bs, BootRecord *rec)
{
    rec->bps = uint16_t(le16(bs + 11));
    rec->disktype = bs[21];
    rec->spt = uint16_t(le16(bs + 24));
    rec->heads = uint16_t(le16(bs + 26));
    const unsigned count16 = le16(bs + 19);
    rec->sectors = count16 ? count16 : le32(bs + 32);
    if (rec->heads && rec->spt)
        rec->tracks = uint16_t(rec->sectors / rec->heads / rec->spt);
}

void decodeBootblock(const uint8_t *bs, BootRecord *rec)
{
    readBootblock(bs, rec);

    puts("\n*** Bootsector Info ****\n");
    printf("Disktype=%04x\n", rec->disktype);
    printf("bps=0x%04x\n", rec->bps);
    printf("spt=%d\n", rec->spt);
    printf("heads=%d\n", rec->heads);
    printf("sectors=%" PRIu64 "\n", rec->sectors);
    printf("tracks=%d\n", rec->tracks);
    puts("\n*** End Bootsector Info ****");
}
