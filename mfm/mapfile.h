/*
 * mapfile.h -- which byte ranges of a recovered image were read well, as a
 * GNU ddrescue mapfile, so that ddrescue's own tools (ddrescuelog) and
 * viewers read it.
 *
 * The text: a comment naming its creator, the status line of a finished
 * rescue ("0x00000000  +  1"), then one line per block, "POS  SIZE  STATUS",
 * both numbers in bytes of the image in hex with 0x. The blocks follow one
 * another without gaps over the whole image, neighbours of one status
 * joined: '+' sectors read well, '-' sectors not (crc error, conflict or
 * missing). An image of no bytes has no block lines.
 *
 * Keeps no state; safe to call from several threads at once.
 */
#ifndef MFM_MAPFILE_H
#define MFM_MAPFILE_H

#include "mfm/recovery.h"

#include <string>

namespace mfm {

/* The mapfile of rec.image; `creator` goes into the first comment line
 * ("# Mapfile. Created by CREATOR"). */
std::string ddrescueMapfile(const Recovery &rec, const std::string &creator);

}

#endif
