#include "helpers.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

void CellWriter::cell(int v)
{
    if (bit_ >= 0 && bit_ < int64_t(cells_.size()) * 8) {
        const uint8_t mask = uint8_t(0x80 >> (bit_ & 7));
        uint8_t &b = cells_[size_t(bit_ >> 3)];
        b = uint8_t(v ? (b | mask) : (b & ~mask));
    }
    bit_++;
}

void CellWriter::word(unsigned w)
{
    for (int i = 15; i >= 0; i--)
        cell((w >> i) & 1);
    lastData_ = int(w & 1);
}

void CellWriter::byte(uint8_t d)
{
    for (int i = 7; i >= 0; i--) {
        const int data = (d >> i) & 1;
        cell(!data && !lastData_);
        cell(data);
        lastData_ = data;
    }
}

void CellWriter::bytes(const uint8_t *d, size_t n)
{
    for (size_t i = 0; i < n; i++)
        byte(d[i]);
}

void CellWriter::fill(uint8_t d, size_t n)
{
    for (size_t i = 0; i < n; i++)
        byte(d);
}

void CellWriter::sync() { word(0x4489); }

void CellWriter::idField(uint8_t track, uint8_t side, uint8_t sec, uint8_t size, bool crcOk)
{
    const uint8_t field[8] = {0xA1, 0xA1, 0xA1, MARK_ID, track, side, sec, size};
    const uint16_t crc = uint16_t(crc16(field, 8) ^ (crcOk ? 0 : 0x0100));
    fill(0x00, 12);
    sync(), sync(), sync();
    bytes(field + 3, 5);
    byte(uint8_t(crc >> 8)), byte(uint8_t(crc));
    fill(0x4E, 22);
}

void CellWriter::dataField(const uint8_t *data, bool crcOk, size_t size, uint8_t mark)
{
    std::vector<uint8_t> field{0xA1, 0xA1, 0xA1, mark};
    field.insert(field.end(), data, data + size);
    const uint16_t crc = uint16_t(crc16(field.data(), uint16_t(field.size())) ^ (crcOk ? 0 : 0x0001));
    fill(0x00, 12);
    sync(), sync(), sync();
    bytes(field.data() + 3, 1 + size);
    byte(uint8_t(crc >> 8)), byte(uint8_t(crc));
    fill(0x4E, 40);
}

void CellWriter::sectorFields(uint8_t track, uint8_t side, uint8_t sec, const uint8_t *data)
{
    idField(track, side, sec);
    dataField(data);
}

std::vector<uint8_t> sectorData(int track, int side, int sec, size_t size)
{
    std::vector<uint8_t> d(size);
    uint32_t x = uint32_t(track * 7919 + side * 104729 + sec * 31 + 1);
    for (auto &b : d) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    d[0] = uint8_t(track), d[1] = uint8_t(side), d[2] = uint8_t(sec);
    return d;
}

std::vector<uint8_t> formattedSlot(int track, int sectors, int64_t bitOffset, uint8_t sizeCode,
                                   const std::vector<uint8_t> &first)
{
    std::vector<uint8_t> slot(TRACK_SLOT_SIZE, 0);
    const size_t size = size_t(128) << sizeCode;
    for (int head = 0; head < HEADS; head++) {
        CellWriter w(slot, bitOffset + int64_t(head) * TRACK_SLOT_SIZE * 4);
        w.fill(0x4E, 60);
        for (int s = 1; s <= sectors; s++) {
            w.idField(uint8_t(track), uint8_t(head), uint8_t(s), sizeCode);
            const auto data = head == 0 && s == 1 && !first.empty() ? first : sectorData(track, head, s, size);
            w.dataField(data.data(), true, size);
        }
    }
    return slot;
}

void useCapture(std::vector<uint8_t> &capture)
{
    f = capture.data();
    floaded = int64_t(capture.size());
}

std::string captureStdout(const std::function<void()> &fn)
{
    fflush(stdout);
    FILE *tmp = tmpfile();
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(tmp);
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, tmp)) > 0)
        text.append(chunk, n);
    fclose(tmp);
    return text;
}

static std::string quoted(const std::string &word)
{
    std::string q(1, '\'');
    for (char c : word) {
        if (c == '\'')
            q.append("'\\''");
        else
            q.push_back(c);
    }
    q.push_back('\'');
    return q;
}

RunResult runProgram(const std::string &program, const std::vector<std::string> &args)
{
    const std::string dir = tempDir();
    std::string cmd = quoted(program);
    for (const auto &a : args)
        cmd.append(" ").append(quoted(a));
    cmd.append(" </dev/null >").append(quoted(dir + "/out.txt")).append(" 2>").append(quoted(dir + "/err.txt"));
    const int raw = system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir + "/out.txt"), readFile(dir + "/err.txt")};
}

LimitedRun runLimited(const std::string &program, const std::vector<std::string> &args, size_t addressBytes,
                      double seconds)
{
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO), dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
        if (addressBytes) {
            const rlimit cap{addressBytes, addressBytes};
            setrlimit(RLIMIT_AS, &cap);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    LimitedRun run{-1, 0, false, 0};
    int raw = 0;
    rusage usage{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (wait4(pid, &raw, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            wait4(pid, &raw, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    run.peakKiB = usage.ru_maxrss;
    return run;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// All of a test process's directories live under one root, removed at exit.
static std::string tempRoot()
{
    static const std::string root = [] {
        char templ[] = "/tmp/mfmtest.XXXXXX";
        const char *made = mkdtemp(templ);
        std::string dir = made ? made : "/tmp";
        static std::string removeAtExit = dir;
        static pid_t owner = getpid();   // not the forked children of death tests
        if (made)
            atexit([] {
                if (getpid() == owner)
                    std::filesystem::remove_all(removeAtExit);
            });
        return dir;
    }();
    return root;
}

std::string tempDir()
{
    static int count = 0;
    const std::string dir = tempRoot() + "/" + std::to_string(count++);
    std::filesystem::create_directory(dir);
    return dir;
}

bool cellAt(const std::vector<uint8_t> &cells, int64_t i) { return (cells[size_t(i >> 3)] >> (7 - (i & 7))) & 1; }

void setCell(std::vector<uint8_t> &cells, int64_t i, bool v)
{
    const uint8_t m = uint8_t(0x80 >> (i & 7));
    cells[size_t(i >> 3)] = uint8_t(v ? cells[size_t(i >> 3)] | m : cells[size_t(i >> 3)] & ~m);
}
