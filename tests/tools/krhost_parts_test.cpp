// The terminal's parts that need no library: its command line, store file, file names,
// JSON writer and the missing-block ranges it reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/cissa.h"
#include "common/file_io.h"
#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "common/ts_packetiser.h"
#include "control_words.h"
#include "json_writer.h"
#include "options.h"
#include "output_files.h"
#include "progress.h"
#include "store_file.h"
#include "support/json_reader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Options the end-to-end runs do not use, or use in only one spelling.
TEST(KrhostOptions, ParsesEachCommandWithItsOptions) {
    const krhost::HostOptions play = krhost::ParseHostArguments(
        {"--input", "-", "play", "--program", "0x3E9", "--mode", "4", "--frames", "7", "--out", "v",
         "--debug", "0x23", "--debug", "0", "--rate", "2.5", "--timeout", "3"});
    EXPECT_EQ(play.command, krhost::Command::Play);
    EXPECT_EQ(play.program, 1001u);
    EXPECT_EQ(play.mode, 4u);
    EXPECT_EQ(play.maxFrames, 7u);
    EXPECT_EQ(play.debugCodes, (std::vector<uint8_t>{0x23, 0}));
    EXPECT_EQ(play.rateMbps, 2.5);
    EXPECT_EQ(play.timeoutSeconds, 3);

    EXPECT_EQ(krhost::ParseHostArguments({"epg", "--help"}).command, krhost::Command::Help);
}

class KrhostFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("krhost_files_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
               std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(KrhostFiles, StoreFileIsReplacedWholeOrNotAtAll) {
    const fs::path path = dir / "s.store";
    {
        krhost::StoreFile store(path);  // none yet: an empty store, no file until written
        EXPECT_FALSE(fs::exists(path));
        Bytes image(krhost::kStoreSize, 0x5A);
        std::string error;
        ASSERT_TRUE(store.Write(image.data(), image.size(), error)) << error;
        EXPECT_EQ(krtools::ReadWholeFile(path), image);
        EXPECT_EQ(store.writes(), 1u);
    }
    // Read back by the next run; no temporary file beside it.
    krhost::StoreFile again(path);
    Bytes read(krhost::kStoreSize);
    EXPECT_EQ(again.Read(read.data(), read.size()), krhost::kStoreSize);
    EXPECT_EQ(read[0], 0x5A);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    // A write that cannot land leaves the old image, in memory and on disk.
    fs::remove_all(dir);
    std::string error;
    Bytes other(krhost::kStoreSize, 1);
    EXPECT_FALSE(again.Write(other.data(), other.size(), error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(again.Read(read.data(), read.size()), krhost::kStoreSize);
    EXPECT_EQ(read[0], 0x5A);

    // A file of another size is not a store: refused, never overwritten.
    fs::create_directories(dir);
    krtools::WriteWholeFile(dir / "notes.txt", Bytes{'h', 'i'});
    EXPECT_THROW(krhost::StoreFile(dir / "notes.txt"), krtools::ToolError);
    EXPECT_EQ(krtools::ReadWholeFile(dir / "notes.txt"), (Bytes{'h', 'i'}));
}

TEST(KrhostNames, BroadcastFileNamesCannotLeaveTheOutputDirectory) {
    const struct {
        const char* name;
        const char* safe;
    } cases[] = {
        {"winter_landscapes.jpg", "winter_landscapes.jpg"},
        {"/Pictures$5/winter.jpg", "winter.jpg"},
        {"..\\..\\etc\\passwd", "passwd"},
        {"../", "resource-7"},
        {"..", "resource-7"},
        {"", "resource-7"},
        {"a\nb\x01.txt", "ab.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(krhost::SafeFileName(c.name, 7), c.safe) << c.name;
}

TEST(KrhostReports, MissingBlocksAsRanges) {
    EXPECT_EQ(krhost::DescribeRanges({}), "");
    EXPECT_EQ(krhost::DescribeRanges({4}), "4");
    EXPECT_EQ(krhost::DescribeRanges({1, 2, 3, 5, 7, 8}), "1-3, 5, 7-8");
}

TEST(KrhostJson, WritesWhatAStrictReaderReadsBackIndentedOrOnOneLine) {
    for (const bool oneLine : {false, true}) {
        krhost::JsonWriter w(oneLine);
        const std::string awkward = "quote \" backslash \\ tab \t line\n \x01 caf\xC3\xA9 bad \xFF";
        w.BeginObject();
        w.Key("text").String(awkward);
        w.Key("empty").BeginArray().EndArray();
        w.Key("list").BeginArray().Number(-5).Bool(true).Null().BeginObject().EndObject().EndArray();
        w.EndObject();
        // A document always ends with its line end; on one line, nothing before it.
        ASSERT_FALSE(w.text().empty());
        EXPECT_EQ(w.text().back(), '\n');
        if (oneLine) {
            EXPECT_EQ(w.text().find('\n'), w.text().size() - 1) << w.text();
        }
        const auto value = krtest::ParseJson(w.text());
        ASSERT_TRUE(value.has_value()) << w.text();
        EXPECT_EQ((*value)["text"].text,
                  "quote \" backslash \\ tab \t line\n \x01 caf\xC3\xA9 bad \xEF\xBF\xBD");
        EXPECT_TRUE((*value)["empty"].items.empty());
        ASSERT_EQ((*value)["list"].items.size(), 4u);
        EXPECT_EQ((*value)["list"][0].Int(), -5);
        EXPECT_TRUE((*value)["list"][2].IsNull());
    }
}

// Sections of a scrambled PID reach the filters only once the library has set its words.
TEST(KrhostDescrambler, SectionsOfAScrambledPidComeOutAsClearOnesOnlyWithItsWords) {
    constexpr uint16_t kPid = 0x234;
    const krtools::AesKey even = {0x11, 0x22}, odd = {0x33, 0x44};
    const std::vector<Bytes> sections = {krtools::BuildTableSection(0x80, Bytes(300, 0x5C)),
                                         krtools::BuildTableSection(0x81, Bytes(40, 0xC5))};
    krtools::TsPacketiser packetiser;
    Bytes stream, second;
    packetiser.PutSection(kPid, sections[0], stream);
    krtools::ScramblePid(stream, kPid, even, false);
    packetiser.PutSection(kPid, sections[1], second);
    krtools::ScramblePid(second, kPid, odd, true);
    stream.insert(stream.end(), second.begin(), second.end());

    krtools::DescramblerTable table;
    std::vector<Bytes> out;
    auto run = [&] {
        out.clear();
        krtools::TsDemux demux(
            [&](uint16_t, std::span<const uint8_t> s) { out.emplace_back(s.begin(), s.end()); });
        demux.UseDescrambler(&table);
        demux.Feed(stream);
        return demux.stats().undescrambled;
    };
    EXPECT_EQ(run(), stream.size() / 188);
    EXPECT_TRUE(out.empty());

    DescramblerRecord record{};
    record.request.type = 1;
    record.request.pid = kPid;
    std::copy(odd.begin(), odd.end(), record.controlWordA);
    std::copy(even.begin(), even.end(), record.controlWordB);
    EXPECT_EQ(krhost::ApplyControlWords(table, record),
              "descrambler: PID 564 has new control words");
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(out, sections);

    std::fill(std::begin(record.controlWordA), std::end(record.controlWordA), 0);
    std::fill(std::begin(record.controlWordB), std::end(record.controlWordB), 0);
    EXPECT_EQ(krhost::ApplyControlWords(table, record), "descrambler: PID 564 cleared");
    run();
    EXPECT_TRUE(out.empty());
}

}  // namespace
