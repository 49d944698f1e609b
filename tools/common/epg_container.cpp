#include "common/epg_container.h"

#include <algorithm>
#include <system_error>

#include "common/byte_writer.h"
#include "common/file_io.h"

namespace krtools {
namespace {

constexpr uint32_t kContainerMagic = 0xA0B0C0D0u;

// Icon files are named by the decimal id of their program.
bool IsIconName(const std::string& name) {
    const std::string extension = ".bmp";
    if (name.size() <= extension.size() || name.size() > 14) return false;
    if (name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        return false;
    return std::all_of(name.begin(), name.end() - static_cast<std::ptrdiff_t>(extension.size()),
                       [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<uint8_t> BuildEpgContainer(const std::vector<EpgFile>& files) {
    std::vector<uint8_t> directory;
    uint32_t offset = 0;
    for (const EpgFile& file : files) {
        AppendLe32(directory, static_cast<uint32_t>(file.name.size()));
        AppendText(directory, file.name);
        AppendLe32(directory, offset);
        AppendLe32(directory, static_cast<uint32_t>(file.bytes.size()));
        offset += static_cast<uint32_t>(file.bytes.size());
    }
    std::vector<uint8_t> out;
    AppendLe32(out, kContainerMagic);
    out.push_back(0);
    AppendLe32(out, static_cast<uint32_t>(directory.size()));
    AppendLe32(out, static_cast<uint32_t>(files.size()));
    out.insert(out.end(), directory.begin(), directory.end());
    for (const EpgFile& file : files)
        out.insert(out.end(), file.bytes.begin(), file.bytes.end());
    return out;
}

std::vector<EpgFile> ReadEpgDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        throw ToolError("cannot read EPG directory " + directory.string());
    std::vector<EpgFile> files;
    for (const char* name : {"LiveEPG.txt", "FileEPG.txt", "ProgramEPG.txt"}) {
        const auto path = directory / name;
        if (std::filesystem::exists(path, error)) files.push_back({name, ReadWholeFile(path)});
    }
    if (files.empty())
        throw ToolError("EPG directory " + directory.string() +
                        " holds none of LiveEPG.txt, FileEPG.txt, ProgramEPG.txt");

    const auto icons = directory / "ico";
    if (!std::filesystem::is_directory(icons, error)) return files;
    if (std::filesystem::exists(icons / "ico.ini", error))
        files.push_back({"ico\\ico.ini", ReadWholeFile(icons / "ico.ini")});
    std::vector<std::pair<uint64_t, std::string>> numbered;
    for (const auto& entry : std::filesystem::directory_iterator(icons, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && IsIconName(name))
            numbered.emplace_back(std::stoull(name), name);
    }
    std::sort(numbered.begin(), numbered.end());
    for (const auto& [number, name] : numbered)
        files.push_back({"ico\\" + name, ReadWholeFile(icons / name)});
    return files;
}

const EpgFile* FindEpgFile(const std::vector<EpgFile>& files, const std::string& name) {
    for (const EpgFile& file : files)
        if (file.name == name) return &file;
    return nullptr;
}

}  // namespace krtools
