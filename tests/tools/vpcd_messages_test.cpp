// krcard's side of the vpcd connection: messages however the socket cuts them, lengths that
// run past the bytes, and what the card answers to each control and command.
#include <gtest/gtest.h>

#include <stdexcept>

#include "card/card_profile.h"
#include "vpcd_messages.h"

namespace {

using krcard::Bytes;

TEST(VpcdMessages, AreSplitHoweverTheyArriveAndEveryLengthIsChecked) {
    const Bytes apdu = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    Bytes wire = krcard::FrameMessage(Bytes{4});
    for (uint8_t b : krcard::FrameMessage(apdu))
        wire.push_back(b);
    // All at once, and one byte at a time.
    for (const std::size_t step : {wire.size(), std::size_t{1}}) {
        krcard::VpcdReceiver receiver;
        std::vector<Bytes> messages;
        for (std::size_t at = 0; at < wire.size(); at += step)
            ASSERT_TRUE(receiver.Take(std::span(wire).subspan(at, step), messages));
        EXPECT_EQ(messages, (std::vector<Bytes>{{4}, apdu}));
        EXPECT_FALSE(receiver.InsideMessage());
    }
    // A length beyond the bytes that came: nothing yet, and a message cut if the link ends.
    krcard::VpcdReceiver waiting;
    std::vector<Bytes> none;
    EXPECT_TRUE(waiting.Take(Bytes{0x01, 0x00, 0xC0, 0xE4}, none));
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(waiting.InsideMessage());
    // A zero length is not vpcd's: nothing after it is taken.
    krcard::VpcdReceiver broken;
    EXPECT_FALSE(broken.Take(Bytes{0x00, 0x00, 0x00, 0x01, 0x04}, none));
    EXPECT_FALSE(broken.Take(krcard::FrameMessage(Bytes{4}), none));
    EXPECT_TRUE(none.empty());
    EXPECT_THROW(krcard::FrameMessage(Bytes(0x10000)), std::length_error);
}

TEST(VpcdMessages, TheCardAnswersTheAnswerToResetRequestAndCommandsOnly) {
    krtools::CardProfile profile;
    krtools::VirtualCard card(profile);
    krcard::CardInReader reader(card, profile.atr);
    EXPECT_EQ(reader.Handle({4}).reply, profile.atr);
    for (const uint8_t control : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{3}})
        EXPECT_FALSE(reader.Handle({control}).reply) << int{control};
    const krcard::CardInReader::Answer select =
        reader.Handle({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
    EXPECT_EQ(select.reply, (Bytes{0x90, 0x00}));
    EXPECT_EQ(select.line, "00 A4 00 00, 7 bytes: 90 00");
    // Whatever the command, the reader gets an answer with a status word.
    EXPECT_EQ(reader.Handle({0xFF, 0xFF}).reply->size(), 2u);
}

}  // namespace
