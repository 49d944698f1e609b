#include "support/epg_builder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace krtest {
namespace {

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

std::vector<uint8_t> BuildEpgContainer(const std::vector<EpgFile>& files) {
    std::vector<uint8_t> directory;
    uint32_t offset = 0;
    for (const EpgFile& file : files) {
        PutLe32(directory, static_cast<uint32_t>(file.name.size()));
        directory.insert(directory.end(), file.name.begin(), file.name.end());
        PutLe32(directory, offset);
        PutLe32(directory, static_cast<uint32_t>(file.bytes.size()));
        offset += static_cast<uint32_t>(file.bytes.size());
    }
    std::vector<uint8_t> out;
    PutLe32(out, 0xA0B0C0D0u);
    out.push_back(0);
    PutLe32(out, static_cast<uint32_t>(directory.size()));
    PutLe32(out, static_cast<uint32_t>(files.size()));
    out.insert(out.end(), directory.begin(), directory.end());
    for (const EpgFile& file : files)
        out.insert(out.end(), file.bytes.begin(), file.bytes.end());
    return out;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> ReadTestData(const std::string& relativePath) {
    return ReadFile(std::filesystem::path(KRMODULE_TEST_DATA_DIR) / relativePath);
}

std::vector<uint8_t> ReadSample(const std::string& relativePath) {
    return ReadFile(std::filesystem::path(KRMODULE_SAMPLES_DIR) / relativePath);
}

std::vector<std::vector<uint8_t>> ReadAllFiles(const std::string& directory) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.is_regular_file()) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<uint8_t>> out;
    for (const auto& path : paths)
        out.push_back(ReadFile(path));
    return out;
}

}  // namespace krtest
