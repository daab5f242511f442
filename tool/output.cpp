#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t BUFFER_BYTES = 64 * 1024;

std::string failure(const std::string &path, int error) { return path + ": " + strerror(error); }

bool writeAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done == 0)
            errno = ENOSPC;   // no progress and no reason given: a full device
        if (done <= 0)
            return false;
        p += done;
        n -= size_t(done);
    }
    return true;
}

// Writes every piece `produce` hands over, small ones gathered into writes
// of BUFFER_BYTES, until a write fails: then false, with errno saying why.
bool writePieces(int fd, const OutputSet::Producer &produce)
{
    std::vector<uint8_t> buffer;
    buffer.reserve(BUFFER_BYTES);
    bool ok = true;
    int why = 0;
    auto write = [&](std::span<const uint8_t> bytes) {
        if (ok && !writeAll(fd, bytes.data(), bytes.size()))
            ok = false, why = errno;
    };
    produce([&](std::span<const uint8_t> piece) {
        if (buffer.size() + piece.size() > BUFFER_BYTES) {
            write(buffer);
            buffer.clear();
        }
        if (piece.size() >= BUFFER_BYTES)
            write(piece);
        else
            buffer.insert(buffer.end(), piece.begin(), piece.end());
    });
    write(buffer);
    errno = why;
    return ok;
}

}

OutputSet::~OutputSet()
{
    for (const Pending &p : pending_)
        unlink(p.temp.c_str());
}

bool OutputSet::add(const std::string &path, std::span<const uint8_t> bytes, std::string &error)
{
    return add(path, [bytes](const mfm::ByteSink &sink) { sink(bytes); }, error);
}

bool OutputSet::add(const std::string &path, const Producer &produce, std::string &error)
{
    // A device or a pipe (/dev/stdout, /dev/full) is written as it is: a
    // rename would put a plain file in its place.
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && writePieces(fd, produce);
        const int writeError = errno;
        if (fd < 0 || close(fd) != 0 || !written) {
            error = failure(path, fd >= 0 && written ? errno : writeError);
            return false;
        }
        return true;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = failure(path, errno);
        return false;
    }
    // A new file gets the permissions an ordinary create would give it.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    pending_.push_back({temp, path});
    const bool written = writePieces(fd, produce);
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        error = failure(path, written ? errno : writeError);
        return false;
    }
    return true;
}

bool OutputSet::add(const std::string &path, const std::string &text, std::string &error)
{
    return add(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text.data()), text.size()), error);
}

bool OutputSet::commit(std::string &error)
{
    for (size_t i = 0; i < pending_.size(); i++) {
        if (rename(pending_[i].temp.c_str(), pending_[i].path.c_str()) != 0) {
            error = failure(pending_[i].path, errno);
            pending_.erase(pending_.begin(), pending_.begin() + long(i));
            return false;
        }
    }
    pending_.clear();
    return true;
}
