#include "epg/program_epg.h"

#include <gtest/gtest.h>

#include <string>

#include "epg/epg_fixture.h"
#include "epg/text_syntax.h"

namespace program_epg_test {
namespace {

using krtest::Bytes;

std::string Section(uint32_t id, const std::string& body = "") {
    return "[PROGRAM" + std::to_string(id) + "]\nProgramID=" + std::to_string(id) + "\n" + body;
}

class ProgramEpgTest : public krtest::EpgTest {
  protected:
    int32_t Parse(const std::vector<uint8_t>& file) {
        return kr::kr_ParseProgramEpg(file.data(), static_cast<uint32_t>(file.size()));
    }
    int32_t ParseText(const std::string& text) { return Parse(Bytes(text)); }
    EventEpg& Current() { return *kr::Epg().currentEvent; }
};

// Lines are read verbatim: blanks stay in values and count in keys. CR LF reads like LF.
TEST_F(ProgramEpgTest, VerbatimLines) {
    for (const char* name : {"epg/program_days.txt", "epg/program_days_crlf.txt"}) {
        SCOPED_TRACE(name);
        kr::kr_EpgReset();
        ASSERT_EQ(Parse(krtest::ReadTestData(name)), 0);
        const EventEpg& epg = Current();
        EXPECT_EQ(epg.state, kr::kBufferValid);
        EXPECT_EQ(epg.eventCount, 3u);
        EXPECT_EQ(epg.version, 0xD714645Cu);

        const EventInfo& first = epg.events[0];
        EXPECT_EQ(first.programId, 1001u);  // "ProgramID = 99" has the key "ProgramID "
        EXPECT_STREQ(first.day[0], "Monday 7 December");  // not the line before the section
        EXPECT_STREQ(first.content[0], "06:00 Morning news");
        EXPECT_EQ(first.contentPtr[0], first.content[0]);
        EXPECT_EQ(first.contentPtr[1], nullptr);
        EXPECT_STREQ(first.day[2], "Wednesday");
        EXPECT_STREQ(first.content[2], " 20:00 Evening news");
        EXPECT_EQ(first.contentPtr[2], first.content[2]);

        const EventInfo& second = epg.events[1];
        EXPECT_EQ(second.programId, 1002u);
        EXPECT_STREQ(second.day[0], "Tuesday");  // "Day12": only the fourth character counts
        EXPECT_STREQ(second.day[1], "");         // " Day2" begins with a blank
        EXPECT_STREQ(second.day[6], "");         // "Day8" names no day
        EXPECT_EQ(second.contentPtr[6], second.content[6]);  // "Content7" without '='
        EXPECT_STREQ(second.content[6], "");
        for (int d = 0; d < 6; ++d)
            EXPECT_EQ(second.contentPtr[d], nullptr) << d;

        EXPECT_EQ(epg.events[2].programId, 0u);  // "ProgramID =1003"
    }
}

TEST_F(ProgramEpgTest, EventKeyLines) {
    EventInfo* record = &kr::Epg().event[0].events[0];
    EXPECT_EQ(kr::kr_ParseEventKey(record, ""), -1);
    EXPECT_EQ(kr::kr_ParseEventKey(nullptr, "ProgramID=1"), -1);
    EXPECT_EQ(kr::kr_ParseEventKey(record, "Unknown=1"), 1);
    EXPECT_EQ(kr::kr_ParseEventKey(record, "ProgramID=+12x"), 1);
    EXPECT_EQ(record->programId, 12u);

    // Values longer than their fields are cut: a day keeps 63 characters.
    const std::string longDay(100, 'd');
    ASSERT_EQ(kr::kr_ParseEventKey(record, ("Day5=" + longDay).c_str()), 1);
    EXPECT_EQ(std::string(record->day[4]), longDay.substr(0, 63));
    EXPECT_EQ(record->day[5][0], '\0');  // nothing spilled into the next day

    // A content is cleared over the length of the new text before it is written.
    const std::string longContent(5200, 'c');
    ASSERT_EQ(kr::kr_ParseEventKey(record, ("Content2=" + longContent).c_str()), 1);
    EXPECT_EQ(std::string(record->content[1]), longContent.substr(0, 5119));
    EXPECT_EQ(record->content[2][0], '\0');
    ASSERT_EQ(kr::kr_ParseEventKey(record, "Content2=short"), 1);
    EXPECT_STREQ(record->content[1], "short");
    EXPECT_EQ(record->contentPtr[1], record->content[1]);
}

TEST_F(ProgramEpgTest, RecordLimitAndCount) {
    std::string file = "[Program_EPG]\nCOUNT=40\n";
    for (uint32_t i = 1; i <= 35; ++i)
        file += Section(i, "Day1=day of " + std::to_string(i) + "\n");
    ASSERT_EQ(ParseText(file), 0);
    EXPECT_EQ(Current().eventCount, 32u);
    // The 33rd header ends the reading: the 32nd record keeps its own schedule.
    EXPECT_EQ(Current().events[31].programId, 32u);
    EXPECT_STREQ(Current().events[31].day[0], "day of 32");

    // COUNT 0 publishes an empty event EPG.
    ASSERT_EQ(ParseText("[Program_EPG]\nCOUNT=0\nVERSION=20100101000000\n" + Section(1)), 0);
    EXPECT_EQ(Current().eventCount, 0u);
    EXPECT_EQ(Current().events[0].programId, 0u);
}

TEST_F(ProgramEpgTest, FileAndVersionRules) {
    struct Case {
        std::string text;
        const char* message;  // null: no message
    };
    const Case rejected[] = {
        {"COUNT=1\n", "Invalid program epg."},
        {"[PROGRAM_EPG]\nCOUNT=1\n", "Invalid program epg."},
        {"[Program_EPG]\n[PROGRAM1]\n", nullptr},
        // A negative count would announce billions of records.
        {"[Program_EPG]\nCOUNT=-2\n", nullptr},
    };
    for (const Case& c : rejected) {
        host.Clear();
        EXPECT_EQ(ParseText(c.text), -1) << c.text;
        if (c.message != nullptr) {
            EXPECT_TRUE(host.HasDebugText(c.message)) << c.text;
        }
        EXPECT_FALSE(host.HasDebugText("Received program EPG.")) << c.text;
        EXPECT_EQ(kr::Epg().currentEvent, nullptr) << c.text;
    }

    const std::string v1 = "[Program_EPG]\nCOUNT=1\nVERSION=20100101000000\n" + Section(1);
    const std::string none = "[Program_EPG]\nCOUNT=1\n" + Section(3);
    ASSERT_EQ(ParseText(v1), 0);
    EventEpg* first = kr::Epg().currentEvent;
    host.Clear();
    EXPECT_EQ(ParseText(v1), 1);
    EXPECT_TRUE(host.HasDebugText("Received program EPG."));
    EXPECT_EQ(kr::Epg().currentEvent, first);

    // Without VERSION the file is parsed once; the same missing version is then "the same".
    ASSERT_EQ(ParseText(none), 0);
    EventEpg* second = kr::Epg().currentEvent;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->version, kr::kNoVersion);
    host.Clear();
    EXPECT_EQ(ParseText(none), 1);
    EXPECT_TRUE(host.HasDebugText("Received program EPG."));
}

TEST_F(ProgramEpgTest, RecordsOfAnOlderFileAreNotShown) {
    const std::string full = "[Program_EPG]\nCOUNT=3\nVERSION=20100101000000\n" +
                             Section(1, "Day1=a\nContent1=a\n") +
                             Section(2, "Day2=b\nContent2=b\n") + Section(3);
    const std::string other = "[Program_EPG]\nCOUNT=1\nVERSION=20100102000000\n" + Section(9);
    const std::string shortFile =
        "[Program_EPG]\nCOUNT=3\nVERSION=20100103000000\n" + Section(7, "Day3=c\n");
    ASSERT_EQ(ParseText(full), 0);
    EventEpg* first = kr::Epg().currentEvent;
    ASSERT_EQ(ParseText(other), 0);
    ASSERT_EQ(ParseText(shortFile), 0);
    ASSERT_EQ(kr::Epg().currentEvent, first);
    EXPECT_EQ(first->eventCount, 3u);
    EXPECT_EQ(first->events[0].programId, 7u);
    EXPECT_STREQ(first->events[0].day[0], "");
    EXPECT_EQ(first->events[0].contentPtr[0], nullptr);
    EXPECT_STREQ(first->events[0].day[2], "c");
    EXPECT_EQ(first->events[1].programId, 0u);
    EXPECT_STREQ(first->events[1].day[1], "");
    EXPECT_EQ(first->events[1].contentPtr[1], nullptr);
    EXPECT_EQ(first->events[2].programId, 0u);
}

}  // namespace
}  // namespace program_epg_test
