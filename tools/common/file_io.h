// Whole-file reads and writes for the tools; failures carry a message for the user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace krtools {

// A bad argument or unreadable input: the message is printed as it stands.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A run that could not deliver what it made: an output that cannot be written or sent.
class OutputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws ToolError naming the path when the file cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

// Throws OutputError naming the path when the file cannot be written completely.
void WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace krtools
