// Sections carried in 188-byte MPEG-2 transport-stream packets: payload_unit_start and a
// pointer field where a section begins, a continuity counter per PID, 0xFF stuffing after the
// last section of a run. Also the programme clock and the program association and map tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace krtools {

constexpr std::size_t kTsPacketSize = 188;
constexpr uint8_t kTsSyncByte = 0x47;
constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kNullPid = 0x1FFF;

class TsPacketiser {
  public:
    // The packets of one section on pid, appended to out. The section begins a packet.
    void PutSection(uint16_t pid, std::span<const uint8_t> section, std::vector<uint8_t>& out);

    // Sections back to back on one PID: a section may begin in the packet where the one
    // before it ends, so one packet can carry the end of one section and several more.
    void PutSections(uint16_t pid, const std::vector<std::vector<uint8_t>>& sections,
                     std::vector<uint8_t>& out);

    // A packet on pid whose adaptation field carries the programme clock at ticks (27 MHz) and
    // whose payload is a one-byte PES packet presented at that time: players time a stream by
    // the clock, and show its length from the timestamps of a stream they can see (they
    // skip empty PES packets).
    void PutClock(uint16_t pid, uint64_t ticks, std::vector<uint8_t>& out);

    // The counter the next packet on pid will carry.
    uint8_t NextContinuity(uint16_t pid) const { return continuity_[pid & kNullPid]; }

  private:
    void PutRun(uint16_t pid, const std::vector<std::span<const uint8_t>>& sections,
                std::vector<uint8_t>& out);

    std::array<uint8_t, 8192> continuity_{};
};

// stream_type of datagram sections in a program map.
constexpr uint8_t kStreamTypeDsmcc = 0x0D;
// stream_type of PES packets of private data (the clock's).
constexpr uint8_t kStreamTypePrivatePes = 0x06;

// A program association section with one program.
std::vector<uint8_t> BuildPat(uint16_t transportStreamId, uint16_t programNumber, uint16_t pmtPid);

// A program map section listing (stream type, PID) pairs whose clock is on pcrPid (0x1FFF:
// none).
std::vector<uint8_t> BuildPmt(uint16_t programNumber, uint16_t pcrPid,
                              const std::vector<std::pair<uint8_t, uint16_t>>& streams);

}  // namespace krtools
