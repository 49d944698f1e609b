#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "support/epg_builder.h"
#include "support/section_builder.h"

namespace {

using krtest::Bytes;

TEST(Crc32, KnownAnswersAndTrailer) {
    const std::vector<uint8_t> digits = Bytes("123456789");
    EXPECT_EQ(kr::Crc32(digits.data(), 9), 0x0376E6E7u);
    EXPECT_EQ(kr::Crc32(digits.data(), 0), 0xFFFFFFFFu);

    // A section followed by its CRC: the whole yields 0 and the trailer checks.
    std::vector<uint8_t> section = Bytes("a section body of some length");
    const uint32_t crc = kr::Crc32(section.data(), static_cast<uint32_t>(section.size()));
    section.resize(section.size() + 4);
    kr::WriteBe32(section.data(), static_cast<uint32_t>(section.size() - 4), crc);
    EXPECT_EQ(kr::Crc32(section.data(), static_cast<uint32_t>(section.size())), 0u);
    EXPECT_EQ(kr::CheckCrcTrailer(section.data(), static_cast<int32_t>(section.size())), 1);
    section[3] ^= 0x01;
    EXPECT_EQ(kr::CheckCrcTrailer(section.data(), static_cast<int32_t>(section.size())), 0);

    // Fewer than four bytes: 0 without reading (the sanitizers see any read of this block).
    auto three = std::make_unique<uint8_t[]>(3);
    EXPECT_EQ(kr::CheckCrcTrailer(three.get(), 3), 0);
    EXPECT_EQ(kr::CheckCrcTrailer(three.get(), -5), 0);
    EXPECT_EQ(kr::CheckCrcTrailer(nullptr, 8), 0);
    // Exactly four bytes: the CRC of nothing.
    uint8_t four[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(kr::CheckCrcTrailer(four, 4), 1);
}

// The example header of RFC 1071 style: 45 00 00 73 00 00 40 00 40 11 b8 61 c0 a8 00 01 c0 a8 00 c7
const uint8_t kIpHeader[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                               0xB8, 0x61, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};

TEST(InternetChecksum, HeaderAndOddLengths) {
    EXPECT_EQ(kr::InternetChecksum(kIpHeader, 20), 0);
    EXPECT_EQ(kr::IpHeaderValid(kIpHeader), 1);
    uint8_t broken[20];
    std::memcpy(broken, kIpHeader, 20);
    broken[10] = 0;
    broken[11] = 0;
    EXPECT_EQ(kr::InternetChecksum(broken, 20), 0xB861);  // the checksum it should carry
    EXPECT_EQ(kr::IpHeaderValid(broken), 0);

    const uint8_t odd[3] = {0x01, 0x02, 0x03};  // words 0x0102 and 0x0300
    EXPECT_EQ(kr::InternetChecksum(odd, 3), static_cast<uint16_t>(~(0x0102 + 0x0300)));
    EXPECT_EQ(kr::InternetChecksum(odd, 0), 0xFFFF);
    EXPECT_EQ(kr::InternetChecksum(odd, -1), 0xFFFF);
}

// The word-at-a-time sum against the sum as the standard defines it, a 16-bit word at a time,
// for every length up to a datagram's and every start alignment; the runs of 0xFF words are
// where an end-around carry is easiest to lose.
TEST(InternetChecksum, EqualsTheWordByWordSumAtEveryLengthAndAlignment) {
    std::vector<uint8_t> bytes(1600);
    uint32_t seed = 1;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = (i / 256) % 2 ? 0xFF : static_cast<uint8_t>(seed >> 16);
    }
    for (int32_t length = 0; length <= 1500; ++length) {
        for (int32_t start = 0; start < 4; ++start) {
            const uint8_t* data = bytes.data() + start;
            uint32_t sum = 0;
            for (int32_t i = 0; i < length; i += 2)
                sum += i + 1 < length ? (uint32_t{data[i]} << 8 | data[i + 1])
                                      : uint32_t{data[i]} << 8;
            while (sum >> 16)
                sum = (sum & 0xFFFF) + (sum >> 16);
            const auto expected = static_cast<uint16_t>(length == 0 ? 0xFFFF : ~sum);
            ASSERT_EQ(kr::InternetChecksum(data, length), expected)
                << "length " << length << " start " << start;
        }
    }
}

// An IPv4 header and a UDP datagram whose checksum the head end's builder computed.
std::vector<uint8_t> Datagram(const std::vector<uint8_t>& payload) {
    krtest::Datagram d;
    d.payload = payload;
    return krtest::BuildIpUdp(d);
}

TEST(UdpChecksum, VerifiesAndAcceptsAbsentChecksum) {
    for (const std::string& text : {std::string("even payload"), std::string("odd payload")}) {
        std::vector<uint8_t> d = Datagram(Bytes(text));
        EXPECT_EQ(kr::UdpChecksumValid(d.data()), 1) << text;
        d.back() ^= 0x40;
        EXPECT_EQ(kr::UdpChecksumValid(d.data()), 0) << text;
        // Field 0: the sender sent no checksum, whatever the data.
        kr::WriteBe16(d.data(), 26, 0);
        EXPECT_EQ(kr::UdpChecksumValid(d.data()), 1) << text;
    }
    // A UDP length above 1500 is refused before anything beyond the header is read.
    std::vector<uint8_t> d = Datagram(Bytes("x"));
    kr::WriteBe16(d.data(), 24, 1501);
    EXPECT_EQ(kr::UdpChecksumValid(d.data()), 0);
    EXPECT_EQ(kr::UdpChecksumValid(nullptr), 0);
}

}  // namespace
