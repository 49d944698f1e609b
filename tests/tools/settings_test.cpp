// The tools' settings reader: numbers and hex bytes as scenarios, profiles, state files and
// command lines write them. Whole files are covered by the card-profile and scenario tests.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/file_io.h"
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

TEST(Settings, HexBytesGoBothWays) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(krtools::ParseHexBytes("4b52 00\t0A0b", bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x4B, 0x52, 0x00, 0x0A, 0x0B}));
    EXPECT_EQ(krtools::HexText(bytes), "4B52000A0B");
    EXPECT_EQ(krtools::HexText(bytes, ' '), "4B 52 00 0A 0B");
    for (const char* bad : {"4b5", "4b 5 2", "0x4b", "4g"})
        EXPECT_FALSE(krtools::ParseHexBytes(bad, bytes)) << bad;
}

TEST(Settings, RepeatedKeysAreRefusedUnlessAllowed) {
    std::vector<std::string> seen;
    const auto keep = [&](const std::string& key, const std::string& value) {
        seen.push_back(key + "=" + value);
    };
    const char* text = " # a comment\r\nprogram = 1, video=a.m4v \r\n\nprogram=2";
    krtools::ReadSettings(text, "scenario", keep, krtools::RepeatedKeys::kAllowed);
    EXPECT_EQ(seen, (std::vector<std::string>{"program=1, video=a.m4v", "program=2"}));
    EXPECT_THROW(krtools::ReadSettings(text, "profile", keep), krtools::ToolError);
}

}  // namespace
}  // namespace settings_test
