// What the element reads from the frames for its caps and times: headers cut short or lying
// about their length give nothing, and times run on across the 32-bit timestamp wrap.
#include <gtest/gtest.h>

#include <vector>

#include "aac_format.h"
#include "common/file_io.h"
#include "mpeg4_format.h"
#include "rtp_clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(KrdemuxFormats, AdtsHeaderIsReadOnlyWhenWholeAndTrue) {
    // 48 kHz stereo AAC LC, frame length 9: the header and two bytes.
    const Bytes frame = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x3F, 0xFC, 0xAA, 0xBB};
    const auto format = krgst::ReadAdtsHeader(frame);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->rate, 48000u);
    EXPECT_EQ(format->channels, 2u);
    EXPECT_EQ(format->objectType, 2u);
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes longer = frame, reserved = frame, noSync = frame;
    longer[4] = 0x02;          // says 17 bytes, 9 are there
    reserved[2] = 0x4C | 0x3C;  // rate index 15
    noSync[1] = 0x01;
    for (const Case& c : {Case{"cut short", Bytes(frame.begin(), frame.begin() + 6)},
                          Case{"longer than the bytes", longer}, Case{"reserved rate", reserved},
                          Case{"no sync word", noSync}})
        EXPECT_FALSE(krgst::ReadAdtsHeader(c.bytes)) << c.what;
    const uint8_t config[2] = {0x11, 0x90};  // AAC LC, 48 kHz, stereo
    ASSERT_TRUE(krgst::ReadAudioSpecificConfig(config));
    EXPECT_EQ(krgst::ReadAudioSpecificConfig(config)->rate, 48000u);
    const uint8_t reservedConfig[2] = {0x17, 0x90};
    EXPECT_FALSE(krgst::ReadAudioSpecificConfig(reservedConfig));
}

TEST(KrdemuxFormats, VolHeaderOfTheSampleClipAndCutShort) {
    const Bytes clip = krtools::ReadWholeFile(KRMODULE_SAMPLES_DIR "/media/clip.m4v");
    const auto format = krgst::ReadVolHeader(clip);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->width, 320u);
    EXPECT_EQ(format->height, 240u);
    EXPECT_EQ(format->rateNumerator, 0u);  // its header does not fix the frame rate
    // A cut before the picture size ends is refused; none is read past or read wrong.
    EXPECT_FALSE(krgst::ReadVolHeader(std::span<const uint8_t>(clip.data(), 0x14)));
    for (std::size_t n = 0; n < 64; ++n)
        if (const auto cut = krgst::ReadVolHeader(std::span<const uint8_t>(clip.data(), n))) {
            EXPECT_EQ(cut->width * 1000 + cut->height, 320u * 1000 + 240u) << n;
        }
}

TEST(KrdemuxFormats, TimesRunOnAcrossTheTimestampWrap) {
    krgst::RtpClock clock(90000);
    EXPECT_EQ(clock.Nanoseconds(0xFFFFF000u), 0u);
    EXPECT_EQ(clock.Nanoseconds(0xFFFFF000u + 3600u), 40000000u);         // one frame on
    EXPECT_EQ(clock.Nanoseconds(0xFFFFF000u + 7200u), 80000000u);         // across the wrap
    EXPECT_EQ(clock.Nanoseconds(0xFFFFF000u + 3600u), 40000000u);         // one out of order
    EXPECT_EQ(clock.Nanoseconds(0xFFFFF000u + 90000u * 10), 10000000000u);  // ten seconds
}

}  // namespace
