/*
 * mappedfile.h -- a whole input file's bytes, read-only.
 *
 * A regular file of a megabyte or more is mapped into memory (its pages come
 * from the page cache, no copy); a smaller one, or anything else (a pipe, a
 * device), is read to its end. Mapping costs about half a millisecond
 * however small the file, reading about a millisecond per megabyte: a
 * KryoFlux stream of 130 KB is read, an SCP image of many megabytes mapped.
 * Keeps no process-wide state.
 */
#ifndef MFM_MAPPEDFILE_H
#define MFM_MAPPEDFILE_H

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace mfm {

/* A file that cannot be opened or read; what() is "<path>: <reason>". */
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class MappedFile {
public:
    /* Opens and maps (or reads) `path`; throws FileError. */
    explicit MappedFile(const std::string &path);
    MappedFile() = default;   /* no file: no bytes */
    ~MappedFile();
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::vector<uint8_t> read_;     /* the bytes of a file that was read */
};

}

#endif
