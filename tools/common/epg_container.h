// The EPG container a head end broadcasts: a directory of named files followed by their bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace krtools {

struct EpgFile {
    std::string name;  // as the receiver sees it, e.g. "LiveEPG.txt" or "ico\1001.bmp"
    std::vector<uint8_t> bytes;
};

// A container whose directory lists the files in the given order, contents back to back.
std::vector<uint8_t> BuildEpgContainer(const std::vector<EpgFile>& files);

// The files of an EPG directory in container order: "LiveEPG.txt", "FileEPG.txt" and
// "ProgramEPG.txt" where present, then ico/ico.ini and the icons ico/<number>.bmp by number.
// Other files are not broadcast. Throws ToolError when the directory holds no EPG text file
// or a file cannot be read.
std::vector<EpgFile> ReadEpgDirectory(const std::filesystem::path& directory);

// The EPG text file of that name among the files, or nullptr.
const EpgFile* FindEpgFile(const std::vector<EpgFile>& files, const std::string& name);

}  // namespace krtools
