// The head end's first step: every section of the stream with the instant it is due, from the
// content and the options. Sections of one instant keep a fixed order, so the same inputs always
// give the same schedule.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "headend/elementary_stream.h"
#include "headend/head_end.h"

namespace krtools {

constexpr uint64_t kMicrosPerSecond = 1000000;

enum class SectionKind : uint8_t { Psi, Sysinfo, EpgBlock, ResourceBlock, Video, Audio, Ca };

constexpr int32_t kClearService = -1;

struct ScheduledSection {
    uint64_t timeUs;
    uint32_t source;  // orders sections of the same instant
    uint64_t order;   // orders the sections of one source
    SectionKind kind;
    uint16_t pid;
    std::vector<uint8_t> section;
    // CA sections come first at an instant, so the first words are there before the packets.
    uint8_t rank = 1;
    int32_t service = kClearService;  // index of the scrambled service whose section this is
};

struct Schedule {
    std::vector<ScheduledSection> sections;  // in the order they are sent
    uint64_t durationUs = 0;
    uint16_t clockPid = 0;  // the PID of the programme clock, named by the program map
};

constexpr uint32_t kVideoClock = 90000;
constexpr uint32_t kAdtsSamplesPerFrame = 1024;

// A datagram section from the head end's source port to address:port.
std::vector<uint8_t> DatagramSection(uint32_t address, uint16_t port, std::vector<uint8_t> payload);

// A live program's clip cut into frames, and how long it plays.
struct ProgramClip {
    std::vector<FrameSpan> videoFrames;
    AdtsInfo audio;
    uint64_t lengthUs = 0;
};
ProgramClip CutClip(const LiveProgramContent& program, uint32_t frameRate);

// Which PID carries what, and which scrambled service each program and resource is.
struct PidPlan {
    std::set<uint16_t> dataPids;  // named by the program map
    std::set<uint16_t> caPids;    // terminals learn them from the CA table
    std::vector<int32_t> programService;
    std::vector<int32_t> resourceService;
    uint16_t pmtPid = 0x20;
    uint16_t clockPid = 0x21;
};
PidPlan PlanPids(const HeadEndContent& content, const MuxOptions& options);

struct PsiTables {
    std::vector<uint8_t> pat;
    std::vector<uint8_t> pmt;
};
PsiTables BuildPsiTables(const MuxOptions& options, const PidPlan& plan,
                         std::vector<std::string>& warnings);

// Warnings about content receivers will not take whole go to warnings.
Schedule ScheduleStream(const HeadEndContent& content, const MuxOptions& options,
                        std::vector<std::string>& warnings);

}  // namespace krtools
