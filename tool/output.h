// Output files that appear whole or not at all: each one is written to a
// temporary file in its own folder, and commit() renames them all into
// place. A failed add() or commit(), discard() and the destructor remove
// every temporary file not yet renamed, and so does a signal that ends the
// run (SIGINT, SIGTERM, SIGHUP, SIGQUIT), so a failed or interrupted run
// leaves no partial file behind and never cuts an existing one. A path that
// names a device or a pipe (/dev/stdout, /dev/full) is written as it is,
// and "-" is standard output: their bytes are kept until commit(), which
// writes them (devices first, then standard output) before any rename, so
// that a run whose standard output or device fails renames nothing. The
// log, the text a run prints, is written last: when standard output has
// gone (| head), the outputs are in place all the same and logCut() says
// so.
//
// Before any of that, outputClash() tells whether an output names an input
// or another output.
#ifndef TOOL_OUTPUT_H
#define TOOL_OUTPUT_H

#include "mfm/imagefile.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Standard output where a file name is expected.
inline const std::string STDOUT_NAME = "-";

// An output file and what it is, for messages ("image", "report" ...).
struct OutputName {
    std::string path;
    std::string role;
};

// The first output that names one of `inputs` (the same file by device and
// inode, through hard or symbolic links too) or the same file as an earlier
// output (by device and inode, or by path when it does not exist yet), as
// "<path>: <why>"; empty when there is none. Devices other than regular
// files may be named by several outputs; "-" is not a file.
std::string outputClash(std::span<const std::string> inputs, std::span<const OutputName> outputs);

class OutputSet {
public:
    OutputSet() = default;
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;
    ~OutputSet();

    // Writes `bytes` to a temporary file beside `path`. On failure removes
    // every temporary file, returns false and sets `error` to
    // "<path>: <reason>".
    bool add(const std::string &path, std::span<const uint8_t> bytes, std::string &error);
    bool add(const std::string &path, const std::string &text, std::string &error);
    // Hands a file's bytes to the sink it is given, piece by piece.
    using Producer = std::function<void(const mfm::ByteSink &)>;
    // The same with what `produce` hands over: a file is written as the
    // pieces come (small ones gathered), so that its bytes need not be held
    // whole; after a failed write the pieces that follow are not written.
    bool add(const std::string &path, const Producer &produce, std::string &error);
    // Text for standard output after everything else (see logCut).
    void log(const std::string &text);
    // Writes what is kept for standard output and devices, then renames
    // every temporary file to its path, then writes the log; on failure
    // (of anything but the log) removes what is left.
    bool commit(std::string &error);
    // Whether the last commit could not write the whole log (`error` then
    // says why, though commit returned true).
    bool logCut() const { return logCut_; }
    // Removes every temporary file and forgets the bytes kept.
    void discard();

private:
    struct Pending {
        std::string temp, path;
    };
    struct Direct {
        std::string path, bytes;
    };
    std::vector<Pending> pending_;
    std::vector<Direct> direct_;   // devices and pipes
    std::string stdout_;
    std::string log_;
    bool logCut_ = false;
};

#endif
