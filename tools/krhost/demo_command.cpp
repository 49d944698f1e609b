// The demo: the sample head end built in memory with the stream generator's own code, received
// by this terminal through the library from start to end.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "commands.h"
#include "common/file_io.h"
#include "epg_print.h"
#include "guide_command.h"
#include "headend/head_end.h"
#include "headend/mux_options.h"
#include "progress.h"
#include "samples_dir.h"
#include "tasks.h"

namespace krhost {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDemoProgram = 1001;
// Scrambled for the sample card: its words come from the card through the library.
constexpr uint32_t kScrambledProgram = 1002;
const std::vector<uint32_t> kDemoResources = {2012, 2007, 2003};

fs::path DemoDirectory(const fs::path& given) {
    if (!given.empty()) {
        std::error_code code;
        fs::create_directories(given, code);
        if (!fs::is_directory(given, code))
            throw krtools::ToolError("cannot create directory " + given.string());
        return given;
    }
    std::string pattern = (fs::temp_directory_path() / "krhost-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw krtools::ToolError("cannot create a temporary directory");
    return pattern;
}

// Whether a file equals the source it was made of.
std::string Compare(const fs::path& made, const fs::path& source) {
    try {
        return krtools::ReadWholeFile(made) == krtools::ReadWholeFile(source)
                   ? "identical to " + source.filename().string()
                   : "differs from " + source.filename().string();
    } catch (const krtools::ToolError&) {
        return "not written";
    }
}

// A second run over the same broadcast for the scrambled program: the terminal plays one
// program at a time.
PlayResult PlayAgain(const HostOptions& options, const std::vector<uint8_t>& stream,
                     uint32_t program, const fs::path& video, const fs::path& audio) {
    Station st = OpenStation(options, MemorySource(stream, "the sample head end"),
                             options.store);
    PlayTask play(program, KR_DELIVER_FRAMES, video, audio, 0, *st.terminal);
    st.session->Start();
    (void)st.session->Run({&play});
    play.Stop();
    st.session->Finish();
    return play.Close();
}

// The demo's story: standard output, or standard error under --json, where standard output
// holds only the JSON lines.
std::FILE* story = stdout;

void ReportPlayed(const char* step, uint32_t program, const PlayResult& played,
                  const fs::path& video, const fs::path& audio, const fs::path& videoSource,
                  const fs::path& audioSource, std::string& json) {
    const std::string videoSame = Compare(video, videoSource);
    const std::string audioSame = Compare(audio, audioSource);
    std::fprintf(story,
        "%s Played program %u (%s): %llu video frames to %s (%s), %llu audio frames "
        "to %s (%s).\n",
        step, program, played.programName.c_str(),
        static_cast<unsigned long long>(played.videoFrames), video.c_str(),
        videoSame.c_str(), static_cast<unsigned long long>(played.audioFrames),
        audio.c_str(), audioSame.c_str());
    json = RenderMembers([&](JsonWriter& j) {
        j.Key("program").Number(program);
        j.Key("name").String(played.programName);
        for (const bool isVideo : {true, false}) {
            j.Key(isVideo ? "video" : "audio").BeginObject();
            j.Key("file").String((isVideo ? video : audio).string());
            j.Key("frames").Number(
                static_cast<int64_t>(isVideo ? played.videoFrames : played.audioFrames));
            j.Key("identical").Bool((isVideo ? videoSame : audioSame).starts_with("identical"));
            j.EndObject();
        }
    });
}

}  // namespace

Outcome RunDemo(const HostOptions& o) {
    story = o.json ? stderr : stdout;
    const fs::path samples = FindSamples(o.samples);
    const krtools::MuxOptions mux = krtools::ReadScenario(samples / "scenario");
    const krtools::MuxResult stream = krtools::BuildStream(mux);
    const fs::path directory = DemoDirectory(o.out);
    std::fprintf(story, "krhost demo\n");
    std::fprintf(story, 
        "1. Head end: built the sample scenario %s in memory: %zu transport packets, "
        "%llu ms of broadcast\n   (%llu system information, %llu EPG blocks, %llu video "
        "and %llu audio datagrams, %llu resource blocks).\n",
        (samples / "scenario").c_str(), stream.stream.size() / 188,
        static_cast<unsigned long long>(stream.durationMs),
        static_cast<unsigned long long>(stream.sysinfoSections),
        static_cast<unsigned long long>(stream.epgBlockSections),
        static_cast<unsigned long long>(stream.videoSections),
        static_cast<unsigned long long>(stream.audioSections),
        static_cast<unsigned long long>(stream.resourceBlockSections));
    std::fflush(story);

    HostOptions options = o;
    if (options.store.empty()) options.store = directory / "krhost.store";
    const fs::path video = directory / "program-1001.m4v";
    const fs::path audio = directory / "program-1001.aac";
    PlayResult played;
    DownloadResult downloaded;
    EndReason end = EndReason::Done;
    std::string epg;
    std::string mails;
    std::string mailsJson;
    GuideResult guide;
    {
        Station st = OpenStation(options, MemorySource(stream.stream, "the sample head end"),
                                 directory / "krhost.store");
        PlayTask play(kDemoProgram, KR_DELIVER_FRAMES, video, audio, 0, *st.terminal);
        DownloadTask download(kDemoResources, directory, *st.terminal);
        st.session->Start();
        uint8_t version[4] = {};
        (void)kr_T2K_GetVersion(version);
        std::fprintf(story, 
            "2. Terminal: started krmodule %u.%u.%u.%u with a software demultiplexer and the "
            "sample card in its slot; the store is %s.\n",
            version[0], version[1], version[2], version[3], options.store.c_str());
        std::fflush(story);
        end = st.session->Run({&play, &download});
        const EpgSnapshot snapshot = TakeEpgSnapshot(*st.session);
        epg = FormatEpgTables(snapshot);
        mails = FormatMailList();
        mailsJson = RenderMembers(WriteMailList);
        guide = WriteGuide(snapshot, directory / "guide");
        play.Stop();
        download.Stop();
        st.session->Finish();
        played = play.Close();
        downloaded = download.Close();
        ReportInput(*st.session);
    }

    std::fprintf(story, "3. EPG received through the library (%s):\n", EndText(end).c_str());
    std::fputs(epg.c_str(), story);
    int status = 0;
    std::vector<std::string> playedJson;
    std::vector<std::string> downloadedJson;
    const auto source = [&](uint32_t id, bool isVideo) -> fs::path {
        for (const krtools::LiveProgramSource& p : mux.programs)
            if (p.programId == id) return isVideo ? p.video : p.audio;
        return {};
    };
    if (played.started) {
        ReportPlayed("4.", kDemoProgram, played, video, audio, source(kDemoProgram, true),
                     source(kDemoProgram, false), playedJson.emplace_back());
    } else {
        std::fprintf(story, "4. Program %u was not announced: nothing played.\n", kDemoProgram);
        status = 1;
    }
    std::fflush(story);
    const fs::path sportsVideo = directory / "program-1002.m4v";
    const fs::path sportsAudio = directory / "program-1002.aac";
    const PlayResult sports =
        PlayAgain(options, stream.stream, kScrambledProgram, sportsVideo, sportsAudio);
    if (sports.started && sports.videoFrames > 0) {
        ReportPlayed("5.", kScrambledProgram, sports, sportsVideo, sportsAudio,
                     source(kScrambledProgram, true), source(kScrambledProgram, false),
                     playedJson.emplace_back());
        std::fprintf(story, "   It is scrambled: the card gave the library its control words.\n");
    } else {
        std::fprintf(story, "5. Scrambled program %u: nothing played.\n", kScrambledProgram);
        status = 1;
    }
    std::fprintf(story, "6. Downloaded resources:\n");
    for (const ResourceProgress& r : downloaded.resources) {
        fs::path original;
        for (const krtools::ResourceSource& s : mux.resources)
            if (s.resourceId == r.id) original = s.file;
        const char* scrambled =
            std::count(mux.ca.scrambled.begin(), mux.ca.scrambled.end(), r.id) ? ", scrambled" : "";
        const std::string same = r.written ? Compare(directory / r.name, original) : "";
        downloadedJson.push_back(RenderMembers([&](JsonWriter& j) {
            j.Key("id").Number(r.id);
            j.Key("file");
            if (r.written) j.String((directory / r.name).string()); else j.Null();
            j.Key("blocks").Number(static_cast<int64_t>(r.blocks.size()));
            j.Key("total").Number(r.total);
            j.Key("scrambled").Bool(*scrambled != '\0');
            j.Key("identical").Bool(same.starts_with("identical"));
        }));
        if (r.written) {
            std::fprintf(story, "   %u: %u blocks to %s (%s%s)\n", r.id, r.total,
                        (directory / r.name).c_str(), same.c_str(), scrambled);
        } else {
            std::fprintf(story, "   %u: not complete (%u of %u blocks)\n", r.id,
                        static_cast<unsigned>(r.blocks.size()), r.total);
            status = 1;
        }
    }
    std::fprintf(story, "7. Mails the operator sent to the card:\n");
    if (mails.empty()) {
        std::fprintf(story, "   none\n");
    } else {
        std::istringstream lines(mails);
        for (std::string line; std::getline(lines, line);)
            std::fprintf(story, "   %s\n", line.c_str());
    }
    std::fprintf(story, "8. Programme guide for a browser: %s\n",
                guide.written ? guide.path.c_str() : guide.text.c_str());
    if (!guide.written) status = 1;
    std::fprintf(story, "Everything is in %s.\n", directory.c_str());
    std::fflush(story);
    Outcome outcome;
    if (status != 0) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "the demo did not deliver everything (see above)";
    }
    const auto array = [](JsonWriter& j, const char* name, const std::vector<std::string>& items) {
        j.Key(name).BeginArray();
        for (const std::string& item : items) {
            j.BeginObject();
            j.Raw(item);
            j.EndObject();
        }
        j.EndArray();
    };
    const fs::path guidePath = guide.written ? guide.path : fs::path();
    outcome.members = [=](JsonWriter& j) {
        j.Key("directory").String(directory.string());
        array(j, "played", playedJson);
        array(j, "downloaded", downloadedJson);
        j.Raw(mailsJson);
        j.Key("guide");
        if (guidePath.empty())
            j.Null();
        else
            j.String(guidePath.string());
    };
    return outcome;
}

}  // namespace krhost
