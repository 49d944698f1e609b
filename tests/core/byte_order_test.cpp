#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/byte_order.h"
#include "core/byte_reader.h"

namespace {

TEST(ByteOrder, ReadsAndWritesBothOrders) {
    std::array<uint8_t, 8> buf{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(kr::ReadBe16(buf.data(), 1), 0x3456);
    EXPECT_EQ(kr::ReadBe32(buf.data(), 4), 0x9ABCDEF0u);
    EXPECT_EQ(kr::ReadLe32(buf.data(), 0), 0x78563412u);
    EXPECT_EQ(kr::ReadLe16(buf.data(), 6), 0xF0DE);

    std::array<uint8_t, 8> out{};
    kr::WriteBe16(out.data(), 0, 0xA1B2);
    kr::WriteBe32(out.data(), 2, 0xC3D4E5F6u);
    kr::WriteLe32(out.data(), 4, kr::ReadLe32(out.data(), 4));  // round trip in place
    EXPECT_EQ(out, (std::array<uint8_t, 8>{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0, 0}));

    // IPv4 total length at header byte 2, UDP length at header byte 4.
    std::array<uint8_t, 8> header{0x45, 0, 0x05, 0xDC, 0, 0x2A, 0, 0};
    EXPECT_EQ(kr::IpTotalLength(header.data()), 1500);
    EXPECT_EQ(kr::UdpLength(header.data()), 42);
}

TEST(ByteReader, ErrorIsSticky) {
    const std::vector<uint8_t> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    kr::ByteReader reader(bytes.data(), bytes.size());
    EXPECT_EQ(reader.U8(), 0x01);
    EXPECT_EQ(reader.Be16(), 0x0203);
    EXPECT_EQ(reader.remaining(), 3u);
    EXPECT_EQ(reader.Be32(), 0u);  // only three bytes left
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.U8(), 0);  // even a read that would fit fails now
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_TRUE(reader.Bytes(1).empty());
}

TEST(ByteReader, BoundsViewsCopiesAndSeeks) {
    const std::vector<uint8_t> bytes{0xBD, 0xBD, 0x00, 0x00, 0xAA, 0xBB};
    kr::ByteReader reader(bytes.data(), bytes.size());
    EXPECT_EQ(reader.Le32(), 0x0000BDBDu);
    auto view = reader.Bytes(2);
    ASSERT_EQ(view.size(), 2u);
    EXPECT_EQ(view[1], 0xBB);
    EXPECT_TRUE(reader.Seek(4));
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(reader.CopyTo(out, 4));  // two bytes left: nothing partial is copied
    EXPECT_EQ(out[0], 0);
    EXPECT_FALSE(reader.ok());

    kr::ByteReader huge(bytes.data(), bytes.size());
    EXPECT_FALSE(huge.Skip(SIZE_MAX));  // no wrap-around of the position
    kr::ByteReader none(nullptr, 100);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.U8(), 0);
    EXPECT_FALSE(none.ok());
    kr::ByteReader past(bytes.data(), bytes.size());
    EXPECT_FALSE(past.Seek(7));
}

}  // namespace
