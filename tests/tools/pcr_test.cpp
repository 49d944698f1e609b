// The programme clock reference as a receiver reads it from a packet's adaptation field.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>

#include "common/pcr.h"

namespace pcr_test {
namespace {

using Packet = std::array<uint8_t, 188>;

// A packet on PID 0x21 whose adaptation field fills it and carries ticks.
Packet ClockPacket(uint64_t ticks) {
    Packet p{};
    p.fill(0xFF);
    p[0] = 0x47;
    p[1] = 0x00;
    p[2] = 0x21;
    p[3] = 0x20;  // adaptation field only
    p[4] = 183;
    p[5] = 0x10;  // PCR present
    krtools::WritePcr(ticks, &p[6]);
    return p;
}

TEST(Pcr, ReadsWhatWasWrittenUpToTheWrap) {
    for (const uint64_t ticks : {uint64_t{0}, uint64_t{299}, uint64_t{300},
                                 uint64_t{27000000} * 600 + 7, krtools::kPcrWrap - 1}) {
        const Packet p = ClockPacket(ticks);
        EXPECT_EQ(krtools::ReadPcr(p), ticks) << ticks;
    }
    EXPECT_EQ(krtools::ReadPcr(ClockPacket(krtools::kPcrWrap + 5)), 5u);
    EXPECT_EQ(krtools::PcrTicksBetween(krtools::kPcrWrap - 10, 20), 30u);
    EXPECT_EQ(krtools::PcrTicksBetween(100, 400), 300u);
}

TEST(Pcr, PacketsWithoutAWholeClockGiveNone) {
    const Packet good = ClockPacket(123456789);
    const struct {
        const char* what;
        std::size_t at;
        uint8_t value;
        std::size_t size;
    } cases[] = {
        {"no sync byte", 0, 0x46, 188},
        {"marked damaged", 1, 0x80, 188},
        {"payload only", 3, 0x10, 188},
        {"no PCR flag", 5, 0x00, 188},
        {"field too short for a PCR", 4, 6, 188},
        {"field longer than the bytes given", 4, 183, 100},
        {"bytes end inside the PCR", 4, 7, 11},
        {"extension past 299", 11, 0xFF, 188},
    };
    for (const auto& c : cases) {
        Packet p = good;
        p[c.at] = c.value;
        if (c.at == 11) p[10] |= 0x01;
        EXPECT_FALSE(krtools::ReadPcr(std::span(p).first(c.size))) << c.what;
    }
}

}  // namespace
}  // namespace pcr_test
