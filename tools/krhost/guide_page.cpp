#include "guide_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace krhost {
namespace {

// The page may show inline images and its own style and nothing else: even a text that slipped
// through unescaped could neither run script nor reach the network.
constexpr const char* kHead = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src data:; style-src 'unsafe-inline'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Programme guide</title>
<style>
body { font: 14px/1.4 sans-serif; margin: 0 24px 24px; color: #1d2430; background: #f4f5f7; }
h1 { margin: 16px 0 4px; } h2 { margin: 24px 0 8px; border-bottom: 2px solid #c8ccd4; }
.stamp { color: #5a6270; margin: 0; }
.program { background: #fff; border: 1px solid #d5d8de; border-radius: 6px; padding: 10px 14px; margin: 10px 0; }
.program > header { display: flex; gap: 12px; align-items: center; }
.program h3 { margin: 0; }
.still { margin-left: auto; width: 160px; border: 1px solid #d5d8de; border-radius: 4px; }
.icon { width: 48px; height: 48px; image-rendering: pixelated; border: 1px solid #d5d8de; }
.icon.none { display: inline-block; font-size: 11px; color: #8a909c; text-align: center; line-height: 48px; }
.facts, .abstract, .links, .now-next { margin: 4px 0; }
.badge { display: inline-block; padding: 0 6px; border-radius: 8px; font-size: 12px; }
.badge.clear { background: #d9f2dd; color: #1e6b2c; } .badge.scrambled { background: #fbe0d6; color: #8a2d0b; }
.now-next strong { color: #2f5fb3; }
.schedule { border-collapse: collapse; width: 100%; table-layout: fixed; font-size: 12px; margin-top: 6px; }
.schedule th, .schedule td { border: 1px solid #d5d8de; padding: 4px; vertical-align: top; text-align: left; overflow-wrap: anywhere; }
.schedule th { background: #eef0f4; } .schedule .today { background: #fff8dc; }
.schedule ul { margin: 0; padding-left: 14px; }
.empty { color: #8a909c; }
table.plain { border-collapse: collapse; } table.plain th, table.plain td { border: 1px solid #d5d8de; padding: 3px 8px; text-align: left; }
.tree, .tree ul { list-style: none; padding-left: 18px; }
.tree .directory > .name { font-weight: bold; }
.size, .rid { color: #5a6270; }
</style>
</head>
<body>
)";

const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                               "jul", "aug", "sep", "oct", "nov", "dec"};

std::string Number(uint64_t n) {
    return std::to_string(n);
}

// "2026-12-06 18:00:00" of a YYYYMMDDhhmmss stamp; anything else as it is.
std::string StampText(const std::string& stamp) {
    if (stamp.size() != 14) return stamp;
    return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " +
           stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

std::string SizeText(uint32_t bytes) {
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
    double value = bytes;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    if (unit == 0) return Number(bytes) + " bytes";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string DataUri(const std::vector<uint8_t>& image, const char* type = "image/bmp") {
    std::string base64(4 * ((image.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), image.data(),
                                  static_cast<int>(image.size()));
    base64.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return std::string("data:") + type + ";base64," + base64;
}

// A BMP file starts with "BM" and a header of 14 bytes followed by the size of the next one.
bool LooksLikeBmp(const std::vector<uint8_t>& image) {
    return image.size() >= 18 && image[0] == 'B' && image[1] == 'M';
}

bool LooksLikePng(const std::vector<uint8_t>& image) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return image.size() > sizeof kSignature &&
           std::equal(std::begin(kSignature), std::end(kSignature), image.begin());
}

std::string Lower(std::string_view text) {
    std::string out;
    for (char c : text)
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Whether a day's name ("Tuesday 8 December", "8 Dec") names the given date.
bool NamesDate(std::string_view name, const GuideTime& now) {
    bool day = false;
    bool month = false;
    std::string word;
    const auto take = [&] {
        if (word == Number(static_cast<uint64_t>(now.monthDay))) day = true;
        if (now.month >= 1 && now.month <= 12 && Lower(word).rfind(kMonths[now.month - 1], 0) == 0)
            month = true;
        word.clear();
    };
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            word += c;
        else
            take();
    }
    take();
    return day && month;
}

std::size_t TodayIndex(const std::array<GuideDay, 7>& days, const GuideTime& now) {
    for (std::size_t d = 0; d < days.size(); ++d)
        if (NamesDate(days[d].day, now)) return d;
    return 0;
}

// Minute of the day an entry starts ("7:30 ..." or "07:30 ..."), or -1.
int EntryMinute(std::string_view entry) {
    std::size_t i = 0;
    int hour = 0;
    while (i < entry.size() && i < 2 && std::isdigit(static_cast<unsigned char>(entry[i])))
        hour = hour * 10 + (entry[i++] - '0');
    if (i == 0 || i + 3 > entry.size() || entry[i] != ':') return -1;
    if (!std::isdigit(static_cast<unsigned char>(entry[i + 1])) ||
        !std::isdigit(static_cast<unsigned char>(entry[i + 2])))
        return -1;
    const int minute = (entry[i + 1] - '0') * 10 + (entry[i + 2] - '0');
    return hour < 24 && minute < 60 ? hour * 60 + minute : -1;
}

std::string DayName(const GuideDay& day, std::size_t index) {
    return day.day.empty() ? "Day " + Number(index + 1) : day.day;
}

void AppendBadge(std::string& out, bool scrambled) {
    out += scrambled ? R"(<span class="badge scrambled">scrambled</span>)"
                     : R"(<span class="badge clear">clear</span>)";
}

void AppendSchedule(std::string& out, const GuideProgram& p, const GuideTime& now) {
    if (!p.hasSchedule) {
        out += "<p class=\"now-next empty\">No schedule received.</p>\n";
        return;
    }
    const NowAndNext nn = FindNowAndNext(p.days, now);
    out += "<p class=\"now-next\"><strong>Now</strong> " +
           (nn.now.empty() ? std::string("&mdash;") : EscapeHtml(nn.now)) +
           " &nbsp; <strong>Next</strong> " +
           (nn.next.empty() ? std::string("&mdash;") : EscapeHtml(nn.next)) + "</p>\n";
    const std::size_t today = TodayIndex(p.days, now);
    out += "<table class=\"schedule\"><thead><tr>";
    for (std::size_t d = 0; d < p.days.size(); ++d)
        out += std::string(d == today ? "<th class=\"today\">" : "<th>") +
               EscapeHtml(DayName(p.days[d], d)) + "</th>";
    out += "</tr></thead><tbody><tr>";
    for (std::size_t d = 0; d < p.days.size(); ++d) {
        const std::vector<std::string> entries =
            p.days[d].content ? ScheduleEntries(*p.days[d].content) : std::vector<std::string>{};
        if (entries.empty()) {
            out += "<td class=\"empty\">no schedule</td>";
            continue;
        }
        out += d == today ? "<td class=\"today\"><ul>" : "<td><ul>";
        for (const std::string& e : entries)
            out += "<li>" + EscapeHtml(e) + "</li>";
        out += "</ul></td>";
    }
    out += "</tr></tbody></table>\n";
}

void AppendProgram(std::string& out, const GuideProgram& p, const GuideTime& now) {
    const std::string id = Number(p.id);
    out += "<article class=\"program\" id=\"program-" + id + "\" data-program=\"" + id +
           "\">\n<header>";
    if (p.icon.empty())
        out += "<span class=\"icon none\">no icon</span>";
    else if (!LooksLikeBmp(p.icon))
        out += "<span class=\"icon none\" title=\"the icon is not a BMP image\">?</span>";
    else
        out += "<img class=\"icon\" src=\"" + DataUri(p.icon) + "\" alt=\"icon of " +
               EscapeHtml(p.name) + "\">";
    out += "<div><h3 class=\"name\">" + EscapeHtml(p.name) + "</h3>\n<p class=\"facts\">";
    AppendBadge(out, p.scrambled);
    out += " program " + id + " &middot; <span class=\"channel\">" + EscapeHtml(p.channel) +
           "</span> &middot; <span class=\"frequency\">" + Number(p.frequency) + " kHz</span>";
    if (!p.media.empty()) out += " &middot; " + EscapeHtml(p.media);
    out += "</p></div>";
    if (LooksLikePng(p.still))
        out += "<img class=\"still\" src=\"" + DataUri(p.still, "image/png") +
               "\" alt=\"what is on " + EscapeHtml(p.name) + "\">";
    out += "</header>\n";
    if (!p.abstract.empty()) out += "<p class=\"abstract\">" + EscapeHtml(p.abstract) + "</p>\n";
    if (!p.internetLink.empty() || !p.epgInfoFile.empty()) {
        // Shown as text, never as a link: the broadcast does not choose where a click goes.
        out += "<p class=\"links\">";
        if (!p.internetLink.empty())
            out += "Internet: <code>" + EscapeHtml(p.internetLink) + "</code> ";
        if (!p.epgInfoFile.empty())
            out += "EPG information file: <code>" + EscapeHtml(p.epgInfoFile) + "</code>";
        out += "</p>\n";
    }
    AppendSchedule(out, p, now);
    out += "</article>\n";
}

void AppendNode(std::string& out, const GuideNode& node) {
    if (node.isResource) {
        out += "<li class=\"resource\" data-resource=\"" + Number(node.id) + "\" title=\"" +
               EscapeHtml(node.path) + "\"><span class=\"name\">" + EscapeHtml(node.name) +
               "</span> <span class=\"size\" title=\"" + Number(node.size) + " bytes\">" +
               SizeText(node.size) + "</span> ";
        AppendBadge(out, node.scrambled);
        out += " <span class=\"rid\">#" + Number(node.id) + "</span></li>\n";
        return;
    }
    out +=
        "<li class=\"directory\"><span class=\"name\">" + EscapeHtml(node.name) + "</span>\n<ul>\n";
    for (const GuideNode& child : node.children)
        AppendNode(out, child);
    out += "</ul></li>\n";
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char* reference = byte == '&'    ? "&amp;"
                                : byte == '<'  ? "&lt;"
                                : byte == '>'  ? "&gt;"
                                : byte == '"'  ? "&quot;"
                                : byte == '\'' ? "&#39;"
                                               : nullptr;
        if (reference != nullptr) {
            out += reference;
            ++i;
            continue;
        }
        // A whole UTF-8 sequence passes; overlong forms, surrogates and stray bytes do not.
        std::size_t length = byte < 0x80                    ? 1
                             : byte >= 0xC2 && byte <= 0xDF ? 2
                             : byte >= 0xE0 && byte <= 0xEF ? 3
                             : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                            : 0;
        bool good = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; good && k < length; ++k)
            good = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (good && length >= 3) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            good = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0) &&
                   !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
        }
        if (!good) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::vector<std::string> ScheduleEntries(std::string_view content) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= content.size()) {
        std::size_t end = content.find(';', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view entry = content.substr(start, end - start);
        while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.front())))
            entry.remove_prefix(1);
        while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back())))
            entry.remove_suffix(1);
        if (!entry.empty()) entries.emplace_back(entry);
        start = end + 1;
    }
    return entries;
}

NowAndNext FindNowAndNext(const std::array<GuideDay, 7>& days, const GuideTime& now) {
    NowAndNext result;
    const std::size_t today = TodayIndex(days, now);
    const std::vector<std::string> entries =
        days[today].content ? ScheduleEntries(*days[today].content) : std::vector<std::string>{};
    std::optional<std::size_t> current;
    bool timed = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const int minute = EntryMinute(entries[i]);
        timed = timed || minute >= 0;
        if (minute >= 0 && minute <= now.minute) current = i;
    }
    // A day without times is one entry for the whole day.
    if (!timed) {
        if (!entries.empty()) result.now = entries.front();
        return result;
    }
    if (current) result.now = entries[*current];
    const std::size_t next = current ? *current + 1 : 0;
    if (next < entries.size()) {
        result.next = entries[next];
    } else if (today + 1 < days.size() && days[today + 1].content) {
        const std::vector<std::string> tomorrow = ScheduleEntries(*days[today + 1].content);
        if (!tomorrow.empty())
            result.next = DayName(days[today + 1], today + 1) + ", " + tomorrow.front();
    }
    return result;
}

std::string RenderGuidePage(const GuidePage& page, const GuideTime& now) {
    std::string out = kHead;
    out += "<h1>Programme guide</h1>\n<p class=\"stamp\">";
    out += page.hasLive ? "Live EPG of " + EscapeHtml(StampText(page.liveVersion))
                        : std::string("No live EPG");
    out += " &middot; ";
    out += page.hasDownload ? "download EPG of " + EscapeHtml(StampText(page.downloadVersion))
                            : std::string("no download EPG");
    out += "</p>\n<section id=\"live\">\n<h2>Live programs (" + Number(page.programs.size()) +
           ")</h2>\n";
    if (page.programs.empty()) out += "<p class=\"empty\">No live program announced.</p>\n";
    for (const GuideProgram& p : page.programs)
        AppendProgram(out, p, now);
    out += "</section>\n<section id=\"links\">\n<h2>Service links (" + Number(page.links.size()) +
           ")</h2>\n";
    if (page.links.empty()) {
        out += "<p class=\"empty\">None.</p>\n";
    } else {
        out +=
            "<table class=\"plain\"><thead><tr><th>Frequency</th><th>Network</th><th>Stream</th>"
            "<th>Service</th><th>Internet</th><th>EPG information file</th></tr></thead><tbody>\n";
        for (const GuideLink& l : page.links)
            out += "<tr><td>" + Number(l.frequency) + " kHz</td><td>" + Number(l.onid) +
                   "</td><td>" + Number(l.tsid) + "</td><td>" + Number(l.svid) + "</td><td><code>" +
                   EscapeHtml(l.internetLink) + "</code></td><td><code>" +
                   EscapeHtml(l.epgInfoFile) + "</code></td></tr>\n";
        out += "</tbody></table>\n";
    }
    out += "</section>\n<section id=\"download\">\n<h2>Download EPG (" +
           Number(page.resourceCount) + " resources)</h2>\n";
    if (!page.tree) {
        out += "<p class=\"empty\">No category tree.</p>\n";
    } else {
        out += "<ul class=\"tree\">\n";
        AppendNode(out, *page.tree);
        out += "</ul>\n";
    }
    out += "</section>\n</body>\n</html>\n";
    return out;
}

}  // namespace krhost
