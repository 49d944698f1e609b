// krhost guide: the EPG the library delivered, as a page for a browser.
#include "guide_command.h"

#include <algorithm>
#include <ctime>

#include "commands.h"
#include "common/epg_announcements.h"
#include "common/file_io.h"
#include "output_files.h"
#include "progress.h"
#include "tasks.h"

namespace krhost {
namespace {

std::string Channel(const StreamInfo& s) {
    if (s.address != 0) return krtools::FormatAddress(s.address) + ":" + std::to_string(s.port);
    return "PID " + std::to_string(s.pid);
}

std::string Media(const StreamInfo& s) {
    if (s.sort == kSortRtp) {
        std::string media;
        if (s.media.sdp.videoPort != 0) media = "video " + Field(s.media.sdp.videoCodec);
        if (s.media.sdp.audioPort != 0)
            media += (media.empty() ? "audio " : ", audio ") + Field(s.media.sdp.audioCodec);
        return media;
    }
    const MediaPidView& pids = s.media.pid;
    std::string media;
    for (unsigned k = 0; k < std::min<unsigned>(pids.pidCount, 5); ++k)
        media += (k == 0 ? "PIDs " : " ") + std::to_string(pids.pids[k]);
    return media;
}

// The icon a program points at, only when it is one of the live EPG's own icons.
std::vector<uint8_t> Icon(const LiveEpg& epg, const IconImage* icon) {
    for (unsigned k = 0; k < std::min<unsigned>(epg.iconCount, 6); ++k) {
        const IconImage& image = epg.icons[k].image;
        if (icon != &image) continue;
        const std::size_t length = std::min<std::size_t>(image.length, sizeof image.data);
        return std::vector<uint8_t>(image.data, image.data + length);
    }
    return {};
}

void CollectSchedule(const LiveEpg& epg, GuideProgram& program) {
    const EventEpg* events = epg.eventEpg;
    if (events == nullptr) return;
    for (uint32_t e = 0; e < std::min<uint32_t>(events->eventCount, 32); ++e) {
        const EventInfo& info = events->events[e];
        if (info.programId != program.id) continue;
        program.hasSchedule = true;
        for (std::size_t d = 0; d < 7; ++d) {
            program.days[d].day = Field(info.day[d]);
            if (info.contentPtr[d] != nullptr) program.days[d].content = Field(info.content[d]);
        }
        return;
    }
}

// A link outside the pool ends the list there; the budget of the pool's size ends a cycle.
GuideNode CollectNode(const DownloadEpg& epg, const CategoryNode& node, int& budget) {
    GuideNode g;
    g.name = Field(node.name);
    g.id = node.id;
    g.isResource = node.isResource != 0;
    g.size = node.size;
    g.scrambled = node.caGiven != 0 && node.free == 0;
    g.path = Field(node.path);
    if (g.isResource) return g;
    for (const CategoryNode* child = node.firstChild;
         child != nullptr && InPool(epg, child) && budget > 0; child = child->nextSibling) {
        --budget;
        g.children.push_back(CollectNode(epg, *child, budget));
    }
    return g;
}

GuideTime LocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    GuideTime t;
    if (::localtime_r(&now, &local) == nullptr) return t;
    t.monthDay = local.tm_mday;
    t.month = local.tm_mon + 1;
    t.minute = local.tm_hour * 60 + local.tm_min;
    return t;
}

}  // namespace

GuidePage CollectGuide(const EpgSnapshot& snapshot) {
    GuidePage page;
    if (const LiveEpg* live = snapshot.live) {
        page.hasLive = true;
        page.liveVersion = VersionText(live->version);
        const int32_t count = std::clamp<int32_t>(live->programCount, 0, 32);
        for (int32_t i = 0; i < count; ++i) {
            const ProgramInfo& p = live->program[i];
            const StreamInfo& s = live->stream[i];
            GuideProgram g;
            g.id = p.programId;
            g.name = Field(p.name);
            g.scrambled = p.ca != 0;
            g.frequency = p.frequency;
            g.channel = Channel(s);
            g.media = Media(s);
            g.abstract = Field(p.abstract);
            g.internetLink = Field(p.internetLink);
            g.epgInfoFile = Field(p.epgInfoFile);
            g.icon = Icon(*live, p.icon);
            CollectSchedule(*live, g);
            page.programs.push_back(std::move(g));
        }
    }
    for (const ServiceLink& l : snapshot.links)
        page.links.push_back(
            {l.frequency, l.onid, l.tsid, l.svid, Field(l.internetLink), Field(l.epgInfoFile)});
    if (const DownloadEpg* download = snapshot.download) {
        page.hasDownload = true;
        page.downloadVersion = VersionText(download->version);
        page.resourceCount = std::min<uint32_t>(download->resourceCount, 64);
        if (download->root != nullptr && InPool(*download, download->root)) {
            int budget = 63;
            page.tree = CollectNode(*download, *download->root, budget);
        }
    }
    return page;
}

GuideResult WriteGuide(const EpgSnapshot& snapshot, const std::filesystem::path& directory) {
    const GuidePage page = CollectGuide(snapshot);
    const std::string html = RenderGuidePage(page, LocalTime());
    std::error_code code;
    std::filesystem::create_directories(directory, code);
    if (!std::filesystem::is_directory(directory, code))
        return {false, {}, "cannot create directory " + directory.string()};
    const std::filesystem::path file = directory / "index.html";
    std::string error;
    if (!ReplaceFileAtomically(file, reinterpret_cast<const uint8_t*>(html.data()), html.size(),
                               error))
        return {false, {}, error};
    return {true, file,
            "programme guide: " + file.string() + " (" + std::to_string(page.programs.size()) +
                " programs, " + std::to_string(page.resourceCount) + " resources)",
            page.programs.size(), page.resourceCount};
}

Outcome RunGuide(const HostOptions& o) {
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    st.session->Start();
    EpgWaitTask task(o.untilEnd);
    const EndReason end = st.session->Run({&task});
    const EpgSnapshot snapshot = TakeEpgSnapshot(*st.session);
    const bool any = snapshot.live != nullptr || snapshot.download != nullptr;
    const GuideResult result = WriteGuide(snapshot, o.out);
    st.session->Finish();
    Outcome outcome;
    NoteSession(outcome, *st.session, end);
    outcome.members = [result](JsonWriter& j) {
        j.Key("file");
        if (result.written)
            j.String(result.path.string());
        else
            j.Null();
        j.Key("programs").Number(static_cast<int64_t>(result.programs));
        j.Key("resources").Number(static_cast<int64_t>(result.resources));
    };
    if (InputUnreadable(*st.session, o.input, outcome)) return outcome;
    if (!result.written) {
        outcome.exit = kExitUndelivered;
        outcome.reason = result.text;
        return outcome;
    }
    Say(result.text);
    if (!any) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "no EPG: none stored and none arrived (" + EndText(end) + ")";
    }
    return outcome;
}

}  // namespace krhost
