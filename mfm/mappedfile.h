/*
 * mappedfile.h -- a whole input file's bytes, read-only.
 *
 * A regular file of a megabyte or more is mapped into memory (its pages come
 * from the page cache, no copy); a smaller one, or anything else (a pipe, a
 * device), is read to its end. Mapping costs about half a millisecond
 * however small the file, reading about a millisecond per megabyte: a
 * KryoFlux stream of 130 KB is read, an SCP image of many megabytes mapped.
 * A limit bounds what is kept: of a regular file only its first `limit`
 * bytes are mapped or read, of a pipe or device only `limit` bytes are
 * read (and one more to tell whether there are more), so that neither a
 * huge sparse file nor /dev/zero costs more memory than the caller can use.
 * Asked to (Load::read), a file is read whatever its size: the caller's
 * allocator then holds the bytes (in huge pages, where it has them), which a
 * program that scans every byte of a large file once reads faster than
 * small pages of a mapping.
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
    /* No bound on what is read. */
    static constexpr uint64_t WHOLE = UINT64_MAX;
    /* How a regular file of a megabyte or more is loaded. */
    enum class Load { mapped, read };

    /* Opens and maps (or reads) at most `limit` bytes of `path`; throws
     * FileError. */
    explicit MappedFile(const std::string &path, uint64_t limit = WHOLE, Load load = Load::mapped);
    MappedFile() = default;   /* no file: no bytes */
    ~MappedFile();
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    const std::string &path() const { return path_; }
    /* The file's length: a regular file's whole size, else the bytes kept. */
    uint64_t fileSize() const { return fileSize_; }
    /* The file holds more than bytes() (the limit cut it). */
    bool cut() const { return cut_; }

private:
    std::string path_;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    uint64_t fileSize_ = 0;
    bool cut_ = false;
    std::vector<uint8_t> read_;     /* the bytes of a file that was read */
};

}

#endif
