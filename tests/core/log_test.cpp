#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <string>
#include <thread>
#include <vector>

#include "core/host.h"
#include "core/log.h"
#include "support/fake_host.h"

namespace {

using krtest::FakeHost;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kr::ResetLogSettings();
        kr::SetHostCallbacks(FakeHost::AllSlots());
    }
    void TearDown() override {
        kr::ResetLogSettings();
        kr::ClearHostCallbacks();
    }
    std::vector<std::string> Lines() const { return host.DebugLines(); }
    FakeHost host;
};

TEST_F(LogTest, LaysOutEachLevelAndTagsEachModule) {
    kr_T2K_SetDebugFlag(0x30, 1);  // module 3, every level
    host.Clear();
    struct Case {
        uint8_t code;
        std::string line;
    };
    const Case cases[] = {
        {0x30, "\r\nhello\r\n"},
        {0x31, "\r\n====== hello ======\r\n"},
        {0x32, "**  hello\r\n"},
        {0x33, "**    hello\r\n"},
        {0x34, "**      hello\r\n"},
        {0x35, "**        hello\r\n"},
        {0x36, "hello"},
        {0x37, "hello"},
        {0x3F, "hello"},
    };
    for (const Case& c : cases) {
        host.Clear();
        kr::kr_Print(c.code, "%s", "hello");
        ASSERT_EQ(Lines(), std::vector<std::string>{c.line}) << "code 0x" << std::hex << +c.code;
    }
    // Each module has its tag.
    kr_T2K_SetDebugFlag(0x00, 1);  // all modules, every level
    const char* tags[] = {"  ", "--", "==", "**", "++", "##", "::", "~~",
                          "!!", "@@", "%%", "$$", "  ", "  ", "  ", "  "};
    for (uint8_t module = 0; module < 16; ++module) {
        host.Clear();
        kr::kr_Print(static_cast<uint8_t>(module << 4 | 2), "m%d", module);
        ASSERT_EQ(Lines(), std::vector<std::string>{std::string(tags[module]) + "  m" +
                                                    std::to_string(module) + "\r\n"});
    }
}

TEST_F(LogTest, SwitchesModulesAndLevels) {
    // Level cap: levels 1 and 2 of module 3 print, level 3 does not; others stay silent.
    kr_T2K_SetDebugFlag(0x32, 1);
    EXPECT_EQ(Lines().back(), "\r\nKRMODULE 3 Debug on level 2\r\n");
    host.Clear();
    kr::kr_Print(0x31, "a");
    kr::kr_Print(0x32, "b");
    kr::kr_Print(0x33, "c");
    kr::kr_Print(0x41, "other module");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"\r\n====== a ======\r\n", "**  b\r\n"}));

    // Level 0 means every level.
    kr_T2K_SetDebugFlag(0x30, 1);
    host.Clear();
    kr::kr_Print(0x39, "deep");
    EXPECT_EQ(Lines(), std::vector<std::string>{"deep"});

    // Switching off prints its message first, then the module is silent.
    host.Clear();
    kr_T2K_SetDebugFlag(0x30, 0);
    kr::kr_Print(0x31, "gone");
    EXPECT_EQ(Lines(), std::vector<std::string>{"\r\nKRMODULE 3 Debug off\r\n"});
    EXPECT_EQ(kr::LogSetting(3), 0);

    // Module 0 switches every module at once; code 0 messages print whatever the settings.
    host.Clear();
    kr_T2K_SetDebugFlag(0x03, 1);
    for (uint8_t m = 0; m < 16; ++m)
        EXPECT_EQ(kr::LogSetting(m), 0x13);
    kr_T2K_SetDebugFlag(0, 0);
    for (uint8_t m = 0; m < 16; ++m)
        EXPECT_EQ(kr::LogSetting(m), 0);
    kr::kr_Print(0x00, "always");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"\r\nKRMODULE Debug on level 3\r\n",
                                                 "\r\nKRMODULE Debug off\r\n", "\r\nalways\r\n"}));
    // Only the low byte of the code counts.
    kr_T2K_SetDebugFlag(0x1234, 1);  // module 3, level 4
    EXPECT_EQ(kr::LogSetting(3), 0x14);
}

TEST_F(LogTest, CutsLongTextsWithoutOverrun) {
    kr_T2K_SetDebugFlag(0x00, 1);
    const std::string longText(1000, 'x');
    for (const uint8_t code : std::vector<uint8_t>{0x00, 0x11, 0x25, 0x37}) {
        host.Clear();
        kr::kr_Print(code, "%s", longText.c_str());
        const std::vector<std::string> lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_LE(lines[0].size(), static_cast<size_t>(kr::kLogLineMax));
        EXPECT_NE(lines[0].find(std::string(127, 'x')), std::string::npos);
        EXPECT_EQ(lines[0].find(std::string(128, 'x')), std::string::npos);
    }
    // The framed layouts keep their line end even around a cut text.
    host.Clear();
    kr::kr_Print(0x11, "%s", longText.c_str());
    EXPECT_EQ(Lines()[0], "\r\n====== " + std::string(127, 'x') + " ======\r\n");
}

TEST_F(LogTest, NothingWithoutDebugPrint) {
    kr::ClearHostCallbacks();
    kr_T2K_SetDebugFlag(0x00, 1);
    kr::kr_Print(0x00, "dropped");
    kr::kr_Print(0x11, "dropped");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(LogTest, PrintsFromManyThreadsWhileSwitched) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i)
                kr::kr_Print(0x00, "t%d m%d", t, i);
        });
    }
    threads.emplace_back([] {
        for (int i = 0; i < kMessages; ++i)
            kr_T2K_SetDebugFlag(0x30, static_cast<uint8_t>(i & 1));
    });
    for (std::thread& thread : threads)
        thread.join();
    size_t plain = 0;
    for (const std::string& line : Lines()) {
        if (line.rfind("\r\nt", 0) == 0) ++plain;
    }
    EXPECT_EQ(plain, static_cast<size_t>(kThreads * kMessages));
}

}  // namespace
