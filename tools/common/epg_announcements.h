// What the EPG files announce about where content is carried: for each live program its PID,
// multicast address and the ports of its streams, for each resource its PID and destination.
// A head end reads this back from the same files it broadcasts, so what it sends is where a
// receiver will look.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace krtools {

struct AnnouncedProgram {
    uint32_t programId = 0;
    uint8_t sort = 0;
    uint8_t ca = 0;
    uint16_t pid = 0;
    uint32_t address = 0;
    uint16_t port = 0;
    uint16_t videoPort = 0;  // from the stream description, before the scrambling offset
    uint16_t audioPort = 0;
    std::string name;    // ProgramName
    uint8_t rating = 0;  // Rating, 0 when the EPG gives none

    // Ports the receiver filters: a scrambled program's video is 1000 and its audio 10000
    // above the described ports.
    uint16_t VideoDestinationPort() const;
    uint16_t AudioDestinationPort() const;
};

struct AnnouncedResource {
    uint32_t resourceId = 0;
    uint16_t pid = 0;
    uint32_t address = 0;
    uint16_t port = 0;
    std::string fileName;
    std::string name;
    uint8_t rating = 0;
};

struct Announcements {
    std::string liveVersion;  // VERSION of the live EPG, empty when it has none
    std::vector<AnnouncedProgram> programs;
    std::vector<AnnouncedResource> resources;

    // The first announcement of the id, as a receiver looks it up.
    std::optional<AnnouncedProgram> FindProgram(uint32_t programId) const;
    std::optional<AnnouncedResource> FindResource(uint32_t resourceId) const;
};

// Reads the programs of a live EPG file and the resources of a file EPG file (either may be
// empty).
Announcements ReadAnnouncements(const std::vector<uint8_t>& liveEpg,
                                const std::vector<uint8_t>& fileEpg);

// "a.b.c.d:port" with the first octet in the most significant byte; false when malformed.
bool ParseChannel(const std::string& text, uint32_t& address, uint16_t& port);

std::string FormatAddress(uint32_t address);

}  // namespace krtools
