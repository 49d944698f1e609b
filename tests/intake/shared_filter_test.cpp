#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <vector>

#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "intake/shared_filter.h"
#include "support/intake_fixture.h"
#include "support/section_builder.h"

namespace {

using namespace krtest;

constexpr uint32_t kGroup = 0xE1020304;  // 225.2.3.4
constexpr uint16_t kPid = 0x0300;

std::vector<uint8_t> SectionTo(uint32_t address, uint16_t port, size_t payload = 100) {
    Datagram d;
    d.destinationAddress = address;
    d.destinationPort = port;
    d.payload.assign(payload, 0xA5);
    return BuildDatagramSection(d);
}

class SharedFilterTest : public IntakeTest {
  protected:
    uint32_t HostRequestId() const { return host.Calls(Slot::SetSectionFilter).back().words[0]; }
};

TEST_F(SharedFilterTest, BuildsTheDatagramSectionFilter) {
    uint8_t match[64];
    uint8_t mask[64];
    kr::BuildIpUdpFilter(match, mask, 0xEF515A01, 8190);
    // Table id, section syntax bit, IPv4 version and length, no fragment offset, UDP, the
    // destination address and port; everything else open.
    struct Byte {
        size_t at;
        uint8_t match, mask;
    };
    const Byte fixed[] = {{0, 0x3E, 0xFF},  {5, 0, 0x02},     {12, 0x45, 0xFF}, {18, 0, 0xFF},
                          {19, 0, 0xFF},    {21, 0x11, 0xFF}, {28, 0xEF, 0xFF}, {29, 0x51, 0xFF},
                          {30, 0x5A, 0xFF}, {31, 0x01, 0xFF}, {34, 0x1F, 0xFF}, {35, 0xFE, 0xFF}};
    std::vector<uint8_t> expectMatch(64, 0);
    std::vector<uint8_t> expectMask(64, 0);
    for (const Byte& b : fixed) {
        expectMatch[b.at] = b.match;
        expectMask[b.at] = b.mask;
    }
    EXPECT_EQ(std::vector<uint8_t>(match, match + 64), expectMatch);
    EXPECT_EQ(std::vector<uint8_t>(mask, mask + 64), expectMask);

    // A section built for that destination passes the host's part of the match.
    const std::vector<uint8_t> section = SectionTo(0xEF515A01, 8190);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(section[static_cast<size_t>(i)] & mask[i], match[i] & mask[i]) << i;
    }
}

TEST_F(SharedFilterTest, DestinationsOnOnePidShareOneHostFilter) {
    const uint32_t video = StartConsumer(kr::kTypeVideo, kPid, kGroup, 1000, 9);
    const uint32_t audio = StartConsumer(kr::kTypeAudio, kPid, kGroup, 1002, 9);
    ASSERT_NE(video, 0u);
    ASSERT_NE(audio, 0u);
    auto filters = host.Calls(Slot::SetSectionFilter);
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].filter.pid, kPid);
    EXPECT_EQ(kr::SharedFiltersActive(), 1);

    // Each destination's sections reach its own request, with the request's fields copied.
    const uint32_t hostId = HostRequestId();
    EXPECT_EQ(Deliver(hostId, SectionTo(kGroup, 1002)), 0);
    EXPECT_EQ(Deliver(hostId, SectionTo(kGroup, 1000, 30)), 0);
    kr::SectionQueue* stream = kr::GetQueue(kr::QueueId::Stream);
    kr::SectionNode* node = nullptr;
    ASSERT_EQ(kr::QueueTake(stream, &node), 0);
    EXPECT_EQ(node->requestId, audio);
    EXPECT_EQ(node->type, kr::kTypeAudio);
    EXPECT_EQ(node->ownerId, 9u);
    EXPECT_EQ(node->ipAddress, kGroup);
    EXPECT_EQ(node->udpPort, 1002);
    kr::ReturnNode(node);
    ASSERT_EQ(kr::QueueTake(stream, &node), 0);
    EXPECT_EQ(node->requestId, video);
    EXPECT_EQ(node->length, 12 + 20 + 8 + 30 + 4);
    kr::ReturnNode(node);

    // Another port or address on the same PID matches no destination: dropped with 0.
    EXPECT_EQ(Deliver(hostId, SectionTo(kGroup, 1004)), 0);
    EXPECT_EQ(Deliver(hostId, SectionTo(kGroup + 1, 1000)), 0);
    EXPECT_EQ(kr::QueueCount(stream), 0);
    // An id that no shared filter carries.
    EXPECT_EQ(kr::DispatchSharedSection(hostId + 1000, 0, SectionTo(kGroup, 1000).data(), 140),
              128);

    // Stopping one leaves the host filter running; stopping the other stops it.
    ASSERT_EQ(kr::DetachIpFilter(video), 0);
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), 0u);
    ASSERT_EQ(kr::DetachIpFilter(audio), 0);
    ASSERT_EQ(host.CallCount(Slot::StopSectionFilter), 1u);
    EXPECT_EQ(host.Calls(Slot::StopSectionFilter)[0].words[0], hostId);
    EXPECT_EQ(kr::SharedFiltersActive(), 0);
    EXPECT_EQ(kr::DetachIpFilter(audio), -1);
}

TEST_F(SharedFilterTest, ShortSectionsCompareOnlyTheBytesTheyHave) {
    ASSERT_NE(StartConsumer(kr::kTypeVideo, kPid, kGroup, 1000), 0u);
    // The destination port ends at byte 35: a 36-byte section still matches...
    std::vector<uint8_t> section = SectionTo(kGroup, 1000);
    section.resize(36);
    EXPECT_EQ(Deliver(HostRequestId(), section), 0);
    EXPECT_EQ(kr::QueueCount(kr::GetQueue(kr::QueueId::Stream)), 1);
    // ...one without the port's last byte does not, and nothing past it is read.
    section.resize(35);
    EXPECT_EQ(Deliver(HostRequestId(), section), 0);
    EXPECT_EQ(kr::QueueCount(kr::GetQueue(kr::QueueId::Stream)), 1);
}

TEST_F(SharedFilterTest, NinthDestinationAndThirteenthFilterAreRefused) {
    for (uint16_t port = 0; port < kr::kSharedFilterSlots; ++port) {
        ASSERT_NE(StartConsumer(kr::kTypeVideo, kPid, kGroup, static_cast<uint16_t>(2000 + port)),
                  0u);
    }
    const int32_t inUse = kr::RequestsInUse();
    EXPECT_EQ(StartConsumer(kr::kTypeVideo, kPid, kGroup, 3000), 0u);
    EXPECT_EQ(kr::RequestsInUse(), inUse);
    EXPECT_EQ(host.CallCount(Slot::SetSectionFilter), 1u);

    for (uint16_t pid = 1; pid < kr::kSharedFilterCount; ++pid) {
        ASSERT_NE(StartConsumer(kr::kTypeResource, pid, kGroup, 1000), 0u) << pid;
    }
    EXPECT_EQ(kr::SharedFiltersActive(), 12);
    EXPECT_EQ(StartConsumer(kr::kTypeResource, 0x1FF0, kGroup, 1000), 0u);
    EXPECT_EQ(kr::SharedFiltersActive(), 12);
}

}  // namespace
