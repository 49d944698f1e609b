#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/date.h"

namespace {

uint16_t Mjd(int32_t year, int32_t month, int32_t day) {
    uint16_t mjd = 0xFFFF;
    kr::MjdFromDate(year, month, day, &mjd);
    return mjd;
}

TEST(Date, ModifiedJulianDate) {
    struct Case {
        int32_t year, month, day;
        uint16_t mjd;
    };
    const Case cases[] = {
        {2009, 8, 17, 55060},
        {1900, 1, 1, 15020},
        {1900, 3, 1, 15079},
        {2000, 1, 1, 51544},
        {2000, 2, 29, 51603},
        {2000, 3, 1, 51604},
        // MJD 88068 kept as 16 bits.
        {2099, 12, 31, 22532},
        // Out of range: 0.
        {2100, 1, 1, 0},
        {1899, 12, 31, 0},
        {2009, 0, 1, 0},
        {2009, 13, 1, 0},
        {2009, 1, 0, 0},
        {2009, 1, 32, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Mjd(c.year, c.month, c.day), c.mjd) << c.year << "-" << c.month << "-" << c.day;
    }
    // Day 30 of February is not rejected: it is the day after the 29th.
    EXPECT_EQ(Mjd(2000, 2, 30), Mjd(2000, 3, 1));
    kr::MjdFromDate(2009, 8, 17, nullptr);  // no crash
}

TEST(Date, VersionStamp) {
    const uint32_t expected = 55060u * 65536u + 12u * 2048u + 34u * 32u + 28u;
    EXPECT_EQ(kr::kr_ParseVersionStamp("20090817123456"), expected);
    // Only 14 characters are read.
    EXPECT_EQ(kr::kr_ParseVersionStamp("20090817123456999"), expected);
    // A date out of range leaves the date half 0; the time half is still packed.
    EXPECT_EQ(kr::kr_ParseVersionStamp("21000101000002"), 1u);
    // The hour is not masked: 99 hours overflow into the kept 16 bits only.
    EXPECT_EQ(kr::kr_ParseVersionStamp("20090817990000"),
              55060u * 65536u + ((99u * 2048u) & 0xFFFF));
    EXPECT_EQ(kr::kr_ParseVersionStamp(nullptr), 0u);
}

TEST(Date, VersionStampNeverReadsPastTheText) {
    // Exactly sized heap copies: the sanitizers see any read beyond the terminating NUL.
    for (const char* text : {"", "2009", "200908", "2009081712", "2009081712345"}) {
        const size_t size = std::strlen(text) + 1;
        auto copy = std::make_unique<char[]>(size);
        std::memcpy(copy.get(), text, size);
        const uint32_t stamp = kr::kr_ParseVersionStamp(copy.get());
        if (std::strlen(text) >= 8) {
            EXPECT_EQ(stamp >> 16, 55060u) << text;
        }
    }
    const char shortTime[] = "2009081712345";  // seconds "5" -> 5 / 2 = 2
    EXPECT_EQ(kr::kr_ParseVersionStamp(shortTime), 55060u * 65536u + 12u * 2048u + 34u * 32u + 2u);
}

}  // namespace
