#include "common/epg_announcements.h"

#include <charconv>

namespace krtools {
namespace {

// The EPG files are read with blanks, tabs, carriage returns and NULs removed from every line.
std::vector<std::string> CompactLines(const std::vector<uint8_t>& file) {
    std::vector<std::string> lines(1);
    for (uint8_t byte : file) {
        if (byte == '\n') {
            lines.emplace_back();
        } else if (byte != ' ' && byte != '\t' && byte != '\r' && byte != 0) {
            lines.back().push_back(static_cast<char>(byte));
        }
    }
    return lines;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The decimal digits at the start of text (leading sign ignored); 0 without digits.
uint64_t LeadingNumber(const std::string& text, std::size_t from = 0) {
    uint64_t value = 0;
    for (std::size_t i = from; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return value;
}

// Key before the first '=', value up to the next '='.
bool SplitKeyValue(const std::string& line, std::string& key, std::string& value) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    key = line.substr(0, equals);
    const std::size_t end = line.find('=', equals + 1);
    value =
        line.substr(equals + 1, end == std::string::npos ? std::string::npos : end - equals - 1);
    return true;
}

}  // namespace

uint16_t AnnouncedProgram::VideoDestinationPort() const {
    return ca != 0 ? static_cast<uint16_t>(videoPort + 1000) : videoPort;
}

uint16_t AnnouncedProgram::AudioDestinationPort() const {
    return ca != 0 ? static_cast<uint16_t>(audioPort + 10000) : audioPort;
}

bool ParseChannel(const std::string& text, uint32_t& address, uint16_t& port) {
    uint32_t octets[4] = {};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        unsigned value = 0;
        const auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc() || value > 255 || next == end) return false;
        if (*next != (i < 3 ? '.' : ':')) return false;
        octets[i] = value;
        p = next + 1;
    }
    unsigned portValue = 0;
    const auto [next, error] = std::from_chars(p, end, portValue);
    if (error != std::errc() || next != end || portValue > 0xFFFF) return false;
    address = (octets[0] << 24) | (octets[1] << 16) | (octets[2] << 8) | octets[3];
    port = static_cast<uint16_t>(portValue);
    return true;
}

std::string FormatAddress(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

Announcements ReadAnnouncements(const std::vector<uint8_t>& liveEpg,
                                const std::vector<uint8_t>& fileEpg) {
    Announcements out;
    std::string key;
    std::string value;
    AnnouncedProgram* program = nullptr;
    for (const std::string& line : CompactLines(liveEpg)) {
        if (StartsWith(line, "[PROGRAM")) {
            out.programs.emplace_back();
            program = &out.programs.back();
            continue;
        }
        if (program == nullptr) {
            if (SplitKeyValue(line, key, value) && key == "VERSION") out.liveVersion = value;
            continue;
        }
        if (StartsWith(line, "m=video")) {
            program->videoPort = static_cast<uint16_t>(LeadingNumber(line, 7));
        } else if (StartsWith(line, "m=audio")) {
            program->audioPort = static_cast<uint16_t>(LeadingNumber(line, 7));
        } else if (SplitKeyValue(line, key, value)) {
            if (key == "ProgramID")
                program->programId = static_cast<uint32_t>(LeadingNumber(value));
            if (key == "ProgramSort") program->sort = static_cast<uint8_t>(LeadingNumber(value));
            if (key == "CA") program->ca = static_cast<uint8_t>(LeadingNumber(value));
            if (key == "Pid") program->pid = static_cast<uint16_t>(LeadingNumber(value));
            if (key == "Channel") ParseChannel(value, program->address, program->port);
            if (key == "ProgramName") program->name = value;
            if (key == "Rating") program->rating = static_cast<uint8_t>(LeadingNumber(value));
        }
    }
    AnnouncedResource* resource = nullptr;
    for (const std::string& line : CompactLines(fileEpg)) {
        if (StartsWith(line, "[PROGRAM")) {
            out.resources.emplace_back();
            resource = &out.resources.back();
            continue;
        }
        if (resource == nullptr || !SplitKeyValue(line, key, value)) continue;
        if (key == "ProgramID") resource->resourceId = static_cast<uint32_t>(LeadingNumber(value));
        if (key == "Pid") resource->pid = static_cast<uint16_t>(LeadingNumber(value));
        if (key == "Channel") ParseChannel(value, resource->address, resource->port);
        if (key == "FileName") resource->fileName = value;
        if (key == "ProgramName") resource->name = value;
        if (key == "Rating") resource->rating = static_cast<uint8_t>(LeadingNumber(value));
    }
    return out;
}

std::optional<AnnouncedProgram> Announcements::FindProgram(uint32_t programId) const {
    for (const AnnouncedProgram& p : programs)
        if (p.programId == programId) return p;
    return std::nullopt;
}

std::optional<AnnouncedResource> Announcements::FindResource(uint32_t resourceId) const {
    for (const AnnouncedResource& r : resources)
        if (r.resourceId == resourceId) return r;
    return std::nullopt;
}

}  // namespace krtools
