#include "output.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string failure(const std::string &path, int error) { return path + ": " + strerror(error); }

// The temporary files that exist, for a signal that ends the run to remove:
// names copied into fixed storage, so that the handler reads no memory that
// could be changing. Every change happens with the signals blocked.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t MAX_TEMPS = 16;
std::array<std::array<char, 4096>, MAX_TEMPS> tempNames;
volatile sig_atomic_t tempCount = 0;

extern "C" void removeTemps(int sig)
{
    for (sig_atomic_t i = 0; i < tempCount; i++)
        unlink(tempNames[size_t(i)].data());
    // The handler was reset: the signal ends the run as it would have.
    raise(sig);
}

// Blocks the signals that end a run for as long as it lives.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : ENDING_SIGNALS)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t old_;
};

// Installs removeTemps once, for the signals that the run does not ignore.
void watchSignals()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (const int sig : ENDING_SIGNALS) {
        struct sigaction now {}, before {};
        sigaction(sig, nullptr, &before);
        if (before.sa_handler == SIG_IGN)
            continue;
        now.sa_handler = removeTemps;
        sigemptyset(&now.sa_mask);
        for (const int other : ENDING_SIGNALS)
            sigaddset(&now.sa_mask, other);
        now.sa_flags = SA_RESETHAND;
        sigaction(sig, &now, nullptr);
    }
}

// The registry of temporary files; call with the signals held.
bool remember(const std::string &temp)
{
    if (size_t(tempCount) >= MAX_TEMPS || temp.size() >= tempNames[0].size())
        return false;
    memcpy(tempNames[size_t(tempCount)].data(), temp.c_str(), temp.size() + 1);
    tempCount = tempCount + 1;
    return true;
}

void forget(const std::string &temp)
{
    for (sig_atomic_t i = 0; i < tempCount; i++)
        if (temp == tempNames[size_t(i)].data()) {
            tempNames[size_t(i)] = tempNames[size_t(tempCount - 1)];
            tempCount = tempCount - 1;
            return;
        }
}

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

constexpr size_t BUFFER_BYTES = 64 * 1024;

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

// What a name stands for: the file it reaches (links followed), or, when
// there is none yet, its path made absolute with the links of its folders
// resolved. Character devices (/dev/null, a terminal) are nothing to clash.
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;     // for a file that does not exist
    bool shared = false;  // a character device

    bool operator==(const Identity &o) const
    {
        return !shared && !o.shared && dev == o.dev && ino == o.ino && path == o.path;
    }
};

std::optional<Identity> identity(const std::string &name, bool mayBeNew)
{
    struct stat st {};
    if (stat(name.c_str(), &st) == 0)
        return Identity{st.st_dev, st.st_ino, "", S_ISCHR(st.st_mode)};
    if (!mayBeNew)
        return std::nullopt;
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(name, ec);
    return Identity{0, 0, ec ? std::filesystem::absolute(name, ec).lexically_normal().string() : canonical.string()};
}

}

std::string outputClash(std::span<const std::string> inputs, std::span<const OutputName> outputs)
{
    std::vector<std::optional<Identity>> in;
    for (const std::string &name : inputs)
        in.push_back(identity(name, false));
    std::vector<std::optional<Identity>> out;
    for (size_t o = 0; o < outputs.size(); o++) {
        const OutputName &name = outputs[o];
        const auto id = name.path == STDOUT_NAME ? std::optional(Identity{0, 0, STDOUT_NAME}) : identity(name.path, true);
        for (size_t i = 0; i < inputs.size(); i++)
            if (id && in[i] && *id == *in[i])
                return name.path + ": the " + name.role + " would replace the input " + inputs[i];
        for (size_t e = 0; e < o; e++)
            if (id && out[e] && *id == *out[e])
                return name.path + ": named both as the " + outputs[e].role + " and as the " + name.role;
        out.push_back(id);
    }
    return "";
}

OutputSet::~OutputSet() { discard(); }

void OutputSet::discard()
{
    const SignalsHeld held;
    for (const Pending &p : pending_) {
        unlink(p.temp.c_str());
        forget(p.temp);
    }
    pending_.clear();
    direct_.clear();
    stdout_.clear();
    log_.clear();
}

void OutputSet::log(const std::string &text) { log_ += text; }

bool OutputSet::add(const std::string &path, std::span<const uint8_t> bytes, std::string &error)
{
    return add(path, [bytes](const mfm::ByteSink &sink) { sink(bytes); }, error);
}

bool OutputSet::add(const std::string &path, const Producer &produce, std::string &error)
{
    // Standard output and devices keep the bytes until commit.
    auto whole = [&] {
        std::string text;
        produce([&](std::span<const uint8_t> piece) { text.append(piece.begin(), piece.end()); });
        return text;
    };
    if (path == STDOUT_NAME) {
        stdout_ += whole();
        return true;
    }
    // A device or a pipe (/dev/stdout, /dev/full) is written as it is: a
    // rename would put a plain file in its place.
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {   // no rename could replace it
        error = failure(path, EISDIR);
        discard();
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        direct_.push_back({path, whole()});
        return true;
    }
    std::string temp = path + ".XXXXXX";
    watchSignals();
    int fd = -1;
    {
        // A signal removes the file from the moment it exists.
        const SignalsHeld held;
        fd = mkstemp(temp.data());
        if (fd >= 0 && !remember(temp)) {
            close(fd);
            unlink(temp.c_str());
            fd = -1;
            errno = ENAMETOOLONG;
        }
    }
    if (fd < 0) {
        error = failure(path, errno);
        discard();
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
        discard();
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
    // Devices first: a summary on standard output follows only outputs
    // that were written.
    for (const Direct &d : direct_) {
        const int fd = open(d.path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && writeAll(fd, reinterpret_cast<const uint8_t *>(d.bytes.data()), d.bytes.size());
        const int writeError = errno;
        if (fd < 0 || close(fd) != 0 || !written) {
            error = failure(d.path, fd >= 0 && written ? errno : writeError);
            discard();
            return false;
        }
    }
    // Standard output: what went through stdio before, then the bytes kept.
    if (fflush(stdout) != 0 ||
        !writeAll(STDOUT_FILENO, reinterpret_cast<const uint8_t *>(stdout_.data()), stdout_.size())) {
        error = failure("standard output", errno);
        discard();
        return false;
    }
    stdout_.clear();
    direct_.clear();
    {
        // The files appear together: a signal waits for the last rename.
        const SignalsHeld held;
        while (!pending_.empty()) {
            if (rename(pending_.front().temp.c_str(), pending_.front().path.c_str()) != 0) {
                error = failure(pending_.front().path, errno);
                discard();
                return false;
            }
            forget(pending_.front().temp);
            pending_.erase(pending_.begin());
        }
    }
    // The log last: a reader that went away (| head) loses only the log.
    logCut_ = fflush(stdout) != 0 ||
              !writeAll(STDOUT_FILENO, reinterpret_cast<const uint8_t *>(log_.data()), log_.size());
    if (logCut_)
        error = failure("standard output", errno);
    log_.clear();
    return true;
}
