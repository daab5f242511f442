// Storage of the process-wide buffers shared by the tool and the library.
// Built as its own target so that every executable, test and outside user of
// mfm gets exactly one definition of each.
#include "mfm/mfm.h"

int verbose;
BootRecord boot;
SectorSlot sector[HEADS][SECTOR_IDS];
uint8_t dbuffer[DBUFFER_SIZE];
uint8_t buffer[TRACK_SLOT_SIZE];
uint8_t disk[DISK_SIZE];
uint8_t ddisk[DDISK_SIZE];
