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

MappedFile::MappedFile(const std::string &path) : path_(path)
{
    Descriptor d{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (d.fd < 0)
        fail(path, errno);
    struct stat st {};
    if (fstat(d.fd, &st) != 0)
        fail(path, errno);
    if (S_ISDIR(st.st_mode))
        fail(path, EISDIR);
    if (S_ISREG(st.st_mode) && st.st_size >= MAP_AT_LEAST) {
        void *p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, d.fd, 0);
        if (p != MAP_FAILED) {
            data_ = static_cast<const uint8_t *>(p);
            size_ = size_t(st.st_size);
            mapped_ = true;
            return;
        }
    }
    // A regular file in one read (and one more to see its end).
    const size_t block = S_ISREG(st.st_mode) ? std::max(READ_BLOCK, size_t(st.st_size) + 1) : READ_BLOCK;
    for (;;) {
        const size_t at = read_.size();
        read_.resize(at + block);
        const ssize_t got = read(d.fd, read_.data() + at, block);
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
      mapped_(std::exchange(other.mapped_, false)), read_(std::move(other.read_))
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
        read_ = std::move(other.read_);
        if (!mapped_ && size_)
            data_ = read_.data();
    }
    return *this;
}

}
