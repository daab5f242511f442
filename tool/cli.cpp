#include "cli.h"

#include "mfm/mfm.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace cli {

namespace {
const char *program = "";
constexpr size_t MAX_THREADS = 16;
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
    badUsage(std::string("option '") + word + (c == ':' ? "' needs a value" : "' is unknown"));
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
