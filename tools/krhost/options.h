// The command line of krhost: a command and its options.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krhost {

enum class Command : uint8_t { Play, Download, Epg, Guide, Demo, Card, Mail, Help, Version };

enum class MailAction : uint8_t { List, Read, ReadAll, Delete, DeleteAll };

struct HostOptions {
    Command command = Command::Help;
    std::string input;            // file, "-" for standard input, or udp://ADDR:PORT
    double rateMbps = 0;          // bit-rate pacing of file input; 0: none (read in step)
    bool realtime = false;        // pacing of file input by its PCR
    std::filesystem::path store;  // empty: the command's default
    std::vector<uint8_t> debugCodes;
    uint32_t nodes = 1024;
    uint32_t frequency = 626000;  // kHz reported to the library
    double timeoutSeconds = 0;    // 0: none
    std::string card;             // card profile file, "none" for an empty slot; empty: the sample
    std::filesystem::path cardState;  // the virtual card's memory between runs; empty: none
    std::optional<uint16_t> emmPid;  // the CA PID given to the library
    // play
    std::optional<uint32_t> program;
    uint32_t mode = 0;
    std::filesystem::path out;
    std::filesystem::path audioOut;
    uint64_t maxFrames = 0;  // 0: until the input ends
    // download
    std::vector<uint32_t> resources;
    bool json = false;  // events as JSON lines and the result as the last one
    // epg
    bool untilEnd = false;  // print the EPG current when the input ends
    bool stats = false;     // the library's counters at the end
    // demo
    std::filesystem::path samples;
    // card
    std::optional<std::string> pin;
    std::optional<uint8_t> newRating;
    // Start and end, BCD hours then BCD minutes as the library takes them.
    std::optional<std::array<uint8_t, 4>> newWorkTime;
    bool listReaders = false;  // the PC/SC readers instead of the card
    // mail
    std::optional<MailAction> mailAction;
    std::optional<uint32_t> mailId;
};

// The arguments without the program name. Throws krtools::ToolError on a bad argument.
HostOptions ParseHostArguments(const std::vector<std::string>& arguments);

// The command's name as typed ("play").
const char* CommandName(Command command);

extern const char* const kHostUsage;

}  // namespace krhost
