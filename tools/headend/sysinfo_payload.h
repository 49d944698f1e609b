// The system-information datagram a head end repeats on its fixed multicast group: where the
// EPG is carried, its version, and an optional message for the screen. Little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krtools {

// The fixed destination of the system information.
constexpr uint16_t kSysinfoPid = 0x1FFE;
constexpr uint32_t kSysinfoAddress = 0xEF515A01;  // 239.81.90.1
constexpr uint16_t kSysinfoPort = 8190;
constexpr std::size_t kSysinfoHeaderSize = 68;

// Broken-down head-end time carried in the payload.
struct HeadEndTime {
    uint32_t year = 2026;
    uint32_t month = 1;
    uint32_t day = 1;
    uint32_t hour = 0;
    uint32_t minute = 0;
    uint32_t second = 0;
};

struct SysinfoPayload {
    HeadEndTime time;
    std::string epgVersion;  // 14 digits YYYYMMDDhhmmss
    uint16_t epgPid = 0;
    uint32_t epgAddress = 0;
    uint16_t epgPort = 0;
    std::string message;  // empty: no message
};

std::vector<uint8_t> BuildSysinfoPayload(const SysinfoPayload& sysinfo);

// The inverse, for tests and terminals; false when the bytes are too short or the magic or
// the message length is wrong.
bool ParseSysinfoPayload(const uint8_t* payload, std::size_t size, SysinfoPayload& out);

// True for exactly 14 decimal digits.
bool IsVersionStamp(const std::string& stamp);

// The time of a version stamp moved on by a number of seconds (the calendar is proleptic
// Gregorian).
HeadEndTime TimeAfter(const std::string& stamp, uint64_t seconds);

// Seconds since 1970-01-01 UTC of a version stamp; 0 for anything else.
uint32_t StampSeconds(const std::string& stamp);

}  // namespace krtools
