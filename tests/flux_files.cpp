#include "flux_files.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace fluxfiles {

namespace {

constexpr uint32_t OVERFLOW = 65536;
constexpr size_t SCP_MAX_TRACKS = 168;

void add16(Bytes &b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void add32(Bytes &b, uint32_t v)
{
    add16(b, v & 0xFFFF);
    add16(b, v >> 16);
}

void oob(Bytes &b, uint8_t type, const Bytes &body)
{
    b.push_back(0x0D);
    b.push_back(type);
    add16(b, uint32_t(body.size()));
    b.insert(b.end(), body.begin(), body.end());
}

Bytes words(std::initializer_list<uint32_t> values)
{
    Bytes b;
    for (const uint32_t v : values)
        add32(b, v);
    return b;
}

}

uint32_t get32(const Bytes &b, size_t at)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}

void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        b.at(at + size_t(k)) = uint8_t(v >> (8 * k));
}

size_t scpTableEntry(int number) { return SCP_TABLE + 4 * size_t(number); }

size_t scpRevolutionEntry(const Bytes &image, int number, int revolution)
{
    return get32(image, scpTableEntry(number)) + 4 + 12 * size_t(revolution);
}

Bytes scpImage(const std::vector<ScpTrack> &tracks, const ScpOptions &options)
{
    const size_t revolutions = tracks.empty() ? 1 : tracks[0].revolutions.size();
    Bytes b{'S', 'C', 'P', 0x19, 0x30, uint8_t(revolutions), 0, 0, uint8_t(options.indexCued ? 0x01 : 0x00), 0,
            options.heads, options.resolution, 0, 0, 0, 0};
    const size_t entries = std::min(options.tableEntries, SCP_MAX_TRACKS);
    b.resize(SCP_TABLE + 4 * entries);
    int first = 255, last = 0;
    for (const ScpTrack &t : tracks) {
        if (size_t(t.number) >= entries || t.revolutions.size() != revolutions)
            throw std::invalid_argument("scpImage: track outside the table or with another revolution count");
        first = std::min(first, t.number);
        last = std::max(last, t.number);
        const size_t at = b.size();
        put32(b, scpTableEntry(t.number), uint32_t(at));
        b.insert(b.end(), {'T', 'R', 'K', uint8_t(t.number)});
        b.resize(b.size() + 12 * revolutions);
        for (size_t r = 0; r < revolutions; r++) {
            const Intervals &rev = t.revolutions[r];
            const size_t entry = at + 4 + 12 * r;
            const size_t data = b.size();
            for (const uint32_t v : rev) {
                if (v % OVERFLOW == 0)
                    throw std::invalid_argument("scpImage: an interval that is a multiple of 65,536");
                b.insert(b.end(), 2 * (v / OVERFLOW), 0);
                b.push_back(uint8_t(v >> 8));
                b.push_back(uint8_t(v));
            }
            put32(b, entry, std::accumulate(rev.begin(), rev.end(), uint32_t(0)));
            put32(b, entry + 4, uint32_t((b.size() - data) / 2));
            put32(b, entry + 8, uint32_t(data - at));
        }
    }
    b[6] = uint8_t(tracks.empty() ? 0 : first);
    b[7] = uint8_t(last);
    uint32_t sum = 0;
    for (size_t i = SCP_TABLE; i < b.size(); i++)
        sum += b[i];
    put32(b, 12, sum + (options.wrongChecksum ? 1 : 0));
    return b;
}

Bytes kryofluxStream(const Intervals &intervals, const std::vector<size_t> &index, const KryofluxOptions &options)
{
    Bytes b;
    size_t oobBytes = 0;
    auto position = [&] { return uint32_t(b.size() - oobBytes); };
    auto addOob = [&](uint8_t type, const Bytes &body) {
        oob(b, type, body);
        oobBytes += 4 + body.size();
    };
    auto streamPosition = [&] { return uint32_t(int64_t(position()) + options.positionSkew); };

    std::string text = options.info;
    if (options.sck) {
        char clocks[96];
        snprintf(clocks, sizeof clocks, ", sck=%.7f, ick=%.7f", *options.sck, *options.sck / 8);
        text += clocks;
    }
    Bytes info(text.begin(), text.end());
    info.push_back(0);
    addOob(4, info);

    // Index blocks wait until their interval (plus the delay) is reached.
    struct Pulse {
        size_t due;
        uint32_t position;
    };
    std::vector<Pulse> waiting;
    size_t nextPulse = 0;
    auto flushPulses = [&](size_t written) {
        while (!waiting.empty() && waiting.front().due <= written) {
            addOob(2, words({waiting.front().position, 0, 0}));
            waiting.erase(waiting.begin());
        }
    };
    for (size_t j = 0; j <= intervals.size(); j++) {
        for (; nextPulse < index.size() && index[nextPulse] == j; nextPulse++)
            waiting.push_back({j + options.indexDelay, position()});
        flushPulses(j);
        if (j == intervals.size())
            break;
        const uint32_t v = intervals[j];
        b.insert(b.end(), v / OVERFLOW, 0x0B);
        const uint32_t rest = v % OVERFLOW;
        if (!options.flux3 && rest >= 0x0E && rest <= 0xFF)
            b.push_back(uint8_t(rest));
        else if (!options.flux3 && rest <= 0x7FF)
            b.insert(b.end(), {uint8_t(rest >> 8), uint8_t(rest)});
        else
            b.insert(b.end(), {0x0C, uint8_t(rest >> 8), uint8_t(rest)});
        if (options.nops)
            b.insert(b.end(), {0x08, 0x09, 0x5A, 0x0A, 0xA5, 0x5A});
        if (options.infoEvery && (j + 1) % options.infoEvery == 0)
            addOob(1, words({streamPosition(), 0}));
    }
    flushPulses(SIZE_MAX);
    addOob(3, words({streamPosition(), 0}));
    if (options.oobPastEnd)
        b.insert(b.end(), {0x0D, 0x04, 0x40, 0x00, 'x'});
    else
        b.insert(b.end(), {0x0D, 0x0D, 0x0D, 0x0D});
    return b;
}

}
