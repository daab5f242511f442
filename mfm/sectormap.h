/*
 * sectormap.h -- what a recovery found, for people and for programs: the
 * text sector map and summary line, the JSON report and the SVG picture.
 * Each function returns its text; none prints or keeps state.
 */
#ifndef MFM_SECTORMAP_H
#define MFM_SECTORMAP_H

#include "mfm/recovery.h"

#include <span>
#include <string>

namespace mfm {

/* One input of a recovery, as TrackRead::input numbers them. */
struct InputInfo {
    std::string file;
    std::string kind;       /* "raw", "scp" or "kryoflux" */
    std::string drive;      /* "A" or "B" for raw captures, else empty */
};

/* "Geometry: C cylinders, H heads, S sectors of B bytes (from ...)\n",
 * preceded by a line on a double-stepped disk and followed by one on IDs of
 * other cylinders when there are any. */
std::string geometryText(const Recovery &rec);

/* When tracks of the layout are in no input: "cylinders 20-79: not in
 * the capture (the SCP holds 40 tracks)\n", with what each input holds ("the
 * capture ends in slot N", "no stream file for cylinders A-B and more");
 * else nothing. */
std::string notCapturedText(const Recovery &rec, std::span<const InputInfo> inputs);

/* For a merge of several inputs, one line each: "Input N: FILE (KIND):
 * G good sectors, K only from it\n" (numbered from 1, in command-line
 * order); nothing for a single input. */
std::string inputLines(const Recovery &rec, std::span<const InputInfo> inputs);

/* One line per track read, in the order read: "Read N slot S: ..." with,
 * for a flux track, its head, whole revolutions, mean index period and
 * rpm, data rate and the decoder passes that ran; then its sync sequences
 * and good copies and the distinct sectors they hold. */
std::string trackLines(const Recovery &rec);

/* Per head, a grid of one character a sector, cylinders across (at most 72
 * to a block, so that a line fits 80 columns) and sectors down:
 * '.' good, 'C' crc error, 'X' missing, '!' conflict. */
std::string sectorGrid(const Recovery &rec);

/* "Found F of N sectors (P%): G good, E crc error, M missing, K conflicts\n";
 * P is rounded down to a tenth, so it reads 100.0% only when all were found. */
std::string summaryLine(const Recovery &rec);

/* The JSON report (shape in rawimage(1)):
 *   {"geometry": {cylinders, heads, sectors, bytes, source, step},
 *    "inputs": [{index, file, kind, drive}],
 *    "totals": {sectors, found, good, crc_error, missing, conflict, foreign_ids},
 *    "sectors": [{cylinder, head, sector, status, copies, good_copies, voted,
 *                 deleted, source: {input, slot, head, bit, revolution, pass}
 *                 or null}]}
 * Two spaces of indentation, a newline at the end. A file name's bytes
 * that are not UTF-8 are each replaced by U+FFFD. */
std::string jsonReport(const Recovery &rec, std::span<const InputInfo> inputs);

/* An SVG picture: one disc per head, one ring per cylinder (cylinder 0
 * outside), each sector an arc from the top, clockwise, coloured by status
 * (a black dot on one with a deleted-data mark, a white one on bytes voted
 * from bad reads), with a legend and the totals. */
std::string svgMap(const Recovery &rec);

}

#endif
