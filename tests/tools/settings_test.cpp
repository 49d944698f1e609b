// Numbers as scenarios, profiles, state files and command lines write them. Whole settings files
// and hex bytes are covered by the card-profile, card-state and scenario tests.
#include <gtest/gtest.h>

#include <optional>

#include "common/settings.h"

namespace settings_test {
namespace {

TEST(Settings, NumbersAreWholeAndWithinTheirLimit) {
    const struct {
        const char* text;
        uint64_t max;
        std::optional<uint64_t> number;   // ParseNumber
        std::optional<uint64_t> decimal;  // ParseDecimal
    } cases[] = {
        {"8191", 0x1FFF, 8191, 8191},
        {"0x1FFF", 0x1FFF, 0x1FFF, std::nullopt},
        {"0X1f", 0xFF, 0x1F, std::nullopt},
        {"8192", 0x1FFF, std::nullopt, std::nullopt},
        {"0x", 0xFF, std::nullopt, std::nullopt},
        {"", 0xFF, std::nullopt, std::nullopt},
        {"-1", UINT64_MAX, std::nullopt, std::nullopt},
        {"+1", UINT64_MAX, std::nullopt, std::nullopt},
        {" 1", UINT64_MAX, std::nullopt, std::nullopt},
        {"12ab", UINT64_MAX, std::nullopt, std::nullopt},
        {"18446744073709551615", UINT64_MAX, UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(krtools::ParseNumber(c.text, c.max), c.number);
        EXPECT_EQ(krtools::ParseDecimal(c.text, c.max), c.decimal);
    }
}

}  // namespace
}  // namespace settings_test
