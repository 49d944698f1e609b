#include "epg/text_syntax.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "epg/epg_fixture.h"

namespace {

using krtest::Bytes;

struct LineCase {
    std::string image;
    bool compact;
    std::vector<std::string> lines;
};

TEST(TextSyntax, CutsImagesIntoLines) {
    const LineCase cases[] = {
        {"a=1\nb=2", true, {"a=1", "b=2"}},
        {"a=1\r\nb=2\r\n", true, {"a=1", "b=2"}},
        {"Freq = 626\n", true, {"Freq=626"}},
        {"Freq = 626\n", false, {"Freq = 626"}},
        {std::string("x\0y\t z\r\n", 8), true, {"xyz"}},
        {std::string("x\0y\t z\r\n", 8), false, {"xy\t z"}},
        {"\n\n", true, {"", ""}},
        {" \r\n", true, {""}},
    };
    for (const LineCase& c : cases) {
        const auto image = Bytes(c.image);
        const auto length = static_cast<uint32_t>(image.size());
        std::vector<std::string> got;
        uint32_t pos = 0;
        char out[64];
        while (pos < length) {
            const int32_t n =
                c.compact ? kr::kr_ReadCompactLine(image.data(), &pos, length, out, sizeof out)
                          : kr::kr_ReadRawLine(image.data(), &pos, length, out, sizeof out);
            ASSERT_EQ(n, static_cast<int32_t>(std::string(out).size() + 1));
            got.push_back(out);
        }
        EXPECT_EQ(got, c.lines) << c.image;
        EXPECT_EQ(pos, length);
    }
}

TEST(TextSyntax, EndOfImageAndLongLines) {
    const auto image = Bytes("abcdefghij\nk");
    uint32_t pos = 12;
    char out[4] = "zz";
    EXPECT_EQ(kr::kr_ReadCompactLine(image.data(), &pos, 12, out, sizeof out), -1);
    EXPECT_EQ(pos, 12u);
    EXPECT_STREQ(out, "zz");
    // The excess of a long line is dropped; the next read starts on the next line.
    pos = 0;
    EXPECT_EQ(kr::kr_ReadCompactLine(image.data(), &pos, 12, out, sizeof out), 4);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(pos, 11u);
    EXPECT_EQ(kr::kr_ReadCompactLine(image.data(), &pos, 12, out, sizeof out), 2);
    EXPECT_STREQ(out, "k");
}

TEST(TextSyntax, FindsKeyLinesByRawPrefix) {
    const auto image = Bytes("[LIVE_EPG]\n COUNT=1\nCOUNTX=2\nCOUNT=3\n");
    const auto length = static_cast<uint32_t>(image.size());
    EXPECT_EQ(kr::kr_FindKeyLine(image.data(), length, "[LIVE_EPG]", 10), 0u);
    EXPECT_EQ(kr::kr_FindKeyLine(image.data(), length, "COUNT", 5), 20u);  // COUNTX
    EXPECT_EQ(kr::kr_FindKeyLine(image.data(), length, "VERSION", 7), length + 1);
    EXPECT_EQ(kr::kr_FindKeyLine(image.data(), 3, "COUNT", 5), 4u);
}

TEST(TextSyntax, SplitsKeyAndValue) {
    struct Case {
        const char* line;
        int32_t result;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"Abstract=a=b", 1, "Abstract", "a"},       {"Freq=", 1, "Freq", ""},   {"=x", 1, "", "x"},
        {"ProgramName", 0, "ProgramName", "unset"}, {"", -1, "unset", "unset"},
    };
    for (const Case& c : cases) {
        char key[16] = "unset";
        char value[16] = "unset";
        EXPECT_EQ(kr::kr_SplitKeyValue(c.line, key, sizeof key, value, sizeof value), c.result);
        EXPECT_STREQ(key, c.key) << c.line;
        EXPECT_STREQ(value, c.value) << c.line;
    }
    char key[4];
    char value[4];
    EXPECT_EQ(kr::kr_SplitKeyValue("LongKey=LongValue", key, sizeof key, value, sizeof value), 1);
    EXPECT_STREQ(key, "Lon");
    EXPECT_STREQ(value, "Lon");
}

TEST(TextSyntax, ProgramHeaders) {
    EXPECT_TRUE(kr::kr_IsProgramHeader("[PROGRAM1]"));
    EXPECT_TRUE(kr::kr_IsProgramHeader("[PROGRAMME whatever"));
    EXPECT_FALSE(kr::kr_IsProgramHeader("[Program1]"));
    EXPECT_FALSE(kr::kr_IsProgramHeader("[PROGRA"));
}

TEST(TextSyntax, CountAndVersion) {
    struct Case {
        std::string file;
        int32_t count;
        uint32_t version;
    };
    const Case cases[] = {
        {"[X]\nCOUNT=3\nVERSION=20090817123456\n", 3, 0xD714645Cu},
        {"VERSION = 20090817123456\r\nCOUNT = 2\r\n", 2, 0xD714645Cu},
        {"COUNTX=9\nCOUNT=2\nVERSION=20090817123456\n", 0, 0xD714645Cu},
        {"COUNT=2\nVERSIONS=1\nVERSION=20090817123456\n", 2, 255},
        {"VERSION=20090817123456\n", -1, 255},
        {"COUNT=1\nVERSION=20091317000000\n", 1, 0},
        {"COUNT=1\n", 1, 255},
        {"COUNT\nVERSION\n", 0, 0},
        // A short stamp reads as if padded with '0': 2009-08-17 00:00:00.
        {"COUNT=1\nVERSION=20090817\n", 1, 0xD7140000u},
        {"COUNT=1\nVERSION=2009081712\n", 1, 0xD7146000u},
    };
    for (const Case& c : cases) {
        const auto image = Bytes(c.file);
        uint32_t version = 7;
        EXPECT_EQ(
            kr::kr_ReadCountVersion(image.data(), static_cast<uint32_t>(image.size()), &version),
            c.count)
            << c.file;
        EXPECT_EQ(version, c.version) << c.file;
    }
}

TEST(TextSyntax, DecimalValues) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {{"626", 626}, {"  +12x", 12}, {"-1", 0xFFFFFFFFu}, {"0x100", 0},
                          {"abc", 0},   {"", 0},        {"4294967297", 1},   {"\t\n 7 8", 7}};
    for (const Case& c : cases)
        EXPECT_EQ(kr::kr_DecimalValue(c.text), c.value) << c.text;
}

TEST(TextSyntax, HexConfigStrings) {
    krtest::DiagnosticHost host;
    struct Case {
        std::string hex;
        uint8_t result;
        std::vector<uint8_t> bytes;
        const char* warning;
    };
    const Case cases[] = {
        {"1210", 1, {0x12, 0x10}, nullptr},
        {"121", 0, {0x12}, "warming : strConfig's len is odd number \n"},
        {"12G0", 1, {0x12, 0x00}, nullptr},
        {"12-0", 0, {0x12}, "warning :find abnormal character . \n"},
        {"aBcD", 1, {0xAB, 0xCD}, nullptr},
        {"1\xC1", 0, {}, "warning :find abnormal character . \n"},
        {"", 1, {}, nullptr},
    };
    for (const Case& c : cases) {
        host.Clear();
        uint8_t out[8] = {};
        uint16_t written = 99;
        EXPECT_EQ(kr::kr_HexToBytes(c.hex.c_str(), static_cast<uint16_t>(c.hex.size()), out,
                                    sizeof out, &written),
                  c.result)
            << c.hex;
        EXPECT_EQ(std::vector<uint8_t>(out, out + written), c.bytes) << c.hex;
        if (c.warning != nullptr) {
            EXPECT_TRUE(host.HasDebugText(c.warning)) << c.hex;
        } else {
            EXPECT_TRUE(host.DebugLines().empty()) << c.hex;
        }
    }
    // More digits than the output holds: what fits is kept, and it is no full success.
    uint8_t small[2] = {};
    uint16_t written = 0;
    EXPECT_EQ(kr::kr_HexToBytes("0A0B0C", 6, small, sizeof small, &written), 0);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(small[1], 0x0B);
}

}  // namespace
