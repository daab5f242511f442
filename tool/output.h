// Output files that appear whole or not at all: each one is written to a
// temporary file in its own folder, and commit() renames them all into
// place. Whatever was not committed is removed when the set is destroyed,
// so a failed run leaves no partial file behind and never cuts an existing
// one. A path that names a device or a pipe is written directly.
#ifndef TOOL_OUTPUT_H
#define TOOL_OUTPUT_H

#include "mfm/imagefile.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

class OutputSet {
public:
    OutputSet() = default;
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;
    ~OutputSet();

    // Hands a file's bytes to the sink it is given, piece by piece.
    using Producer = std::function<void(const mfm::ByteSink &)>;

    // Writes `bytes` to a temporary file beside `path`. On failure returns
    // false and sets `error` to "<path>: <reason>".
    bool add(const std::string &path, std::span<const uint8_t> bytes, std::string &error);
    bool add(const std::string &path, const std::string &text, std::string &error);
    // The same with what `produce` hands over; after a failed write the
    // pieces that follow are not written.
    bool add(const std::string &path, const Producer &produce, std::string &error);
    // Renames every temporary file to its path.
    bool commit(std::string &error);

private:
    struct Pending {
        std::string temp, path;
    };
    std::vector<Pending> pending_;
};

#endif
