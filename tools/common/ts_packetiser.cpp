#include "common/ts_packetiser.h"

#include <algorithm>

#include "common/byte_writer.h"
#include "common/pcr.h"
#include "common/section_builder.h"

namespace krtools {
namespace {

constexpr std::size_t kTsPayloadSize = kTsPacketSize - 4;

void AppendHeader(std::vector<uint8_t>& out, uint16_t pid, bool unitStart, uint8_t continuity) {
    out.push_back(kTsSyncByte);
    out.push_back(static_cast<uint8_t>((unitStart ? 0x40 : 0x00) | ((pid >> 8) & 0x1F)));
    out.push_back(static_cast<uint8_t>(pid));
    out.push_back(static_cast<uint8_t>(0x10 | (continuity & 0x0F)));  // payload only
}

}  // namespace

void TsPacketiser::PutSection(uint16_t pid, std::span<const uint8_t> section,
                              std::vector<uint8_t>& out) {
    PutRun(pid, {section}, out);
}

void TsPacketiser::PutSections(uint16_t pid, const std::vector<std::vector<uint8_t>>& sections,
                               std::vector<uint8_t>& out) {
    std::vector<std::span<const uint8_t>> run(sections.begin(), sections.end());
    PutRun(pid, run, out);
}

void TsPacketiser::PutRun(uint16_t pid, const std::vector<std::span<const uint8_t>>& sections,
                          std::vector<uint8_t>& out) {
    pid &= kNullPid;
    // The run as one byte string with the offsets where sections begin.
    std::vector<uint8_t> bytes;
    std::vector<std::size_t> starts;
    for (const auto& section : sections) {
        if (section.empty()) continue;
        starts.push_back(bytes.size());
        bytes.insert(bytes.end(), section.begin(), section.end());
    }
    std::size_t at = 0;
    std::size_t nextStart = 0;  // index into starts of the first section not yet begun
    while (at < bytes.size()) {
        // A section beginning in this packet needs the pointer field, which costs one byte.
        const bool unitStart =
            nextStart < starts.size() && starts[nextStart] < at + kTsPayloadSize - 1;
        const std::size_t room = unitStart ? kTsPayloadSize - 1 : kTsPayloadSize;
        std::size_t take = std::min(room, bytes.size() - at);
        // Only a packet with the pointer field may hold a section start: a start just past a
        // packet without it is pushed to the next packet and the gap stuffed.
        if (!unitStart && nextStart < starts.size()) take = std::min(take, starts[nextStart] - at);
        AppendHeader(out, pid, unitStart, continuity_[pid]);
        continuity_[pid] = static_cast<uint8_t>((continuity_[pid] + 1) & 0x0F);
        if (unitStart) out.push_back(static_cast<uint8_t>(starts[nextStart] - at));
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(take));
        out.insert(out.end(), room - take, 0xFF);
        at += take;
        while (nextStart < starts.size() && starts[nextStart] < at)
            ++nextStart;
    }
}

void TsPacketiser::PutClock(uint16_t pid, uint64_t ticks, std::vector<uint8_t>& out) {
    pid &= kNullPid;
    // A PES packet of private stream 1: its header with a presentation time alone, then the byte.
    const uint64_t pts = (ticks % kPcrWrap) / 300;
    const std::array<uint8_t, 15> pes = {
        0x00, 0x00, 0x01, 0xBD, 0x00, 9, 0x80, 0x80, 5,
        static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)), static_cast<uint8_t>(pts >> 22),
        static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE)), static_cast<uint8_t>(pts >> 7),
        static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE)), 0x00};
    constexpr std::size_t kClockFieldSize = 1 + 6;  // flags, the clock
    const std::size_t fieldLength = kTsPayloadSize - 1 - pes.size();
    const std::size_t start = out.size();
    AppendHeader(out, pid, true, continuity_[pid]);
    out[start + 3] |= 0x20;  // an adaptation field before the payload
    continuity_[pid] = static_cast<uint8_t>((continuity_[pid] + 1) & 0x0F);
    out.push_back(static_cast<uint8_t>(fieldLength));
    out.push_back(0x10);  // a PCR, nothing else
    out.resize(out.size() + 6);
    WritePcr(ticks, &out[out.size() - 6]);
    out.insert(out.end(), fieldLength - kClockFieldSize, 0xFF);
    out.insert(out.end(), pes.begin(), pes.end());
}

std::vector<uint8_t> BuildPat(uint16_t transportStreamId, uint16_t programNumber, uint16_t pmtPid) {
    std::vector<uint8_t> body;
    AppendBe16(body, transportStreamId);
    body.push_back(0xC1);  // version 0, current
    body.push_back(0);     // section number
    body.push_back(0);     // last section number
    AppendBe16(body, programNumber);
    AppendBe16(body, static_cast<uint16_t>(0xE000 | (pmtPid & kNullPid)));
    return BuildTableSection(0x00, body);
}

std::vector<uint8_t> BuildPmt(uint16_t programNumber, uint16_t pcrPid,
                              const std::vector<std::pair<uint8_t, uint16_t>>& streams) {
    std::vector<uint8_t> body;
    AppendBe16(body, programNumber);
    body.push_back(0xC1);
    body.push_back(0);
    body.push_back(0);
    AppendBe16(body, static_cast<uint16_t>(0xE000 | (pcrPid & kNullPid)));
    AppendBe16(body, 0xF000);  // no program descriptors
    for (const auto& [type, pid] : streams) {
        body.push_back(type);
        AppendBe16(body, static_cast<uint16_t>(0xE000 | (pid & kNullPid)));
        AppendBe16(body, 0xF000);
    }
    return BuildTableSection(0x02, body);
}

}  // namespace krtools
