// The command line of krcard.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace krcard {

struct CardOptions {
    std::filesystem::path profile;  // the card profile; the sample card when not given
    std::filesystem::path state;    // the card's memory between runs; empty: none
    std::string host = "localhost";
    uint16_t port = 35963;  // vpcd's first reader
    uint32_t firstAnswerMs = 0;  // how long the first command after entering the reader takes
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// The arguments without the program name. Throws krtools::ToolError on a bad argument.
CardOptions ParseCardArguments(const std::vector<std::string>& arguments);

extern const char* const kCardUsage;

}  // namespace krcard
