// Transport packets scrambled and descrambled under DVB-CISSA, and the demultiplexer holding a
// crypto period's packets until its key has come.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cissa.h"

namespace {

using Packet = std::array<uint8_t, 188>;

const krtools::AesKey kKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// PID 0x100, counter 0; adaptation field control in bits 5..4 of byte 3.
Packet MakePacket(uint8_t adaptationControl, uint8_t adaptationLength = 0) {
    Packet p{0x47, 0x01, 0x00, static_cast<uint8_t>(adaptationControl << 4)};
    const std::size_t start = adaptationControl & 0x02 ? 5u + adaptationLength : 4u;
    if (adaptationControl & 0x02) p[4] = adaptationLength;
    for (std::size_t i = start; i < p.size(); ++i)
        p[i] = static_cast<uint8_t>((i - start) * 7 + 3);
    return p;
}

TEST(Cissa, EncryptsTheWholeBlocksOfThePayloadAsAesCbcWithTheFixedIv) {
    Packet p = MakePacket(0x01);
    const Packet clear = p;
    krtools::ScramblePacket(p.data(), kKey, false);
    // openssl enc -aes-128-cbc -nopad -K 000102..0f -iv 445642544d4350544145534349535341
    const std::array<uint8_t, 16> first = {0x2f, 0x94, 0xe6, 0x2d, 0x80, 0x97, 0x6a, 0xdd,
                                           0xf8, 0xf7, 0x3c, 0x71, 0xa8, 0x7d, 0xc4, 0x95};
    const std::array<uint8_t, 16> last = {0x86, 0xdc, 0xb5, 0x8b, 0x9d, 0x11, 0x4d, 0x4d,
                                          0x30, 0xa4, 0xfd, 0x04, 0x59, 0xcf, 0x2f, 0x2b};
    EXPECT_EQ(p[3], 0x90);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), p.begin() + 4));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), p.begin() + 164));
    EXPECT_TRUE(std::equal(p.begin() + 180, p.end(), clear.begin() + 180));  // the residue
}

TEST(Cissa, RoundTripsEvenAndOddPacketsWithAnAdaptationField) {
    const krtools::AesKey other = {0xA5};
    for (bool odd : {false, true}) {
        Packet p = MakePacket(0x03, 9);
        const Packet clear = p;
        krtools::ScramblePacket(p.data(), odd ? other : kKey, odd);
        EXPECT_EQ(p[3] >> 6, odd ? 3 : 2);
        EXPECT_TRUE(std::equal(p.begin() + 4, p.begin() + 14, clear.begin() + 4));
        EXPECT_NE(p, clear);
        EXPECT_TRUE(krtools::DescramblePacket(p.data(), kKey, other));
        EXPECT_EQ(p, clear);
        EXPECT_FALSE(krtools::DescramblePacket(p.data(), kKey, other));  // clear now
    }
}

// A descrambling thread keeps its own keyed copy of each table it reads: a second table, a new
// key in the first, a cleared PID and a table made where a destroyed one was must each be read
// afresh.
TEST(Cissa, ATableOpensEachPacketWithItsOwnCurrentKeys) {
    const krtools::AesKey other = {0xA5};
    auto check = [](const krtools::DescramblerTable& table, const krtools::AesKey& key) {
        Packet p = MakePacket(0x01);
        const Packet clear = p;
        krtools::ScramblePacket(p.data(), key, false);
        EXPECT_TRUE(table.Descramble(p.data()));
        EXPECT_EQ(p, clear);
    };
    krtools::DescramblerTable first, second;
    first.Set(0x100, kKey, kKey);
    second.Set(0x100, other, other);
    check(first, kKey);
    check(second, other);
    check(first, kKey);
    first.Set(0x100, other, kKey);
    check(first, other);
    first.Clear(0x100);
    Packet p = MakePacket(0x01);
    krtools::ScramblePacket(p.data(), other, false);
    EXPECT_FALSE(first.Descramble(p.data()));
    for (const krtools::AesKey& key : {kKey, other}) {
        auto table = std::make_unique<krtools::DescramblerTable>();
        table->Set(0x100, key, key);
        check(*table, key);
    }
}

TEST(Cissa, LeavesAPacketWithoutPayloadAlone) {
    Packet p = MakePacket(0x02, 183);
    const Packet clear = p;
    krtools::ScramblePacket(p.data(), kKey, true);
    EXPECT_EQ(p, clear);
}

}  // namespace
