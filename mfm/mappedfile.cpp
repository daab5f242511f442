// Input files: mapped when they are regular files, read otherwise.
#include "mfm/mappedfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace mfm {

namespace {

constexpr size_t READ_BLOCK = size_t(1) << 20;
constexpr off_t MAP_AT_LEAST = off_t(1) << 20;    // smaller files are read

[[noreturn]] void fail(const std::string &path, int error) { throw FileError(path + ": " + strerror(error)); }

struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

}

MappedFile::MappedFile(const std::string &path, uint64_t limit, Load load) : path_(path)
{
    Descriptor d{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (d.fd < 0)
        fail(path, errno);
    struct stat st {};
    if (fstat(d.fd, &st) != 0)
        fail(path, errno);
    if (S_ISDIR(st.st_mode))
        fail(path, EISDIR);
    const bool regular = S_ISREG(st.st_mode);
    const uint64_t wanted = regular ? std::min(uint64_t(st.st_size), limit) : limit;
    if (regular) {
        fileSize_ = uint64_t(st.st_size);
        cut_ = fileSize_ > limit;
    }
    if (regular && load == Load::mapped && wanted >= uint64_t(MAP_AT_LEAST)) {
        void *p = mmap(nullptr, size_t(wanted), PROT_READ, MAP_PRIVATE | MAP_POPULATE, d.fd, 0);
        if (p != MAP_FAILED) {
            data_ = static_cast<const uint8_t *>(p);
            size_ = size_t(wanted);
            mapped_ = true;
            return;
        }
    }
    // A regular file in one read (and one more to see its end); anything
    // else a block at a time, up to the limit and one byte past it.
    const size_t block = regular ? size_t(wanted) + 1 : READ_BLOCK;
    const uint64_t most = wanted == WHOLE ? WHOLE : wanted + 1;
    if (!regular && most != WHOLE)
        read_.reserve(size_t(most));   // address space only: no doubling past the limit
    while (read_.size() < most) {
        const size_t at = read_.size();
        const size_t n = size_t(std::min<uint64_t>(block, most - at));
        read_.resize(at + n);
        const ssize_t got = read(d.fd, read_.data() + at, n);
        if (got < 0 && errno == EINTR) {
            read_.resize(at);
            continue;
        }
        if (got < 0)
            fail(path, errno);
        read_.resize(at + size_t(got));
        if (got == 0)
            break;
    }
    if (read_.size() > wanted) {   // the byte past the limit: there is more
        read_.resize(size_t(wanted));
        cut_ = true;
    }
    if (!regular)
        fileSize_ = read_.size();
    data_ = read_.data();
    size_ = read_.size();
}

MappedFile::~MappedFile()
{
    if (mapped_)
        munmap(const_cast<uint8_t *>(data_), size_);
}

MappedFile::MappedFile(MappedFile &&other) noexcept
    : path_(std::move(other.path_)), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)), fileSize_(other.fileSize_), cut_(other.cut_),
      read_(std::move(other.read_))
{
    if (!mapped_ && size_)
        data_ = read_.data();
}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    if (this != &other) {
        if (mapped_)
            munmap(const_cast<uint8_t *>(data_), size_);
        path_ = std::move(other.path_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
        fileSize_ = other.fileSize_;
        cut_ = other.cut_;
        read_ = std::move(other.read_);
        if (!mapped_ && size_)
            data_ = read_.data();
    }
    return *this;
}

}
