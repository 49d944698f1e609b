// The demo: the sample head end built in memory with the stream generator's own code, received
// by this terminal through the library from start to end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "common/file_io.h"
#include "common/head_end.h"
#include "common/mux_options.h"
#include "epg_print.h"
#include "progress.h"
#include "samples_dir.h"
#include "tasks.h"

namespace krhost {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDemoProgram = 1001;
const std::vector<uint32_t> kDemoResources = {2012, 2007};

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

}  // namespace

int RunDemo(const HostOptions& o) {
    const fs::path samples = FindSamples(o.samples);
    const krtools::MuxOptions mux = krtools::ReadScenario(samples / "scenario");
    const krtools::MuxResult stream = krtools::BuildStream(mux);
    const fs::path directory = DemoDirectory(o.out);
    std::printf("krhost demo\n");
    std::printf(
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
    std::fflush(stdout);

    HostOptions options = o;
    if (options.store.empty()) options.store = directory / "krhost.store";
    Station st = OpenStation(options, MemorySource(stream.stream, "the sample head end"),
                             directory / "krhost.store");
    const fs::path video = directory / "program-1001.m4v";
    const fs::path audio = directory / "program-1001.aac";
    PlayTask play(kDemoProgram, KR_DELIVER_FRAMES, video, audio, 0, *st.terminal);
    DownloadTask download(kDemoResources, directory, *st.terminal);
    st.session->Start();
    uint8_t version[4] = {};
    (void)kr_T2K_GetVersion(version);
    std::printf(
        "2. Terminal: started krmodule %u.%u.%u.%u with a software demultiplexer; the "
        "store is %s.\n",
        version[0], version[1], version[2], version[3], options.store.c_str());
    std::fflush(stdout);
    const EndReason end = st.session->Run({&play, &download});
    EpgSnapshot snapshot;
    snapshot.live = st.session->live();
    snapshot.download = st.session->download();
    snapshot.links = FetchServiceLinks();
    const std::string epg = FormatEpgTables(snapshot);
    play.Stop();
    download.Stop();
    st.session->Finish();
    const PlayResult played = play.Close();
    const DownloadResult downloaded = download.Close();
    ReportInput(*st.session);

    std::printf("3. EPG received through the library (%s):\n", EndText(end).c_str());
    std::fputs(epg.c_str(), stdout);
    int status = 0;
    const auto source = [&](uint32_t id, bool isVideo) -> fs::path {
        for (const krtools::LiveProgramSource& p : mux.programs)
            if (p.programId == id) return isVideo ? p.video : p.audio;
        return {};
    };
    if (played.started) {
        std::printf(
            "4. Played program %u (%s): %llu video frames to %s (%s), %llu audio frames "
            "to %s (%s).\n",
            kDemoProgram, played.programName.c_str(),
            static_cast<unsigned long long>(played.videoFrames), video.c_str(),
            Compare(video, source(kDemoProgram, true)).c_str(),
            static_cast<unsigned long long>(played.audioFrames), audio.c_str(),
            Compare(audio, source(kDemoProgram, false)).c_str());
    } else {
        std::printf("4. Program %u was not announced: nothing played.\n", kDemoProgram);
        status = 1;
    }
    std::printf("5. Downloaded resources:\n");
    for (const ResourceProgress& r : downloaded.resources) {
        fs::path original;
        for (const krtools::ResourceSource& s : mux.resources)
            if (s.resourceId == r.id) original = s.file;
        if (r.written) {
            std::printf("   %u: %u blocks to %s (%s)\n", r.id, r.total,
                        (directory / r.name).c_str(),
                        Compare(directory / r.name, original).c_str());
        } else {
            std::printf("   %u: not complete (%u of %u blocks)\n", r.id,
                        static_cast<unsigned>(r.blocks.size()), r.total);
            status = 1;
        }
    }
    std::printf("Everything is in %s.\n", directory.c_str());
    return status;
}

}  // namespace krhost
