// What both flux fuzz targets check of a track that read without error:
// index pulses ascending and in range, then the rest of a flux track's road
// (rate, measured cell, PLL, scanner, sector copies with their cells, the
// choice and vote of copies) on it, whose cells must match their count and
// whose marks must ascend. Aborts on any breach.
#ifndef FUZZ_FLUX_CHECK_H
#define FUZZ_FLUX_CHECK_H

#include "mfm/flux.h"
#include "mfm/pll.h"
#include "mfm/recovery.h"
#include "mfm/scanner.h"

#include <cstdlib>

inline void checkFluxTrack(const mfm::FluxTrack &track, size_t inputSize)
{
    if (track.intervals.size() > inputSize || track.index.empty() || !(track.sampleHz > 0))
        abort();
    for (size_t i = 0; i < track.index.size(); i++)
        if (track.index[i] > track.intervals.size() || (i && track.index[i] < track.index[i - 1]))
            abort();

    const int detected = mfm::detectDataRate(track.intervals, track.sampleHz);
    const int rate = detected ? detected : mfm::RATE_250K;
    mfm::PllOptions options;
    options.maxCells = int64_t(1) << 20;   // keeps each input quick
    mfm::CellStream cells;
    const double cell = mfm::measureCellTicks(track.intervals, track.sampleHz * mfm::cellSeconds(rate));
    mfm::fluxToCells(track.intervals, cell, track.index, cells, options);
    if (cells.bytes.size() != size_t((cells.cells + 7) / 8) || cells.marks.size() != track.index.size())
        abort();
    for (size_t i = 0; i < cells.marks.size(); i++)
        if (cells.marks[i] > cells.cells || (i && cells.marks[i] < cells.marks[i - 1]))
            abort();
    mfm::Scanner scanner;
    mfm::TrackRead read;
    read.head = track.head;
    mfm::collectCopies(scanner.scan(cells.bytes, mfm::DataLength::fromId, true), cells.marks, read, cells.bytes);
    // FM's search over the same cells, at both scales.
    for (const int scale : {1, 2})
        mfm::collectCopies(scanner.scanFm(cells.bytes, scale), cells.marks, read, cells.bytes);
    for (const mfm::SectorCopy &c : read.copies)
        if ((c.dataOk && c.idOk && c.clockErrors < 0) || (c.place >= 0 && c.place > cells.cells))
            abort();
    mfm::dropMisplacedCopies(read);
    // Every copy of the track's cylinder 0 placed and voted, in each family.
    for (const mfm::Family family : {mfm::Family::ibm, mfm::Family::amiga, mfm::Family::fm}) {
        mfm::RecoveryOptions layout;
        layout.geometry = mfm::Geometry{1, 2, 255, 512, family == mfm::Family::amiga ? 0 : 1, family};
        layout.fill = 0;
        const mfm::Recovery rec = mfm::recoverDisk(std::span(&read, 1), layout);
        if (rec.image.size() != size_t(rec.geometry.imageBytes()))
            abort();
    }
}

#endif
