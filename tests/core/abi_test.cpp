// Layouts the host relies on, checked at run time too so that a failure names the field.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <cstddef>

namespace {

TEST(Abi, RecordsWithoutPointersHaveOneLayout) {
    EXPECT_EQ(sizeof(SectionFilterParams), 40u);
    EXPECT_EQ(offsetof(SectionFilterParams, mask), 18u);
    EXPECT_EQ(offsetof(SectionFilterParams, reserved2), 36u);
    EXPECT_EQ(sizeof(ServiceRequest), 16u);
    EXPECT_EQ(sizeof(DescramblerRecord), 56u);
    EXPECT_EQ(offsetof(DescramblerRecord, controlWordB), 37u);
}

// Nineteen 32-bit words on a 32-bit terminal; pointers widen naturally on a 64-bit one.
TEST(Abi, InitRecordIsOneCountAndEighteenSlots) {
    const size_t word = sizeof(void*);
    EXPECT_EQ(sizeof(InitRecord), 19 * word);
    EXPECT_EQ(offsetof(InitRecord, callbacks), word);
    EXPECT_EQ(offsetof(InitRecord, callbacks.SmartcardReset), 18 * word);
    if (word == 4) {
        EXPECT_EQ(sizeof(InitRecord), 76u);
    }
}

TEST(Abi, EpgRecordsWithoutPointersHaveOneLayout) {
    EXPECT_EQ(sizeof(MediaInfo), 256u);
    EXPECT_EQ(offsetof(MediaSdpView, audioConfig), 254u);
    EXPECT_EQ(offsetof(MediaPidView, pidTypes), 12u);
    EXPECT_EQ(sizeof(StreamInfo), 280u);
    EXPECT_EQ(offsetof(StreamInfo, media), 24u);
    EXPECT_EQ(sizeof(IconInfo), 8204u);
    EXPECT_EQ(offsetof(IconInfo, image.data), 12u);
    EXPECT_EQ(sizeof(ServiceLink), 140u);
    EXPECT_EQ(sizeof(ResourceInfo), 24u);
}

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
