#include "headend/broadcast_plan.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "headend/sysinfo_payload.h"

namespace krtools {
namespace {

std::vector<std::string> Lines(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t b : bytes) {
        if (b == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(b));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<uint8_t> Joined(const std::vector<std::string>& lines) {
    std::vector<uint8_t> bytes;
    for (const std::string& line : lines) {
        bytes.insert(bytes.end(), line.begin(), line.end());
        bytes.push_back('\n');
    }
    return bytes;
}

// A line's key before '=', without a carriage return's effect on the value.
bool HasKey(const std::string& line, const std::string& key) {
    return line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
           line[key.size()] == '=';
}

std::string ValueOf(const std::string& line) {
    std::string value = line.substr(line.find('=') + 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return value;
}

void SetVersion(std::vector<std::string>& lines, const std::string& stamp) {
    for (std::string& line : lines)
        if (HasKey(line, "VERSION")) line = "VERSION=" + stamp;
}

// Each program's day n gets the schedule of day n + shift (the days' names stay).
void MoveSchedules(std::vector<std::string>& lines, uint32_t shift) {
    std::size_t begin = 0;
    while (begin < lines.size()) {
        std::size_t end = begin + 1;
        while (end < lines.size() && lines[end].rfind("[", 0) != 0)
            ++end;
        std::vector<std::string> contents(7);
        std::vector<std::size_t> where(7, lines.size());
        for (std::size_t i = begin; i < end; ++i)
            for (std::size_t d = 0; d < 7; ++d)
                if (HasKey(lines[i], "Content" + std::to_string(d + 1))) {
                    contents[d] = ValueOf(lines[i]);
                    where[d] = i;
                }
        for (std::size_t d = 0; d < 7; ++d) {
            const std::size_t from = (d + shift) % 7;
            if (where[d] != lines.size() && where[from] != lines.size())
                lines[where[d]] = "Content" + std::to_string(d + 1) + "=" + contents[from];
        }
        begin = end;
    }
}

// Takes out the last resource the head end does not carousel and numbers the rest again.
void RemoveResource(std::vector<std::string>& lines, const std::set<uint32_t>& carouselled) {
    std::vector<std::pair<std::size_t, std::size_t>> sections;  // [begin, end) of [PROGRAMn]
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("[PROGRAM", 0) != 0) continue;
        if (!sections.empty()) sections.back().second = i;
        sections.emplace_back(i, lines.size());
    }
    for (auto s = sections.rbegin(); s != sections.rend(); ++s) {
        uint32_t id = 0;
        for (std::size_t i = s->first; i < s->second; ++i)
            if (HasKey(lines[i], "ProgramID"))
                id = static_cast<uint32_t>(std::stoul(ValueOf(lines[i])));
        if (carouselled.count(id) != 0) continue;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(s->first),
                    lines.begin() + static_cast<std::ptrdiff_t>(s->second));
        break;
    }
    uint32_t n = 0;
    for (std::string& line : lines)
        if (line.rfind("[PROGRAM", 0) == 0) line = "[PROGRAM" + std::to_string(++n) + "]";
    for (std::string& line : lines)
        if (HasKey(line, "COUNT")) line = "COUNT=" + std::to_string(n);
}

}  // namespace

BroadcastPlan::BroadcastPlan(const MuxOptions& options, std::vector<EpgFile> base,
                             std::string baseVersion)
    : options_(options),
      base_(std::move(base)),
      baseVersion_(std::move(baseVersion)),
      durationUs_(options.durationS * 1000000) {}

uint32_t BroadcastPlan::EpgVersionAt(uint64_t timeUs) const {
    return static_cast<uint32_t>(EventAt(timeUs, options_.epgEveryS));
}

uint64_t BroadcastPlan::EpgVersionStartUs(uint32_t version) const {
    return uint64_t{version} * options_.epgEveryS * 1000000;
}

std::string BroadcastPlan::VersionStamp(uint32_t version) const {
    if (version == 0) return baseVersion_;
    const HeadEndTime t = TimeAfter(baseVersion_, EpgVersionStartUs(version) / 1000000);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u%02u%02u%02u%02u%02u", t.year % 10000, t.month, t.day,
                  t.hour, t.minute, t.second);
    return stamp;
}

std::string BroadcastPlan::ProgramName(const std::string& name, uint32_t version) {
    if (version == 0) return name;
    const std::string suffix = " v" + std::to_string(version);
    return name.substr(0, 31 - std::min<std::size_t>(suffix.size(), 31)) + suffix;
}

std::vector<EpgFile> BroadcastPlan::EpgFilesOf(uint32_t version) const {
    if (version == 0) return base_;
    std::vector<EpgFile> files = base_;
    const std::string stamp = VersionStamp(version);
    std::set<uint32_t> carouselled;
    for (const ResourceSource& r : options_.resources)
        carouselled.insert(r.resourceId);
    std::vector<EpgFile*> icons;
    for (EpgFile& file : files) {
        if (file.name.size() > 4 && file.name.compare(file.name.size() - 4, 4, ".bmp") == 0) {
            icons.push_back(&file);
            continue;
        }
        if (file.name.size() < 4 || file.name.compare(file.name.size() - 4, 4, ".txt") != 0)
            continue;
        std::vector<std::string> lines = Lines(file.bytes);
        SetVersion(lines, stamp);
        if (file.name == "LiveEPG.txt") {
            for (std::string& line : lines)
                if (HasKey(line, "ProgramName"))
                    line = "ProgramName=" + ProgramName(ValueOf(line), version);
        } else if (file.name == "ProgramEPG.txt") {
            MoveSchedules(lines, version % 7);
        } else if (file.name == "FileEPG.txt" && version % 2 == 1) {
            RemoveResource(lines, carouselled);
        }
        file.bytes = Joined(lines);
    }
    // Each program shows the icon of the one after it, round and round.
    if (icons.size() > 1) {
        std::vector<std::vector<uint8_t>> images;
        for (const EpgFile* icon : icons)
            images.push_back(icon->bytes);
        for (std::size_t i = 0; i < icons.size(); ++i)
            icons[i]->bytes = images[(i + version) % images.size()];
    }
    return files;
}

std::vector<PlannedMail> BroadcastPlan::MailsOf(uint64_t event) const {
    std::vector<PlannedMail> mails;
    for (uint32_t i = 0; i < options_.mailBurst; ++i) {
        const auto id = static_cast<uint32_t>(1000 + event * options_.mailBurst + i);
        mails.push_back({id, "Notice " + std::to_string(id),
                         "Mail " + std::to_string(id) + " of burst " + std::to_string(event) +
                             " from your operator."});
    }
    return mails;
}

}  // namespace krtools
