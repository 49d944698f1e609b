// Builders for EPG tests: containers from named files, and sample files from tests/data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/epg_container.h"

namespace krtest {

// A container with its directory listing the files in the given order, contents back to back.
using krtools::BuildEpgContainer;
using krtools::EpgFile;

std::vector<uint8_t> Bytes(const std::string& text);

// The bytes of a file under tests/data.
std::vector<uint8_t> ReadTestData(const std::string& relativePath);

// The bytes of a file under samples/.
std::vector<uint8_t> ReadSample(const std::string& relativePath);

// Every regular file in a directory, in name order.
std::vector<std::vector<uint8_t>> ReadAllFiles(const std::string& directory);

}  // namespace krtest
