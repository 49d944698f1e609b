// The krdemux element in gst-launch-1.0 pipelines over the sample broadcast: the video pad
// carries exactly the clip, scrambled or not; an empty card slot gives nothing but message 4 on
// the bus; the decoded pictures of the scrambled program are the clip's own pixels; and a file
// made of the element's output is MPEG-4 video and AAC audio of the clip's length. Skipped when
// GStreamer's tools or decoders are not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "headend/elementary_stream.h"
#include "tools/tool_process.h"

namespace {

namespace fs = std::filesystem;
using krtest::RunTool;
using krtest::ToolRun;
using ::testing::HasSubstr;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;
const std::string kCard = (kSamples / "card" / "card.txt").string();

std::string Program(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin"})
        if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
    return {};
}

// gst-launch-1.0 with a pipeline of words; -m prints the bus messages.
ToolRun Launch(const std::vector<std::string>& pipeline, bool messages = false) {
    std::vector<std::string> arguments = {"-q"};
    if (messages) arguments = {"-m"};
    arguments.insert(arguments.end(), pipeline.begin(), pipeline.end());
    return RunTool(Program("gst-launch-1.0"), arguments, "/dev/null", 60, false);
}

bool HasElement(const std::string& name) {
    return RunTool(Program("gst-inspect-1.0"), {"--exists", name}, "/dev/null", 60, false)
               .status == 0;
}

class KrdemuxTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (Program("gst-launch-1.0").empty()) return;
        shared = fs::temp_directory_path() / ("krdemux_suite_" + std::to_string(::getpid()));
        fs::create_directories(shared);
        stream = shared / "sample.ts";
        const ToolRun mux = RunTool(
            KRMUX_EXE, {"--scenario", (kSamples / "scenario").string(), "--out", stream.string()});
        ASSERT_EQ(mux.status, 0) << mux.err;
    }
    static void TearDownTestSuite() {
        if (!shared.empty()) fs::remove_all(shared);
    }

    void SetUp() override {
        if (Program("gst-launch-1.0").empty() || !HasElement("krdemux"))
            GTEST_SKIP() << "GStreamer's tools or the krdemux plugin (GST_PLUGIN_PATH) missing";
        dir = shared / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
    }

    std::string Source() const { return "location=" + stream.string(); }

    static inline fs::path shared;
    static inline fs::path stream;
    fs::path dir;
};

TEST_F(KrdemuxTest, VideoPadCarriesExactlyTheClip) {
    struct Case {
        std::string program;
        std::string card;  // empty: the element's default, the sample card
        bool withAudio;
    };
    for (const Case& c : {Case{"1001", "", false}, Case{"1002", kCard, true}}) {
        SCOPED_TRACE(c.program);
        const fs::path video = dir / (c.program + ".m4v");
        const fs::path audio = dir / (c.program + ".aac");
        std::vector<std::string> pipeline = {"filesrc", Source(), "!", "krdemux", "name=d",
                                             "program=" + c.program};
        if (!c.card.empty()) pipeline.push_back("card=" + c.card);
        pipeline.insert(pipeline.end(), {"d.video", "!", "filesink", "location=" + video.string()});
        if (c.withAudio)
            pipeline.insert(pipeline.end(),
                            {"d.audio", "!", "filesink", "location=" + audio.string()});
        const ToolRun run = Launch(pipeline);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(krtools::ReadWholeFile(video),
                  krtools::ReadWholeFile(kSamples / "media/clip.m4v"));
        if (c.withAudio) {
            EXPECT_EQ(krtools::ReadWholeFile(audio),
                      krtools::ReadWholeFile(kSamples / "media/clip.aac"));
        }
    }
}

TEST_F(KrdemuxTest, EmptyCardSlotGivesNothingAndMessageFour) {
    const fs::path video = dir / "v.m4v";
    const ToolRun run = Launch({"filesrc", Source(), "!", "krdemux", "name=d", "program=1002",
                                "card=none", "d.video", "!", "filesink",
                                "location=" + video.string()},
                               true);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("krdemux-message, number=(uint)4, text=(string)\"no\\ card\""));
    EXPECT_THAT(run.out, HasSubstr("krdemux-epg"));
    EXPECT_TRUE(krtools::ReadWholeFile(video).empty());
}

// The library runs once per process: a second element fails to start, and says why.
TEST_F(KrdemuxTest, SecondElementInOneProcessFailsToStart) {
    const ToolRun run =
        Launch({"filesrc", Source(), "!", "tee", "name=t", "t.", "!", "queue", "!", "krdemux",
                "program=1001", "!", "fakesink", "t.", "!", "queue", "!", "krdemux",
                "program=1001", "!", "fakesink"});
    EXPECT_NE(run.status, 0);
    EXPECT_THAT(run.out + run.err, HasSubstr("the library already runs in this process"));
}

// What the element plays decodes to the clip's pictures: the first pictures of both programs
// as PNG files (kept with the build's artifacts), and every decoded pixel of the scrambled
// program equal to those of the clip decoded directly.
TEST_F(KrdemuxTest, DecodedPicturesAreTheClips) {
    if (!HasElement("avdec_mpeg4") || !HasElement("pngenc") || !HasElement("multifilesrc"))
        GTEST_SKIP() << "no decoder";
    const std::vector<std::string> toRgb = {"!", "avdec_mpeg4", "!", "videoconvert", "!",
                                            "video/x-raw,format=RGB", "!"};
    const auto play = [&](const std::string& program, std::vector<std::string> tail) {
        std::vector<std::string> p = {"filesrc", Source(), "!", "krdemux", "name=d",
                                      "program=" + program, "card=" + kCard, "d.video"};
        p.insert(p.end(), toRgb.begin(), toRgb.end());
        p.insert(p.end(), tail.begin(), tail.end());
        return Launch(p);
    };
    const fs::path artifacts = KRMODULE_ARTIFACTS_DIR;
    fs::create_directories(artifacts);
    for (const std::string program : {"1001", "1002"}) {
        const fs::path png = artifacts / ("krdemux_" + program + ".png");
        const ToolRun run =
            play(program, {"pngenc", "snapshot=true", "!", "filesink", "location=" + png.string()});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::vector<uint8_t> bytes = krtools::ReadWholeFile(png);
        ASSERT_GT(bytes.size(), 8u);
        EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG") << program;
    }
    const fs::path played = dir / "1002.rgb", direct = dir / "clip.rgb";
    ASSERT_EQ(play("1002", {"filesink", "location=" + played.string()}).status, 0);
    // The clip straight from its file, a frame a buffer (as the head end splits it), at the
    // sample clip's size and rate.
    const std::vector<uint8_t> source = krtools::ReadWholeFile(kSamples / "media/clip.m4v");
    fs::create_directories(dir / "frames");
    int n = 0;
    for (const krtools::FrameSpan& f : krtools::SplitMpeg4Video(source)) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.m4v", n++);
        const auto at = source.begin() + static_cast<std::ptrdiff_t>(f.offset);
        krtools::WriteWholeFile(dir / "frames" / name,
                                std::vector<uint8_t>(at, at + static_cast<std::ptrdiff_t>(f.size)));
    }
    std::vector<std::string> clip = {
        "multifilesrc", "location=" + (dir / "frames" / "f%03d.m4v").string(),
        "caps=video/mpeg,mpegversion=4,systemstream=false,width=320,height=240,framerate=25/1"};
    clip.insert(clip.end(), toRgb.begin(), toRgb.end());
    clip.insert(clip.end(), {"filesink", "location=" + direct.string()});
    const ToolRun decoded = Launch(clip);
    ASSERT_EQ(decoded.status, 0) << decoded.out << decoded.err;
    const std::vector<uint8_t> pixels = krtools::ReadWholeFile(played);
    EXPECT_FALSE(pixels.empty());
    EXPECT_TRUE(pixels == krtools::ReadWholeFile(direct)) << "the pixels differ from the clip's";
}

// The output muxed into a file: the discoverer names MPEG-4 video and AAC audio of the clip's
// two seconds.
TEST_F(KrdemuxTest, DiscovererSeesMpeg4VideoAndAacOfTheClipsLength) {
    if (Program("gst-discoverer-1.0").empty() || !HasElement("matroskamux") ||
        !HasElement("aacparse"))
        GTEST_SKIP() << "no discoverer or muxer";
    const fs::path file = dir / "1001.mkv";
    const ToolRun run = Launch({"filesrc", Source(), "!", "krdemux", "name=d", "program=1001",
                                "matroskamux", "name=m", "!", "filesink",
                                "location=" + file.string(), "d.video", "!", "queue", "!", "m.",
                                "d.audio", "!", "queue", "!", "aacparse", "!", "m."});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const ToolRun found =
        RunTool(Program("gst-discoverer-1.0"), {file.string()}, "/dev/null", 60, false);
    ASSERT_EQ(found.status, 0) << found.out << found.err;
    EXPECT_THAT(found.out, HasSubstr("MPEG-4 Video"));
    EXPECT_THAT(found.out, HasSubstr("MPEG-4 AAC"));
    EXPECT_THAT(found.out, HasSubstr("Duration: 0:00:02.0"));
}

}  // namespace
