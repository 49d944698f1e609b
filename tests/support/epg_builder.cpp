#include "support/epg_builder.h"

#include <algorithm>
#include <filesystem>

#include "common/file_io.h"

namespace krtest {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> ReadTestData(const std::string& relativePath) {
    return krtools::ReadWholeFile(std::filesystem::path(KRMODULE_TEST_DATA_DIR) / relativePath);
}

std::vector<uint8_t> ReadSample(const std::string& relativePath) {
    return krtools::ReadWholeFile(std::filesystem::path(KRMODULE_SAMPLES_DIR) / relativePath);
}

std::vector<std::vector<uint8_t>> ReadAllFiles(const std::string& directory) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.is_regular_file()) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<uint8_t>> out;
    for (const auto& path : paths)
        out.push_back(krtools::ReadWholeFile(path));
    return out;
}

}  // namespace krtest
