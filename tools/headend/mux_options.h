// What the head-end stream generator is asked to send: from a scenario file, from the command
// line, or filled in by a program that builds a stream in memory.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krtools {

struct LiveProgramSource {
    uint32_t programId = 0;
    std::filesystem::path video;  // MPEG-4 Part 2 elementary stream; empty: no video
    std::filesystem::path audio;  // AAC in ADTS frames; empty: no audio
};

struct ResourceSource {
    uint32_t resourceId = 0;
    std::filesystem::path file;
};

struct MailSource {
    uint32_t id = 0;
    std::string title;
    std::string content;
};

// Conditional access, sent only when both the card and the CA PID are given.
struct CaOptions {
    std::filesystem::path card;  // profile whose operator key and card id the EMMs and ECMs use
    uint16_t emmPid = 0;         // 0: no conditional access
    uint16_t systemId = 0x4B52;
    uint32_t cryptoPeriodMs = 10000;
    std::vector<uint32_t> scrambled;  // program or resource ids
    uint16_t ecmPidBase = 0x1F00;     // one ECM PID per scrambled service, counting up
    std::vector<MailSource> mails;
    std::string text;  // a broadcast text to every card; empty: none
    bool redirect = false;
    std::array<uint16_t, 3> redirection{};
    std::optional<uint8_t> commandRating;  // a card-command EMM setting the rating

    bool Enabled() const { return !card.empty() && emmPid != 0; }
};

struct MuxOptions {
    std::filesystem::path epgDirectory;  // LiveEPG.txt, FileEPG.txt, ProgramEPG.txt, ico/
    std::string version;                 // announced EPG version; empty: the live EPG's VERSION
    std::string message;                 // shown by receivers; empty: none
    uint32_t sysinfoIntervalMs = 500;
    uint16_t epgPid = 0x1FF0;
    uint32_t epgAddress = 0xEF515A02;  // 239.81.90.2
    uint16_t epgPort = 8191;
    std::vector<LiveProgramSource> programs;
    std::vector<ResourceSource> resources;
    uint32_t liveStartMs = 2000;  // when the live programs begin
    uint32_t loops = 1;           // times each live clip is played
    uint32_t durationMs = 0;      // 0: until every clip has played and every carousel turned twice
    uint32_t frameRate = 25;      // video frames per second
    uint32_t epgBlocksPerSecond = 100;
    uint32_t resourceBlocksPerSecond = 50;  // per resource
    bool psi = true;                        // program association and map tables
    double dropShare = 0;                   // share of transport packets left out
    double corruptShare = 0;                // share of transport packets with one byte changed
    uint64_t seed = 1;
    CaOptions ca;
};

// Reads DIR/scenario.txt over the defaults; paths in it are relative to DIR. Throws ToolError
// with the file and line on anything it does not understand.
MuxOptions ReadScenario(const std::filesystem::path& directory);

struct MuxCommand {
    MuxOptions options;
    std::string output;  // file name, "-" for standard output, or udp://ADDR:PORT
    // Where the first clear live program's datagrams also go, as a capture file; empty: nowhere.
    std::string pcap;
    bool help = false;
    bool version = false;
};

// The command line of krmux without the program name. Throws ToolError on a bad argument.
MuxCommand ParseMuxArguments(const std::vector<std::string>& arguments);

extern const char* const kMuxUsage;

}  // namespace krtools
