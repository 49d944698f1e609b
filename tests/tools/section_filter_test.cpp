// The terminal-side section filters: the rules a hardware filter applies. That the filters the
// library asks for pass what a head end sends is shown end to end by the terminal tests, whose
// every section goes through this table.
#include <gtest/gtest.h>

#include <vector>

#include "terminal/section_filter.h"

namespace {

SectionFilterParams Filter(uint16_t pid,
                           std::vector<std::pair<std::size_t, std::pair<uint8_t, uint8_t>>> bytes) {
    SectionFilterParams f{};
    f.pid = pid;
    for (const auto& [index, matchMask] : bytes) {
        f.match[index] = matchMask.first;
        f.mask[index] = matchMask.second;
    }
    return f;
}

TEST(SectionFilter, MatchesPidAndMaskedBytesOnly) {
    std::vector<uint8_t> section(20);
    for (std::size_t i = 0; i < section.size(); ++i)
        section[i] = static_cast<uint8_t>(0x10 + i);
    struct Case {
        const char* name;
        SectionFilterParams filter;
        uint16_t pid;
        std::size_t sectionSize;
        bool matches;
    };
    const Case cases[] = {
        {"empty mask takes every section of the pid", Filter(0x100, {}), 0x100, 20, true},
        {"another pid", Filter(0x101, {}), 0x100, 20, false},
        {"pid compared on 13 bits", Filter(0xE100, {}), 0x100, 20, true},
        {"table id", Filter(0x100, {{0, {0x10, 0xFF}}}), 0x100, 20, true},
        {"wrong table id", Filter(0x100, {{0, {0x11, 0xFF}}}), 0x100, 20, false},
        {"unmasked bits of match are ignored", Filter(0x100, {{0, {0x1F, 0xF0}}}), 0x100, 20, true},
        {"one masked bit differs", Filter(0x100, {{0, {0x10, 0xFF}}, {15, {0x1E, 0x01}}}), 0x100,
         20, false},
        {"last filtered byte", Filter(0x100, {{15, {0x1F, 0xFF}}}), 0x100, 20, true},
        {"masked byte beyond a short section", Filter(0x100, {{15, {0x00, 0x01}}}), 0x100, 15,
         false},
        {"unmasked bytes beyond a short section", Filter(0x100, {{2, {0x12, 0xFF}}}), 0x100, 3,
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(krtools::FilterMatches(c.filter, c.pid, {section.data(), c.sectionSize}),
                  c.matches)
            << c.name;
    }
}

TEST(SectionFilter, TableDeliversOnceToEveryMatchingRequest) {
    krtools::SectionFilterTable table;
    const std::vector<uint8_t> section = {0x3E, 0xB0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x45};
    table.Set(7, Filter(0x200, {{0, {0x3E, 0xFF}}}));
    table.Set(3, Filter(0x200, {{12, {0x45, 0xFF}}}));
    table.Set(9, Filter(0x200, {{0, {0x80, 0xFF}}}));
    table.Set(4, Filter(0x201, {}));
    EXPECT_EQ(table.Match(0x200, section), (std::vector<uint32_t>{7, 3}));
    EXPECT_TRUE(table.WantsPid(0x201));
    EXPECT_FALSE(table.WantsPid(0x202));

    // Setting an id again replaces its filter; stopping removes it once.
    table.Set(7, Filter(0x200, {{0, {0x00, 0xFF}}}));
    EXPECT_EQ(table.Match(0x200, section), (std::vector<uint32_t>{3}));
    EXPECT_TRUE(table.Stop(3));
    EXPECT_FALSE(table.Stop(3));
    EXPECT_TRUE(table.Match(0x200, section).empty());
    EXPECT_EQ(table.size(), 3u);
}

}  // namespace
