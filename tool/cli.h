// What the newer tools share on the command line: messages and exits in the
// Unix manner, the data-rate option, and running work on every core.
#ifndef TOOL_CLI_H
#define TOOL_CLI_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "output.h"

namespace cli {

// Exit status of a bad command line or an input or output that failed.
constexpr int EXIT_TROUBLE = 2;

// The program's name in messages; set once at the start of main.
void setProgram(const char *name);

// "<program>: <what>" on stderr; exits with EXIT_TROUBLE.
[[noreturn]] void fail(const std::string &what);
// The same, then "Try '<program> --help' for more information.".
[[noreturn]] void badUsage(const std::string &what);
// badUsage for what getopt_long returned for `word`: ':' a value missing,
// anything else an unknown option.
// A short option is named by its letter, a long one by its word.
[[noreturn]] void badOption(int c, const char *word);
// badUsage ("-o given twice") when an option that takes one value was
// already given.
void once(bool given, const char *option);
// "<program> <version> (mfm <library version>)".
std::string programVersion();
// Prints programVersion() and exits with 0.
[[noreturn]] void version();

// A data rate given in kbit/s, "250", "300" or "500", as bit/s; badUsage
// for anything else.
int parseRate(const std::string &text);

// A drive letter operand: true for "A" or "a", false for "B" or "b";
// badUsage for anything else.
bool parseDrive(const std::string &text);

// fail() with outputClash's message when an output names an input or
// another output; call before anything is written.
void refuseClashes(const std::vector<std::string> &inputs, const std::vector<OutputName> &outputs);

// An output file's path and bytes.
struct OutputFile {
    std::string path;
    std::span<const uint8_t> bytes;
    OutputSet::Producer produce = {};   // when set, the bytes come from it instead
};
// `text` as bytes.
std::span<const uint8_t> bytesOf(const std::string &text);

// Writes every file and `text` to standard output (to standard error when
// a file is "-", standard output), all or nothing (OutputSet); fail() when
// anything could not be written, with nothing left behind.
// Returns false, having said so on standard error, when standard output
// went away before the text was written whole (the files are written).
bool writeOutputs(std::span<const OutputFile> files, const std::string &text);

// Makes the process's allocations come from one heap of at least `bytes`,
// grown in one step and advised as huge pages: the first touches of fresh
// memory then map 2 MiB at once, not 4 KiB (on a virtual machine each
// costs some 15 us, and a run of rawimage made about a thousand). Call
// first thing in main, before any thread starts. Only a hint: where the
// kernel gives no huge pages nothing changes.
void hugePageHeap(size_t bytes);

// Runs `work` on every core at once (the calling thread is one of them),
// at most `jobs` times, and returns when all have returned. Each `work`
// takes its jobs from a shared counter until none are left.
void onEveryCore(size_t jobs, const std::function<void()> &work);

}

#endif
