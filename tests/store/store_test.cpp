#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/fault_injection.h"
#include "core/host.h"
#include "store/store.h"
#include "store_parts_run.h"
#include "support/module_fixture.h"

namespace {

using krtest::FakeHost;
using krtest::ModuleTest;
using krtest::Slot;
using Image = std::vector<uint8_t>;

constexpr kr::StoreArea kAreas[] = {kr::kStoreCaArea, kr::kStoreEpgArea, kr::kStoreIconArea};

std::string Line(const std::string& text, int level = 2) {
    return krtest::IndentedLine("::", level, text);
}

void SealArea(Image& image, const kr::StoreArea& area) {
    kr::WriteBe32(image.data(), area.crcOffset, kr::Crc32(image.data() + area.offset, area.length));
}

void SealHead(Image& image) {
    kr::WriteBe32(image.data(), kr::kStoreHeadCrcOffset,
                  kr::Crc32(image.data(), kr::kStoreHeadCrcOffset));
}

// A store as a little-endian terminal writes it, every area full of data and sealed.
Image ValidImage() {
    Image image(kr::kStoreSize, 0);
    std::memcpy(image.data(), "KRDATA", 6);
    image[6] = 0x10;
    image[7] = 0xEE;
    image[8] = 0xFF;
    for (uint32_t i = 0x20; i < kr::kStoreSize; ++i)
        image[i] = static_cast<uint8_t>(i * 7 % 251);
    for (const kr::StoreArea& area : kAreas)
        SealArea(image, area);
    SealHead(image);
    return image;
}

bool AllZero(const uint8_t* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

class StoreTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        // The expected images spell the byte-order mark as a little-endian terminal stores it.
        ASSERT_EQ(std::endian::native, std::endian::little);
        kr::SetHostCallbacks(FakeHost::AllSlots());
        kr_T2K_SetDebugFlag(0x63, 1);
    }
    void TearDown() override {
        kr::kr_StoreFinish();
        ModuleTest::TearDown();
    }

    void Restart() {
        kr::kr_StoreFinish();
        host.Clear();
        ASSERT_EQ(kr::kr_StoreInit(), 0);
    }

    static Image ReadAll() {
        Image copy(kr::kStoreSize, 0xCC);
        EXPECT_EQ(kr::kr_StoreRead(0, kr::kStoreSize, copy.data()), 0);
        return copy;
    }
};

TEST_F(StoreTest, ValidStoreLoadsAndEachDamagedAreaIsEmptiedAlone) {
    struct Case {
        int damaged;  // index into kAreas, -1 = none
        const char* message;
    };
    for (const Case c : {Case{-1, nullptr}, Case{0, "CA data CRC error!"},
                         Case{1, "EPG data CRC error!"}, Case{2, "Icon data CRC error!"}}) {
        SCOPED_TRACE(c.damaged);
        const Image original = ValidImage();
        Image image = original;
        if (c.damaged >= 0) image[kAreas[c.damaged].offset + kAreas[c.damaged].length - 1] ^= 1;
        host.SetStoreContents(image);
        host.Clear();

        ASSERT_EQ(kr::kr_StoreInit(), 0);
        const Image loaded = ReadAll();
        EXPECT_TRUE(std::equal(loaded.begin(), loaded.begin() + 0x20, image.begin()))
            << "head and CRC fields stay as stored";
        for (int i = 0; i < 3; ++i) {
            const kr::StoreArea& area = kAreas[i];
            if (i == c.damaged) {
                EXPECT_TRUE(AllZero(loaded.data() + area.offset, area.length));
            } else {
                EXPECT_EQ(std::memcmp(loaded.data() + area.offset, original.data() + area.offset,
                                      area.length),
                          0);
            }
        }
        if (c.message != nullptr) {
            EXPECT_TRUE(host.HasDebugLine(Line(c.message)));
        } else {
            EXPECT_FALSE(host.HasDebugText("CRC error"));
        }
        EXPECT_FALSE(host.HasDebugText("Store KRDATA head"));
        EXPECT_EQ(host.CallCount(Slot::WriteStore), 0u);
        EXPECT_EQ(host.StoreContents(), image) << "loading never writes the host's store";
        kr::kr_StoreFinish();
    }
}

TEST_F(StoreTest, RejectedStoreIsFormattedAndTheFirstFlushWritesAFreshImage) {
    struct Case {
        const char* name;
        uint32_t at;                // the first byte changed
        std::vector<uint8_t> flip;  // XORed into the bytes from there (0x11 swaps EE and FF)
        bool resealHead;
        const char* message;  // nullptr: refused without a message
        bool zeroImage = false;
        bool withoutReadStore = false;
    };
    const Case cases[] = {
        {"all zero", 0, {}, false, "Store data head CRC error!", true},
        {"head CRC", 31, {0x80}, false, "Store data head CRC error!"},
        {"reserved byte", 12, {0x01}, false, "Store data head CRC error!"},
        {"magic", 5, {'A' ^ 'B'}, true, "Invalid Stored data head."},
        {"version", 6, {0x10 ^ 0x0F}, true, "Invalid store data version."},
        {"other byte order", 7, {0x11, 0x11}, true, "Invalid Stored data endian order."},
        {"no ReadStore", 0, {}, false, nullptr, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image = c.zeroImage ? Image(kr::kStoreSize, 0) : ValidImage();
        for (size_t k = 0; k < c.flip.size(); ++k)
            image[c.at + k] ^= c.flip[k];
        if (c.resealHead) SealHead(image);
        host.SetStoreContents(image);
        HostCallbacks slots = FakeHost::AllSlots();
        if (c.withoutReadStore) slots.ReadStore = nullptr;
        kr::SetHostCallbacks(slots);
        host.Clear();

        ASSERT_EQ(kr::kr_StoreInit(), 0);
        if (c.message != nullptr) {
            EXPECT_TRUE(host.HasDebugLine(Line(c.message)));
        }
        EXPECT_TRUE(host.HasDebugLine(Line("Store KRDATA head ...")));
        EXPECT_TRUE(host.HasDebugLine(Line("Store version, endian order ...", 3)));
        EXPECT_TRUE(host.HasDebugText("Data init finish"));
        // The format clears the host's buffer in place; nothing is readable until a restart.
        EXPECT_TRUE(AllZero(host.StoreContents().data(), kr::kStoreSize));
        uint8_t byte = 0;
        EXPECT_EQ(kr::kr_StoreRead(0x4000, 1, &byte), -1);

        const std::array<uint8_t, 6> caHead = {0x42, 1, 2, 3, 4, 5};
        {
            kr::StoreUpdate update;  // as the CA area's owner makes it
            ASSERT_EQ(update.Write(0x39, caHead.size(), caHead.data()), 0);
            ASSERT_EQ(update.SetCrc(kr::kStoreCaArea), 0);
            ASSERT_EQ(update.Flush(), 0);
        }
        // The format writes the head and the heads of the CA and EPG areas; every other byte,
        // the reserved head bytes and the area CRC fields included, is what was read.
        Image expected = c.withoutReadStore ? Image(kr::kStoreSize, 0) : image;
        std::memcpy(expected.data(), "KRDATA\x10\xEE\xFF", 9);
        std::fill_n(expected.begin() + 0x20, 32, 0);
        std::fill_n(expected.begin() + 0x4000, 16, 0);
        std::copy(caHead.begin(), caHead.end(), expected.begin() + 0x39);
        SealArea(expected, kr::kStoreCaArea);
        SealHead(expected);
        EXPECT_EQ(host.StoreContents(), expected);

        kr::SetHostCallbacks(FakeHost::AllSlots());
        Restart();
        EXPECT_FALSE(host.HasDebugText("Store KRDATA head"));
        EXPECT_FALSE(host.HasDebugText("CA data CRC error!"));
        EXPECT_TRUE(host.HasDebugLine(Line("EPG data CRC error!")));
        std::array<uint8_t, 6> back{};
        EXPECT_EQ(kr::kr_StoreRead(0x39, back.size(), back.data()), 0);
        EXPECT_EQ(back, caHead);
        // The icon area, untouched by the format, still matches its CRC and comes back.
        const bool iconsKept = !c.zeroImage && !c.withoutReadStore;
        EXPECT_EQ(host.HasDebugText("Icon data CRC error!"), !iconsKept);
        if (iconsKept) {
            const Image loaded = ReadAll();
            const kr::StoreArea& icons = kr::kStoreIconArea;
            EXPECT_TRUE(std::equal(loaded.begin() + icons.offset,
                                   loaded.begin() + icons.offset + icons.length,
                                   image.begin() + icons.offset));
        }
        kr::kr_StoreFinish();
    }
}

TEST_F(StoreTest, ReadsAndWritesStopAtTheEndOfTheStore) {
    host.SetStoreContents(ValidImage());
    ASSERT_EQ(kr::kr_StoreInit(), 0);
    struct Case {
        uint32_t offset, length;
        int32_t result;
    };
    const Case cases[] = {
        {kr::kStoreSize - 4, 4, 0}, {kr::kStoreSize - 3, 4, 1}, {0, kr::kStoreSize, 0},
        {0, kr::kStoreSize + 1, 1}, {kr::kStoreSize, 0, 0},     {kr::kStoreSize, 1, 1},
        {0xFFFFFFFFu, 2, 1},        {2, 0xFFFFFFFFu, 1},        {0x80000000u, 0x80000000u, 1},
    };
    const std::vector<uint8_t> source(kr::kStoreSize + 1, 0x5A);
    std::vector<uint8_t> destination(kr::kStoreSize + 1);
    for (const Case c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.offset << "+" << c.length);
        const Image before = ReadAll();
        const size_t touched = c.result == 0 ? c.length : 0;
        std::fill(destination.begin(), destination.end(), uint8_t{0xA5});
        EXPECT_EQ(kr::kr_StoreRead(c.offset, c.length, destination.data()), c.result);
        if (touched != 0) {
            EXPECT_EQ(std::memcmp(destination.data(), before.data() + c.offset, touched), 0);
        }
        EXPECT_TRUE(std::all_of(destination.begin() + static_cast<std::ptrdiff_t>(touched),
                                destination.end(), [](uint8_t b) { return b == 0xA5; }));

        EXPECT_EQ(kr::kr_StoreWrite(c.offset, c.length, source.data()), c.result);
        Image expected = before;
        if (touched != 0) std::memset(expected.data() + c.offset, 0x5A, touched);
        EXPECT_EQ(ReadAll(), expected);
        EXPECT_EQ(kr::kr_StoreSetCrc(c.offset, c.length, 0x10), c.result);
        host.SetStoreContents(ValidImage());
        Restart();
    }
    EXPECT_EQ(kr::kr_StoreSetCrc(0, 4, kr::kStoreSize - 4), 0);
    EXPECT_EQ(kr::kr_StoreSetCrc(0, 4, kr::kStoreSize - 3), 1);
    EXPECT_EQ(kr::kr_StoreSetCrc(0, 4, 0xFFFFFFFEu), 1);
}

// Host answers a test table can name without captures.
int32_t ZeroHandle(uint32_t* size, uintptr_t* handle) {
    *size = kr::kStoreSize;
    *handle = 0;
    return 0;
}
int32_t HugeSize(uint32_t* size, uintptr_t* handle) {
    *size = 0x80000000u;
    *handle = 0x1000;  // never touched: the store is refused first
    return 0;
}

TEST_F(StoreTest, WithoutAUsableStoreNothingReachesTheHost) {
    struct Case {
        const char* name;
        uint32_t storeSize;
        KrGetStoreBufferFn getStoreBuffer;  // nullptr: the slot is empty
        bool useFakeHost;
        const char* message;
        bool noWorkingCopy = false;  // its allocation fails: the host is not even asked
    };
    const Case cases[] = {
        {"no slot", kr::kStoreSize, nullptr, false, "No enough store buffer."},
        {"refused", 0, nullptr, true, "Get store buffer failed."},
        {"one byte short", kr::kStoreSize - 1, nullptr, true, "No enough store buffer."},
        {"null buffer", kr::kStoreSize, ZeroHandle, false, "No enough store buffer."},
        {"negative size", kr::kStoreSize, HugeSize, false, "No enough store buffer."},
        {"no working copy", kr::kStoreSize, nullptr, true, "Data buffer malloc faild.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.SetStoreContents(Image(c.storeSize, 0xAB));
        HostCallbacks slots = FakeHost::AllSlots();
        if (!c.useFakeHost) slots.GetStoreBuffer = c.getStoreBuffer;
        kr::SetHostCallbacks(slots);
        host.Clear();
        if (c.noWorkingCopy) kr::fault::FailAllocAt(1);

        EXPECT_EQ(kr::kr_StoreInit(), 1);
        kr::fault::Reset();
        EXPECT_TRUE(host.HasDebugLine(Line(c.message)));
        uint8_t byte = 0;
        EXPECT_EQ(kr::kr_StoreRead(0, 1, &byte), -1);
        // Updates land in the working copy if there is one; they just never reach a host.
        const int32_t updated = c.noWorkingCopy ? 1 : 0;
        EXPECT_EQ(kr::kr_StoreWrite(0x39, 1, &byte), updated);
        EXPECT_EQ(kr::kr_StoreSetCrc(0x20, 0x3FE0, 0x10), updated);
        EXPECT_EQ(kr::kr_StoreFlush(), 1);
        EXPECT_EQ(host.CallCount(Slot::GetStoreBuffer),
                  c.useFakeHost && !c.noWorkingCopy ? 1u : 0u);
        EXPECT_EQ(host.CallCount(Slot::ReadStore), 0u);
        EXPECT_EQ(host.CallCount(Slot::WriteStore), 0u);
        EXPECT_EQ(host.StoreContents(), Image(c.storeSize, 0xAB));
        kr::kr_StoreFinish();
    }
}

TEST_F(StoreTest, RepeatedStartUpReleasesTheOldWorkingCopy) {
    host.SetStoreContents(ValidImage());
    ASSERT_EQ(kr::kr_StoreInit(), 0);
    ASSERT_EQ(kr::kr_StoreInit(), 0);
    EXPECT_EQ(ReadAll(), ValidImage());
}

TEST_F(StoreTest, UpdatesOfTwoThreadsNeverInterleave) {
    host.SetStoreSize(kr::kStoreSize);
    ASSERT_EQ(kr::kr_StoreInit(), 0);
    ASSERT_EQ(kr::kr_StoreSetCrc(0x20, 0x3FE0, 0x10), 0);
    ASSERT_EQ(kr::kr_StoreSetCrc(0x4000, 0x3000, 0x14), 0);
    constexpr int kRounds = 30;
    std::latch go(2);
    auto writer = [&go](kr::StoreArea area) {
        std::vector<uint8_t> bytes(area.length);
        go.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            kr::StoreUpdate update;
            for (uint32_t i = 0; i < area.length; ++i) {
                bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(round) + i);
                // Byte by byte, so that an unguarded flush would catch the area half written.
                (void)update.Write(area.offset + i, 1, &bytes[i]);
            }
            (void)update.SetCrc(area);
            (void)update.Flush();
        }
    };
    std::thread ca(writer, kr::kStoreCaArea);
    std::thread epg(writer, kr::StoreArea{0x4000, 0x3000, 0x14});
    ca.join();
    epg.join();

    const std::vector<krtest::HostCall> flushes = host.Calls(Slot::WriteStore);
    ASSERT_EQ(flushes.size(), 2u * kRounds);
    for (const krtest::HostCall& flush : flushes) {
        ASSERT_EQ(flush.bytes.size(), kr::kStoreSize);
        const uint8_t* image = flush.bytes.data();
        EXPECT_EQ(kr::Crc32(image, 28), kr::ReadBe32(image, 28));
        EXPECT_EQ(kr::Crc32(image + 0x20, 0x3FE0), kr::ReadBe32(image, 0x10));
        EXPECT_EQ(kr::Crc32(image + 0x4000, 0x3000), kr::ReadBe32(image, 0x14));
    }
}

// A foreign store with every table of its live EPG full, the records the fill pattern (texts
// without their NUL) and icons of full size: what loads stays inside its tables.
TEST_F(StoreTest, FullForeignStoredEpgLoadsInsideItsTables) {
    Image image = ValidImage();
    const uint8_t epgHead[8] = {32, 1, 2, 3, 4, 6, 32, 0};
    std::memcpy(image.data() + 0x4004, epgHead, sizeof epgHead);
    for (uint32_t icon = 0; icon < 6; ++icon)
        kr::WriteLe32(image.data(), 0x10000 + icon * 8204 + 8, 0x20000000);
    SealArea(image, kr::kStoreEpgArea);
    SealArea(image, kr::kStoreIconArea);
    SealHead(image);
    EXPECT_TRUE(krfuzz::RunStoreImage(image.data(), image.size()));
}

}  // namespace
