#include "ts_demux_run.h"

#include <span>
#include <vector>

#include "terminal/section_filter.h"
#include "terminal/ts_demux.h"

namespace krfuzz {
namespace {

struct Section {
    uint16_t pid;
    std::vector<uint8_t> bytes;
    bool operator==(const Section&) const = default;
};

std::vector<Section> Demux(std::span<const uint8_t> stream, std::size_t chunk, bool& sound) {
    std::vector<Section> sections;
    krtools::TsDemux demux([&](uint16_t pid, std::span<const uint8_t> s) {
        const std::size_t announced = s.size() >= 3 ? 3 + (((s[1] & 0x0Fu) << 8) | s[2]) : 0;
        if (s.size() != announced || s.size() > 4098) sound = false;
        sections.push_back({pid, {s.begin(), s.end()}});
    });
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        demux.Feed(stream.subspan(at, std::min(chunk, stream.size() - at)));
    demux.Finish();
    return sections;
}

}  // namespace

bool RunTsDemux(const uint8_t* data, std::size_t size) {
    if (size == 0) return true;
    const std::size_t chunk = std::size_t{data[0]} + 1;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    bool sound = true;
    const std::vector<Section> chunked = Demux(stream, chunk, sound);
    if (Demux(stream, stream.size() + 1, sound) != chunked) return false;

    // Filters of the kinds a terminal runs: a datagram destination, a table id, a whole PID.
    krtools::SectionFilterTable filters;
    SectionFilterParams datagram{};
    datagram.pid = 0x1FFE;
    datagram.match[0] = 0x3E;
    datagram.mask[0] = 0xFF;
    datagram.match[12] = 0x45;
    datagram.mask[12] = 0xFF;
    filters.Set(1, datagram);
    SectionFilterParams table{};
    table.pid = 0;
    table.mask[0] = 0xFF;
    filters.Set(2, table);
    SectionFilterParams whole{};
    whole.pid = 0x1FF0;
    filters.Set(3, whole);
    for (const Section& s : chunked) {
        for (uint32_t id : filters.Match(s.pid, s.bytes)) {
            const bool right = (id == 1 && s.pid == 0x1FFE && s.bytes.size() > 12 &&
                                s.bytes[0] == 0x3E && s.bytes[12] == 0x45) ||
                               (id == 2 && s.pid == 0 && s.bytes[0] == 0) ||
                               (id == 3 && s.pid == 0x1FF0);
            if (!right) return false;
        }
    }
    return sound;
}

}  // namespace krfuzz
