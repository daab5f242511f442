// The tests' writer of flux files: SCP images and KryoFlux streams built from
// interval lists (ticks between transitions), with switches that make them
// hostile. Intervals come as plain vectors, so flux from flux_builder fits.
#ifndef TESTS_FLUX_FILES_H
#define TESTS_FLUX_FILES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fluxfiles {

using Intervals = std::vector<uint32_t>;
using Bytes = std::vector<uint8_t>;

// Little-endian 32-bit access to written bytes, for patching them.
uint32_t get32(const Bytes &b, size_t at);
void put32(Bytes &b, size_t at, uint32_t v);

// ------------------------------------------------------------------ SCP --

constexpr size_t SCP_TABLE = 16;  // offset of the track table

struct ScpTrack {
    int number;                           // table index: cylinder * 2 + head
    std::vector<Intervals> revolutions;   // an empty one has no entries
};

struct ScpOptions {
    bool indexCued = true;
    uint8_t heads = 0;          // 0 both, 1 head 0 only, 2 head 1 only
    uint8_t resolution = 0;     // sample period 25 ns x (resolution + 1)
    size_t tableEntries = 168;  // fewer: a short table, the first track right after it
    bool wrongChecksum = false;
};

// An image holding `tracks` (each with the same number of revolutions).
// An interval above 65,535 is written as 0 entries before the remainder, so
// a multiple of 65,536 cannot be written (std::invalid_argument).
Bytes scpImage(const std::vector<ScpTrack> &tracks, const ScpOptions &options = {});

// Offsets inside a written image: track `number`'s table entry, and the
// entry (duration, count, data offset) of one of its revolutions.
size_t scpTableEntry(int number);
size_t scpRevolutionEntry(const Bytes &image, int number, int revolution);

// ------------------------------------------------------------- KryoFlux --

struct KryofluxOptions {
    const char *info = "name=tests";  // text of the information block that starts the stream
    std::optional<double> sck = {};   // adds ", sck=..., ick=..." to it
    bool flux3 = false;               // Flux3 for every value up to 65,535, else the shortest block
    bool nops = false;                // Nop1, Nop2 and Nop3 blocks between intervals
    size_t infoEvery = 0;             // a stream information block after every n intervals
    int64_t positionSkew = 0;         // added to the positions of stream information and end blocks
    size_t indexDelay = 0;            // each index block written this many intervals late
    bool oobPastEnd = false;          // ends with an OOB block whose size runs past the end
};

// A stream file of `intervals` with index pulses during the intervals
// `index` names (FluxTrack's meaning: intervals.size() is after the last).
// It ends with a stream end block and the end-of-file block.
Bytes kryofluxStream(const Intervals &intervals, const std::vector<size_t> &index,
                     const KryofluxOptions &options = {});

}

#endif
