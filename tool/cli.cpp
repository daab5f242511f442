#include "cli.h"

#include "mfm/mfm.h"
#include "output.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace cli {

namespace {
const char *program = "";
constexpr size_t MAX_THREADS = 16;
constexpr uintptr_t HUGE_PAGE = uintptr_t(1) << 21;
void *volatile heapPrefix = nullptr;   // hugePageHeap's stretch kept from use (volatile: the
                                       // compiler may not drop the allocation)
}

void setProgram(const char *name) { program = name; }

void fail(const std::string &what)
{
    fprintf(stderr, "%s: %s\n", program, what.c_str());
    exit(EXIT_TROUBLE);
}

void badUsage(const std::string &what)
{
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, what.c_str(), program);
    exit(EXIT_TROUBLE);
}

void badOption(int c, const char *word)
{
    // A short option is named by its letter: in a bundle (-qx) the word
    // holds others, or is a word before it.
    const bool isLong = strncmp(word, "--", 2) == 0;
    const std::string name = !isLong && optopt > 0 && optopt < 128 ? std::string("-") + char(optopt)
                                                                     : std::string(word).substr(0, strcspn(word, "="));
    badUsage("option '" + name + (c == ':' ? "' needs a value" : "' is unknown"));
}

void once(bool given, const char *option)
{
    if (given)
        badUsage(std::string(option) + " given twice");
}

std::string programVersion()
{
    char library[16];
    snprintf(library, sizeof library, "%08x", MFM_VERSION);
    return std::string(program) + " " + RAWSCAN_VERSION + " (mfm " + library + ")";
}

void version()
{
    printf("%s\n", programVersion().c_str());
    exit(0);
}

int parseRate(const std::string &text)
{
    if (text != "250" && text != "300" && text != "500")
        badUsage("bad data rate '" + text + "': want 250, 300 or 500 (kbit/s)");
    return std::stoi(text) * 1000;
}

bool parseDrive(const std::string &text)
{
    if (text != "A" && text != "a" && text != "B" && text != "b")
        badUsage("bad drive '" + text + "': want A, a, B or b");
    return text == "A" || text == "a";
}

void refuseClashes(const std::vector<std::string> &inputs, const std::vector<OutputName> &outputs)
{
    const std::string clash = outputClash(inputs, outputs);
    if (!clash.empty())
        fail(clash);
}

std::span<const uint8_t> bytesOf(const std::string &text)
{
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

bool writeOutputs(std::span<const OutputFile> files, const std::string &text)
{
    const bool textToStderr =
        std::any_of(files.begin(), files.end(), [](const OutputFile &file) { return file.path == STDOUT_NAME; });
    // A closed pipe is a failed write, reported, not a signal that ends the
    // run with temporary files left behind.
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    bool cut = false;
    {
        OutputSet out;
        bool ok = true;
        for (const OutputFile &file : files)
            ok = ok && (file.produce ? out.add(file.path, file.produce, error) : out.add(file.path, file.bytes, error));
        if (!textToStderr)
            out.log(text);
        if (ok && out.commit(error) && !out.logCut())
            error.clear();
        cut = out.logCut();
    }
    if (cut) {
        fprintf(stderr, "%s: %s: the text was cut; the outputs are written\n", program, error.c_str());
        return false;
    }
    if (!error.empty())
        fail(error);
    if (textToStderr)
        fputs(text.c_str(), stderr);
    return true;
}

void hugePageHeap(size_t bytes)
{
    const int n = int(std::min<size_t>(bytes, INT32_MAX / 2));
    mallopt(M_ARENA_MAX, 1);          // threads share the one heap
    mallopt(M_MMAP_THRESHOLD, n);     // large blocks come from it too
    mallopt(M_TOP_PAD, n);            // it grows by `bytes` at once
    mallopt(M_TRIM_THRESHOLD, 2 * n); // and is not given back in between
    void *probe = malloc(size_t(n) / 2);   // the heap grows by more than `bytes`
    if (!probe)
        return;
    const uintptr_t from = (uintptr_t(probe) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t to = uintptr_t(sbrk(0)) & ~(HUGE_PAGE - 1);
    free(probe);
    if (to <= from)
        return;
    // The heap's free top: its pages, of which the allocator touched one,
    // are dropped, so that every 2 MiB of it can become one huge page.
    madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#endif
    // The heap's stretch before the first huge page is taken and never
    // touched, so that what the run allocates lies in huge pages.
    constexpr size_t CHUNK_HEADER = 2 * sizeof(size_t);
    if (from - uintptr_t(probe) > CHUNK_HEADER)
        heapPrefix = malloc(from - uintptr_t(probe) - CHUNK_HEADER);
}

void onEveryCore(size_t jobs, const std::function<void()> &work)
{
    const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, MAX_THREADS);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < std::min(threads, jobs); t++)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
}

}
