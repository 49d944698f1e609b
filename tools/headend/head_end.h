// The head end: everything a receiver needs, as one deterministic transport stream. System
// information repeats at its interval, the EPG container and every resource turn in block
// carousels, and each live program sends its clip as RTP frames from its start time on; all as
// datagram sections on the PIDs and destinations the EPG announces, timed by a programme clock.
// Made in three steps: the sections are scheduled (schedule.h), multiplexed into packets
// (multiplex.h) and damaged as asked (damage.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/epg_announcements.h"
#include "common/epg_container.h"
#include "headend/ca_broadcast.h"
#include "headend/mux_options.h"

namespace krtools {

struct LiveProgramContent {
    AnnouncedProgram where;
    std::vector<uint8_t> video;  // elementary stream, empty: none
    std::vector<uint8_t> audio;  // ADTS frames, empty: none
};

struct ResourceContent {
    AnnouncedResource where;
    std::vector<uint8_t> bytes;
};

// The files and their destinations, read and checked.
struct HeadEndContent {
    std::vector<EpgFile> epgFiles;
    std::vector<uint8_t> epgContainer;
    std::string version;
    std::vector<LiveProgramContent> programs;
    std::vector<ResourceContent> resources;
    std::optional<CaContent> ca;  // when the options ask for conditional access
};

// Reads every input named by the options and finds the destinations of the programs and
// resources in the EPG files. Throws ToolError on unreadable input or on content the EPG does
// not announce.
HeadEndContent LoadContent(const MuxOptions& options);

struct MuxResult {
    std::vector<uint8_t> stream;  // whole 188-byte packets
    // When each packet is due, in microseconds from the start: what the clock says.
    std::vector<uint64_t> packetTimesUs;
    std::vector<std::string> warnings;
    uint64_t durationMs = 0;
    uint64_t sysinfoSections = 0;
    uint64_t epgBlockSections = 0;
    uint64_t videoSections = 0;
    uint64_t audioSections = 0;
    uint64_t resourceBlockSections = 0;
    uint64_t caSections = 0;  // CA table, EMM PID and ECM sections
    uint64_t scrambledPackets = 0;
    uint64_t clockPackets = 0;
    uint64_t droppedPackets = 0;
    uint64_t corruptedPackets = 0;
};

// The stream of the content; the same options and content always give the same bytes.
MuxResult GenerateStream(const HeadEndContent& content, const MuxOptions& options);

// LoadContent, then GenerateStream.
MuxResult BuildStream(const MuxOptions& options);

}  // namespace krtools
