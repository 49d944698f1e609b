// Every record that crosses the library boundary is checked at compile time where it is defined
// (core/abi_layout.cpp, epg/epg_layout.cpp). A 32-bit run checks the pointer-bearing EPG records
// here again, so that its report names the field; the result codes are what compiled terminals
// compare with.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <cstddef>

namespace {

TEST(Abi, EpgRecordsOnA32BitTerminal) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "pointer-sized layout on this build";
    EXPECT_EQ(sizeof(ProgramInfo), 444u);
    EXPECT_EQ(offsetof(ProgramInfo, events), 304u);
    EXPECT_EQ(offsetof(ProgramInfo, epgInfoFile), 380u);
    EXPECT_EQ(sizeof(LiveEpg), 72412u);
    EXPECT_EQ(offsetof(LiveEpg, stream), 14220u);
    EXPECT_EQ(offsetof(LiveEpg, eventEpg), 23180u);
    EXPECT_EQ(offsetof(LiveEpg, icons), 23188u);
    EXPECT_EQ(sizeof(EventInfo), 36320u);
    EXPECT_EQ(offsetof(EventInfo, content), 480u);
    EXPECT_EQ(offsetof(EventEpg, events), 12u);
    EXPECT_EQ(sizeof(CategoryNode), 572u);
    EXPECT_EQ(offsetof(CategoryNode, nextSibling), 568u);
    EXPECT_EQ(offsetof(DownloadEpg, node), 1616u);
}

TEST(Abi, ResultCodes) {
    EXPECT_EQ(KR_YES, 225);
    EXPECT_EQ(KR_NO, 226);
    EXPECT_EQ(KR_NOT_THIS_CARD, 0xE5);
    EXPECT_EQ(KR_NO_UPDATE, 0xE6);
    EXPECT_EQ(KR_CARD_NOT_READY, 0x33);
    EXPECT_EQ(KR_PIN_BLOCKED, 0x31);
    EXPECT_EQ(KR_PIN_WRONG, 0x40);
    EXPECT_EQ(KR_NO_MEMORY, -6);
    EXPECT_EQ(KR_TABLE_FULL, -7);
}

}  // namespace
