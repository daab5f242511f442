// Shared test helpers: a cell writer that builds captures from sector data
// at any bit offset, stdout capture, and running the real executables.
#ifndef TESTS_HELPERS_H
#define TESTS_HELPERS_H

#include "mfm/mfm.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Writes MFM cells into a byte array from any bit offset; cells that fall
// beyond the end of the array are dropped.
class CellWriter {
public:
    CellWriter(std::vector<uint8_t> &cells, int64_t bit) : cells_(cells), bit_(bit) {}

    void word(unsigned w);                 // 16 raw cells, most significant first
    void byte(uint8_t d);                  // one data byte with MFM clocking
    void bytes(const uint8_t *d, size_t n);
    void fill(uint8_t d, size_t n);
    void sync();                           // A1 with the missing clock (44 89)
    int64_t bit() const { return bit_; }

    // 12 x 00, sync x 3, FE, C H R N, CRC (broken on request), 22 x 4E.
    void idField(uint8_t track, uint8_t side, uint8_t sector, uint8_t size = 2, bool crcOk = true);
    // 12 x 00, sync x 3, the mark (FB), `size` bytes, CRC (broken on
    // request), 40 x 4E.
    void dataField(const uint8_t *data, bool crcOk = true, size_t size = SECTOR_SIZE, uint8_t mark = MARK_DATA);
    // Both fields of one sector.
    void sectorFields(uint8_t track, uint8_t side, uint8_t sector, const uint8_t *data);

private:
    void cell(int v);
    std::vector<uint8_t> &cells_;
    int64_t bit_;
    int lastData_ = 0;
};

// `size` bytes of recognisable content for sector (track, side, sector).
std::vector<uint8_t> sectorData(int track, int side, int sector, size_t size = SECTOR_SIZE);

// A formatted track slot with the given sectors of both heads, head 1's
// fields starting half a slot later; every field starts at `bitOffset` + a
// multiple of 16 cells. Sectors hold 128 << sizeCode bytes; head 0's sector
// 1 holds `first` instead when it is not empty.
std::vector<uint8_t> formattedSlot(int track, int sectors, int64_t bitOffset, uint8_t sizeCode = 2,
                                   const std::vector<uint8_t> &first = {});

// Makes `capture` the loaded raw capture (f and floaded point into it).
void useCapture(std::vector<uint8_t> &capture);

// Everything the callable printed on standard output.
std::string captureStdout(const std::function<void()> &fn);

struct RunResult {
    int status;          // exit status, 0..255
    std::string out;     // standard output
    std::string err;     // standard error
    std::string all() const { return out + err; }
};
// Runs a program with arguments (each passed as one word) and no input.
RunResult runProgram(const std::string &program, const std::vector<std::string> &args);

// How a run under limits ended.
struct LimitedRun {
    int status;          // exit status, or -1 when a signal ended the run
    int signal;          // the signal that ended the run, or 0
    bool timedOut;       // still running after its time, so killed
    long peakKiB;        // peak resident memory
};
// Runs a program with input and output on /dev/null, its address space
// capped at `addressBytes` (0: no cap), killed after `seconds`.
LimitedRun runLimited(const std::string &program, const std::vector<std::string> &args, size_t addressBytes,
                      double seconds);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::vector<uint8_t> &bytes);
// A fresh empty directory for one test.
std::string tempDir();

// Cell `i` of packed cells (eight to a byte, the earliest in bit 7), read or set.
bool cellAt(const std::vector<uint8_t> &cells, int64_t i);
void setCell(std::vector<uint8_t> &cells, int64_t i, bool v);

#endif
