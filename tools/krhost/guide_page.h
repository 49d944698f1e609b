// The programme guide as one self-contained HTML page: the live programs with their icons,
// a now-and-next line and a seven-day schedule each, the service links and the download tree.
// It renders from plain copies of what the library delivered, so it can be tested without the
// library; every text from the broadcast is escaped, and the page loads nothing from outside.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace krhost {

struct GuideDay {
    std::string day;                     // the broadcast's name of the day
    std::optional<std::string> content;  // "HH:MM title; HH:MM title; ..."; none: no schedule
};

struct GuideProgram {
    uint32_t id = 0;
    std::string name;
    bool scrambled = false;
    uint32_t frequency = 0;  // kHz
    std::string channel;     // address:port, or the PIDs of a transport-stream program
    std::string media;       // what the stream carries, e.g. "video MP4V-ES, audio MPEG4-GENERIC"
    std::string abstract;
    std::string internetLink;
    std::string epgInfoFile;
    std::vector<uint8_t> icon;  // the icon file as received; empty: none
    bool hasSchedule = false;
    std::array<GuideDay, 7> days;
};

struct GuideLink {
    uint32_t frequency = 0;  // kHz
    uint16_t onid = 0;
    uint16_t tsid = 0;
    uint16_t svid = 0;
    std::string internetLink;
    std::string epgInfoFile;
};

struct GuideNode {
    std::string name;
    uint32_t id = 0;  // resource id, or the directory's number
    bool isResource = false;
    uint32_t size = 0;  // bytes
    bool scrambled = false;
    std::string path;
    std::vector<GuideNode> children;
};

struct GuidePage {
    bool hasLive = false;
    std::string liveVersion;  // YYYYMMDDhhmmss, or empty
    std::vector<GuideProgram> programs;
    std::vector<GuideLink> links;
    bool hasDownload = false;
    std::string downloadVersion;
    uint32_t resourceCount = 0;
    std::optional<GuideNode> tree;
};

// The local time the now-and-next line is told against.
struct GuideTime {
    int monthDay = 1;  // 1..31
    int month = 1;     // 1..12
    int minute = 0;    // of the day, 0..1439
};

std::string RenderGuidePage(const GuidePage& page, const GuideTime& now);

// Text made safe for element content and quoted attribute values: the five markup characters
// become references and bytes that are not UTF-8 become U+FFFD.
std::string EscapeHtml(std::string_view text);

// The schedule entries of a day: its content split at ';', trimmed, empty ones left out.
std::vector<std::string> ScheduleEntries(std::string_view content);

struct NowAndNext {
    std::string now;   // empty: unknown
    std::string next;  // empty: none
};

// Today is the day whose name holds today's day of the month and month name, else the first
// day. The entry now is the last one of today that began at or before now.minute; the next
// one follows it, on the next day if today has no more.
NowAndNext FindNowAndNext(const std::array<GuideDay, 7>& days, const GuideTime& now);

}  // namespace krhost
