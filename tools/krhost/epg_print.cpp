#include "epg_print.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>

#include "common/epg_announcements.h"
#include "json_writer.h"

namespace krhost {
namespace {

constexpr int kSortTransport = 7;
constexpr int kSortLink = 8;

std::string SortName(unsigned sort) {
    switch (sort) {
        case kSortRtp:
            return "RTP";
        case kSortTransport:
            return "TS";
        case kSortLink:
            return "link";
        default:
            return std::to_string(sort);
    }
}

int32_t ProgramCount(const LiveEpg& epg) {
    return epg.programCount < 0 ? 0 : std::min<int32_t>(epg.programCount, 32);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// Visits the tree depth first; a link outside the pool, a cycle or a tree deeper than the pool
// ends the walk there.
void WalkTree(const DownloadEpg& epg,
              const std::function<void(const CategoryNode&, int depth, bool enter)>& visit) {
    if (epg.root == nullptr || !InPool(epg, epg.root)) return;
    int budget = 64;
    std::function<void(const CategoryNode*, int)> children = [&](const CategoryNode* node,
                                                                 int depth) {
        for (; node != nullptr && InPool(epg, node) && budget > 0; node = node->nextSibling) {
            --budget;
            visit(*node, depth, true);
            if (!node->isResource) children(node->firstChild, depth + 1);
            visit(*node, depth, false);
        }
    };
    const CategoryNode& root = *epg.root;
    --budget;
    visit(root, 0, true);
    if (!root.isResource) children(root.firstChild, 1);
    visit(root, 0, false);
}

const EventEpg* Events(const LiveEpg& epg) {
    return epg.eventEpg;
}

uint32_t EventCount(const EventEpg& events) {
    return std::min<uint32_t>(events.eventCount, 32);
}

}  // namespace

std::string VersionText(uint32_t packed) {
    if (packed == 0) return "";
    const double mjd = packed >> 16;
    const int yp = static_cast<int>((mjd - 15078.2) / 365.25);
    const int mp = static_cast<int>((mjd - 14956.1 - static_cast<int>(yp * 365.25)) / 30.6001);
    const int day = static_cast<int>(mjd) - 14956 - static_cast<int>(yp * 365.25) -
                    static_cast<int>(mp * 30.6001);
    const int k = mp == 14 || mp == 15 ? 1 : 0;
    const int year = 1900 + yp + k;
    const int month = mp - 1 - k * 12;
    return Format("%04d%02d%02d%02u%02u%02u", year, month, day, (packed >> 11) & 31u,
                  (packed >> 5) & 63u, (packed & 31u) * 2);
}

std::vector<ServiceLink> FetchServiceLinks() {
    uint8_t count = 0;
    if (kr_T2K_GetServiceInfoLink(&count, nullptr) != KR_OK || count == 0) return {};
    std::vector<ServiceLink> links(count);
    if (kr_T2K_GetServiceInfoLink(&count, links.data()) != KR_OK) return {};
    links.resize(count);
    return links;
}

const CategoryNode* FindResourceNode(const DownloadEpg& epg, uint32_t resourceId) {
    const CategoryNode* found = nullptr;
    WalkTree(epg, [&](const CategoryNode& node, int, bool enter) {
        if (enter && found == nullptr && node.isResource && node.id == resourceId) found = &node;
    });
    return found;
}

std::string FormatEpgTables(const EpgSnapshot& snapshot) {
    std::string out;
    if (snapshot.live == nullptr) {
        out += "Live EPG: none\n";
    } else {
        const LiveEpg& epg = *snapshot.live;
        const int32_t count = ProgramCount(epg);
        out +=
            Format("Live EPG: version %s, %d programs\n", VersionText(epg.version).c_str(), count);
        out += Format("  %-6s %-20s %-4s %-3s %-6s %-5s %-21s %-22s %-22s %s\n", "ID", "Name",
                      "Sort", "CA", "kHz", "PID", "Destination", "Video", "Audio", "Icon");
        for (int32_t i = 0; i < count; ++i) {
            const ProgramInfo& p = epg.program[i];
            const StreamInfo& s = epg.stream[i];
            std::string video = "-";
            std::string audio = "-";
            std::string destination = "-";
            if (s.sort == kSortRtp) {
                const MediaSdpView& sdp = s.media.sdp;
                destination = krtools::FormatAddress(s.address) + ":" + std::to_string(s.port);
                if (sdp.videoPort != 0)
                    video = Format("%u %s/%u", sdp.videoPort, Field(sdp.videoCodec).c_str(),
                                   sdp.videoClock);
                if (sdp.audioPort != 0)
                    audio = Format("%u %s/%u", sdp.audioPort, Field(sdp.audioCodec).c_str(),
                                   sdp.audioClock);
            } else if (s.sort == kSortTransport) {
                const MediaPidView& pids = s.media.pid;
                video.clear();
                for (unsigned k = 0; k < std::min<unsigned>(pids.pidCount, 5); ++k)
                    video += Format("%s%u/0x%02X", k ? " " : "", pids.pids[k], pids.pidTypes[k]);
                if (video.empty()) video = "-";
            }
            const std::string icon =
                p.icon != nullptr ? Format("%u bytes", p.icon->length) : std::string("-");
            out += Format("  %-6u %-20s %-4s %-3s %-6u %-5u %-21s %-22s %-22s %s\n", p.programId,
                          Field(p.name).c_str(), SortName(p.sort).c_str(), p.ca ? "yes" : "no",
                          p.frequency, s.pid, destination.c_str(), video.c_str(), audio.c_str(),
                          icon.c_str());
        }
        for (int32_t i = 0; i < count; ++i) {
            const ProgramInfo& p = epg.program[i];
            const std::string abstract = Field(p.abstract);
            const std::string link = Field(p.internetLink);
            const std::string file = Field(p.epgInfoFile);
            if (abstract.empty() && link.empty() && file.empty()) continue;
            out += Format("  %u: %s", p.programId, abstract.c_str());
            if (!link.empty()) out += " <" + link + ">";
            if (!file.empty()) out += " [" + file + "]";
            out += "\n";
        }
        const unsigned icons = std::min<unsigned>(epg.iconCount, 6);
        out += Format("Icons: %u\n", icons);
        for (unsigned i = 0; i < icons; ++i)
            out += Format("  %u: %u bytes\n", epg.icons[i].iconId, epg.icons[i].image.length);
        if (const EventEpg* events = Events(epg)) {
            out += Format("Schedules: %u programs\n", EventCount(*events));
            for (uint32_t e = 0; e < EventCount(*events); ++e) {
                const EventInfo& info = events->events[e];
                out += Format("  %u\n", info.programId);
                for (int d = 0; d < 7; ++d) {
                    const std::string day = Field(info.day[d]);
                    const std::string content =
                        info.contentPtr[d] != nullptr ? Field(info.content[d]) : std::string();
                    if (day.empty() && content.empty()) continue;
                    out += "    " + day + ": " + content + "\n";
                }
            }
        } else {
            out += "Schedules: none\n";
        }
    }
    out += Format("Service links: %zu\n", snapshot.links.size());
    for (const ServiceLink& l : snapshot.links)
        out += Format("  %u kHz, network %u, stream %u, service %u %s %s\n", l.frequency, l.onid,
                      l.tsid, l.svid, Field(l.internetLink).c_str(), Field(l.epgInfoFile).c_str());

    if (snapshot.download == nullptr) {
        out += "Download EPG: none\n";
        return out;
    }
    const DownloadEpg& epg = *snapshot.download;
    const uint32_t count = std::min<uint32_t>(epg.resourceCount, 64);
    out +=
        Format("Download EPG: version %s, %u resources\n", VersionText(epg.version).c_str(), count);
    out += Format("  %-6s %-3s %-6s %-5s %-9s %s\n", "ID", "CA", "kHz", "PID", "kbit/s",
                  "Destination");
    for (uint32_t i = 0; i < count; ++i) {
        const ResourceInfo& r = epg.resource[i];
        out += Format("  %-6u %-3s %-6u %-5u %-9u %s:%u\n", r.programId, r.ca ? "yes" : "no",
                      r.frequency, r.pid, r.bandwidth, krtools::FormatAddress(r.address).c_str(),
                      r.port);
    }
    out += "Categories:\n";
    WalkTree(epg, [&](const CategoryNode& node, int depth, bool enter) {
        if (!enter) return;
        const std::string indent(static_cast<std::size_t>(depth) * 2 + 2, ' ');
        if (node.isResource)
            out += Format("%s%s  (resource %u, %u bytes, %s)\n", indent.c_str(),
                          Field(node.name).c_str(), node.id, node.size, Field(node.path).c_str());
        else
            out += Format("%s%s%s  (%u)\n", indent.c_str(), Field(node.name).c_str(),
                          depth == 0 ? "" : "/", node.id);
    });
    return out;
}

void WriteEpgJson(JsonWriter& w, const EpgSnapshot& snapshot) {
    w.Key("live");
    if (snapshot.live == nullptr) {
        w.Null();
    } else {
        const LiveEpg& epg = *snapshot.live;
        w.BeginObject();
        w.Key("version").String(VersionText(epg.version));
        w.Key("programs").BeginArray();
        for (int32_t i = 0; i < ProgramCount(epg); ++i) {
            const ProgramInfo& p = epg.program[i];
            const StreamInfo& s = epg.stream[i];
            w.BeginObject();
            w.Key("id").Number(p.programId);
            w.Key("name").String(Field(p.name));
            w.Key("sort").Number(p.sort);
            w.Key("ca").Bool(p.ca != 0);
            w.Key("frequency").Number(p.frequency);
            w.Key("abstract").String(Field(p.abstract));
            w.Key("internetLink").String(Field(p.internetLink));
            w.Key("epgInfoFile").String(Field(p.epgInfoFile));
            w.Key("icon");
            if (p.icon != nullptr)
                w.Number(p.icon->length);
            else
                w.Null();
            // One shape for every kind of stream: what a kind lacks is null or empty.
            w.Key("stream").BeginObject();
            w.Key("pid").Number(s.pid);
            w.Key("address").String(krtools::FormatAddress(s.address));
            w.Key("port").Number(s.port);
            w.Key("kind").String(s.sort == kSortRtp         ? "rtp"
                                 : s.sort == kSortTransport ? "transport"
                                                            : "none");
            const MediaSdpView& sdp = s.media.sdp;
            const auto media = [&](const char* name, bool given, uint32_t port, const char* codec,
                                   uint32_t clock) {
                w.Key(name);
                if (!given) {
                    w.Null();
                    return;
                }
                w.BeginObject();
                w.Key("port").Number(port);
                w.Key("codec").String(codec);
                w.Key("clock").Number(clock);
                w.EndObject();
            };
            const bool rtp = s.sort == kSortRtp;
            media("video", rtp && sdp.videoPort != 0, rtp ? sdp.videoPort : 0,
                  rtp ? Field(sdp.videoCodec).c_str() : "", rtp ? sdp.videoClock : 0);
            media("audio", rtp && sdp.audioPort != 0, rtp ? sdp.audioPort : 0,
                  rtp ? Field(sdp.audioCodec).c_str() : "", rtp ? sdp.audioClock : 0);
            w.Key("pids").BeginArray();
            if (s.sort == kSortTransport) {
                for (unsigned k = 0; k < std::min<unsigned>(s.media.pid.pidCount, 5); ++k) {
                    w.BeginObject();
                    w.Key("pid").Number(s.media.pid.pids[k]);
                    w.Key("type").Number(s.media.pid.pidTypes[k]);
                    w.EndObject();
                }
            }
            w.EndArray();
            w.EndObject();
            w.EndObject();
        }
        w.EndArray();
        w.Key("icons").BeginArray();
        for (unsigned i = 0; i < std::min<unsigned>(epg.iconCount, 6); ++i) {
            w.BeginObject();
            w.Key("id").Number(epg.icons[i].iconId);
            w.Key("length").Number(epg.icons[i].image.length);
            w.EndObject();
        }
        w.EndArray();
        w.Key("schedules").BeginArray();
        if (const EventEpg* events = Events(epg)) {
            for (uint32_t e = 0; e < EventCount(*events); ++e) {
                const EventInfo& info = events->events[e];
                w.BeginObject();
                w.Key("program").Number(info.programId);
                w.Key("days").BeginArray();
                for (int d = 0; d < 7; ++d) {
                    w.BeginObject();
                    w.Key("day").String(Field(info.day[d]));
                    w.Key("content");
                    if (info.contentPtr[d] != nullptr)
                        w.String(Field(info.content[d]));
                    else
                        w.Null();
                    w.EndObject();
                }
                w.EndArray();
                w.EndObject();
            }
        }
        w.EndArray();
        w.EndObject();
    }
    w.Key("serviceLinks").BeginArray();
    for (const ServiceLink& l : snapshot.links) {
        w.BeginObject();
        w.Key("frequency").Number(l.frequency);
        w.Key("onid").Number(l.onid);
        w.Key("tsid").Number(l.tsid);
        w.Key("svid").Number(l.svid);
        w.Key("internetLink").String(Field(l.internetLink));
        w.Key("epgInfoFile").String(Field(l.epgInfoFile));
        w.EndObject();
    }
    w.EndArray();
    w.Key("download");
    if (snapshot.download == nullptr) {
        w.Null();
    } else {
        const DownloadEpg& epg = *snapshot.download;
        w.BeginObject();
        w.Key("version").String(VersionText(epg.version));
        w.Key("resources").BeginArray();
        for (uint32_t i = 0; i < std::min<uint32_t>(epg.resourceCount, 64); ++i) {
            const ResourceInfo& r = epg.resource[i];
            w.BeginObject();
            w.Key("id").Number(r.programId);
            w.Key("ca").Bool(r.ca != 0);
            w.Key("frequency").Number(r.frequency);
            w.Key("pid").Number(r.pid);
            w.Key("bandwidth").Number(r.bandwidth);
            w.Key("address").String(krtools::FormatAddress(r.address));
            w.Key("port").Number(r.port);
            w.EndObject();
        }
        w.EndArray();
        w.Key("tree");
        if (epg.root == nullptr || !InPool(epg, epg.root)) w.Null();
        WalkTree(epg, [&](const CategoryNode& node, int, bool enter) {
            if (enter) {
                w.BeginObject();
                w.Key("name").String(Field(node.name));
                w.Key("id").Number(node.id);
                if (node.isResource) {
                    w.Key("resource").Bool(true);
                    w.Key("size").Number(node.size);
                    w.Key("path").String(Field(node.path));
                    w.Key("free").Bool(node.free != 0);
                    w.Key("force").Bool(node.force != 0);
                    w.Key("drm").Bool(node.drm != 0);
                    w.Key("categoryType").Number(node.categoryType);
                } else {
                    w.Key("children").BeginArray();
                }
            } else {
                if (!node.isResource) w.EndArray();
                w.EndObject();
            }
        });
        w.EndObject();
    }
}

}  // namespace krhost
