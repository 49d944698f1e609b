#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "intake/datagram.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "support/intake_fixture.h"
#include "support/section_builder.h"

namespace {

using namespace krtest;

constexpr uint32_t kGroup = 0xE1000001;
constexpr uint16_t kPid = 0x0401;

std::vector<uint8_t> Section(uint16_t port = 1000, size_t payload = 64) {
    Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = port;
    d.payload.assign(payload, 0x11);
    return BuildDatagramSection(d);
}

// A type-8 request with a plain table filter, fed directly (no shared filter).
uint32_t StartEcm(FakeHost& host) {
    EXPECT_EQ(kr::StartTypedRequest(kr::kTypeEcm, 0x222, 0x81), 0);
    return host.Calls(Slot::SetSectionFilter).back().words[0];
}

class SendRetrievedTest : public IntakeTest {};

TEST_F(SendRetrievedTest, LengthStatusAndRequestRules) {
    const uint32_t ecm = StartEcm(host);
    kr_T2K_SetDebugFlag(0x30, 1);
    std::vector<uint8_t> section = BuildTableSection(0x81, std::vector<uint8_t>(10, 1));
    ASSERT_EQ(section.size(), 17u);
    struct Case {
        uint32_t id;
        int32_t status;
        const uint8_t* data;
        int32_t length;
        int32_t result;
        std::string message;  // empty: none
    };
    const std::vector<uint8_t> big(5000, 0x81);
    const std::string lengthError = "**    Send section length error: ";
    const Case cases[] = {
        {ecm, 0, section.data(), 16, -1, lengthError + "16 !\r\n"},
        {ecm, 0, section.data(), -20, -1, lengthError + "-20 !\r\n"},
        {ecm, 0, nullptr, 17, -1, lengthError + "17 !\r\n"},
        {ecm, 0, big.data(), 5000, -1, lengthError + "5000 !\r\n"},
        {ecm, 0x101, section.data(), 17, 1, "**    Receive data timeout!\r\n"},
        {ecm + 500, 0, section.data(), 17, -1,
         "**    Can't find the request " + std::to_string(ecm + 500) + ".\r\n"},
        {ecm, 0x100, section.data(), 17, 0, ""},  // status low byte 0
    };
    for (const Case& c : cases) {
        host.Clear();
        EXPECT_EQ(kr_T2K_SendRetrieved(static_cast<int32_t>(c.id), c.status, c.data, c.length),
                  c.result)
            << c.length;
        if (!c.message.empty()) {
            EXPECT_TRUE(host.HasDebugLine(c.message)) << c.message;
        }
    }
    EXPECT_EQ(kr::QueueCount(kr::GetQueue(kr::QueueId::Ecm)), 1);
}

TEST_F(SendRetrievedTest, LongSectionsAreCutAndLengthMismatchesTolerated) {
    const uint32_t ecm = StartEcm(host);
    kr_T2K_SetDebugFlag(0x30, 1);
    std::vector<uint8_t> section = BuildTableSection(0x81, std::vector<uint8_t>(3993, 7));
    ASSERT_EQ(section.size(), 4000u);
    EXPECT_EQ(Deliver(ecm, section), 0);
    kr::SectionNode* node = nullptr;
    ASSERT_EQ(kr::QueueTake(kr::GetQueue(kr::QueueId::Ecm), &node), 0);
    EXPECT_EQ(node->length, 1500);
    EXPECT_EQ(std::vector<uint8_t>(node->data, node->data + 1500),
              std::vector<uint8_t>(section.begin(), section.begin() + 1500));
    kr::ReturnNode(node);
    EXPECT_FALSE(host.HasDebugText("receive length error"));

    // Delivered length differs from the section's own: reported, queued all the same.
    EXPECT_EQ(kr_T2K_SendRetrieved(static_cast<int32_t>(ecm), 0, section.data(), 100), 0);
    EXPECT_TRUE(host.HasDebugLine("**    request id : " + std::to_string(ecm) +
                                  ", receive length error: 100\tsection length: 4000\r\n"));
}

TEST_F(SendRetrievedTest, FullPoolDropsAndRecovers) {
    const uint32_t ecm = StartEcm(host);
    const std::vector<uint8_t> section = BuildTableSection(0x81, std::vector<uint8_t>(40, 3));
    for (uint32_t i = 0; i < poolSize; ++i)
        ASSERT_EQ(Deliver(ecm, section), 0) << i;
    kr_T2K_SetDebugFlag(0x30, 1);
    EXPECT_EQ(Deliver(ecm, section), -4);
    EXPECT_TRUE(host.HasDebugLine("**      The buffer is full.\r\n"));
    EXPECT_TRUE(host.HasDebugLine("**      SYS: 0, STRM: 0, CA: 0, ECM: 16\r\n"));
    // A worker gives one node back: sections are accepted again.
    kr::SectionNode* node = nullptr;
    ASSERT_EQ(kr::QueueTake(kr::GetQueue(kr::QueueId::Ecm), &node), 0);
    kr::ReturnNode(node);
    EXPECT_EQ(Deliver(ecm, section), 0);
    EXPECT_EQ(kr::FreeNodeCount(), 0u);
}

TEST_F(SendRetrievedTest, StoppedRequestsGiveTheirQueuedNodesBack) {
    const uint32_t keep = StartConsumer(kr::kTypeVideo, kPid, kGroup, 1000, 1);
    const uint32_t drop = StartConsumer(kr::kTypeAudio, kPid, kGroup, 1002, 2);
    const uint32_t hostId = host.Calls(Slot::SetSectionFilter).back().words[0];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Deliver(hostId, Section(1000)), 0);
        ASSERT_EQ(Deliver(hostId, Section(1002)), 0);
    }
    EXPECT_EQ(kr::FreeNodeCount(), poolSize - 6);
    kr::StopRequestsByOwner(2);
    EXPECT_EQ(kr::FreeNodeCount(), poolSize - 3);
    // A section for the stopped request is refused; the other still flows.
    EXPECT_EQ(Deliver(hostId, Section(1002)), 0);  // no destination matches any more
    EXPECT_EQ(Deliver(drop, Section(1002)), -1);
    EXPECT_EQ(kr::QueueCount(kr::GetQueue(kr::QueueId::Stream)), 3);
    kr::SectionNode* node = nullptr;
    while (kr::QueueTake(kr::GetQueue(kr::QueueId::Stream), &node) == 0) {
        EXPECT_EQ(node->requestId, keep);
        kr::ReturnNode(node);
    }
}

// Validation of the datagram a node carries, including nodes whose lengths lie.
TEST(ValidateDatagram, AcceptsOnlyDatagramsThatFitTheirNode) {
    auto node = std::make_unique<kr::SectionNode>();
    auto load = [&node](const std::vector<uint8_t>& bytes, size_t keep) {
        std::memset(node->data, 0xEE, sizeof node->data);
        std::memcpy(node->data, bytes.data(), std::min(bytes.size(), keep));
        node->length = static_cast<uint16_t>(std::min(bytes.size(), keep));
    };
    Datagram d;
    d.payload.assign(1400, 0x42);
    const std::vector<uint8_t> good = BuildDatagramSection(d);
    load(good, good.size());
    EXPECT_EQ(kr::ValidateDatagram(node.get()), KR_YES);

    d.udpChecksum = UdpChecksum::Zero;
    d.payload.assign(20, 0);
    std::vector<uint8_t> unchecked = BuildDatagramSection(d);
    unchecked[50] ^= 0xFF;  // any payload passes without a UDP checksum
    load(unchecked, unchecked.size());
    EXPECT_EQ(kr::ValidateDatagram(node.get()), KR_YES);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t keep;
    };
    Datagram wrongIp = d;
    wrongIp.ipChecksum = IpChecksum::Wrong;
    Datagram wrongUdp;
    wrongUdp.payload.assign(100, 1);
    wrongUdp.udpChecksum = UdpChecksum::Wrong;
    std::vector<uint8_t> shortIp = good;  // IP total length 27: too short for IP plus UDP
    shortIp[14] = 0;
    shortIp[15] = 27;
    std::vector<uint8_t> longUdp = BuildDatagramSection(wrongUdp);
    longUdp[36] = 0x05;  // UDP length 1300, beyond the IP datagram and the node
    longUdp[37] = 0x14;
    std::vector<uint8_t> tinyUdp = BuildDatagramSection(wrongUdp);
    tinyUdp[36] = 0;
    tinyUdp[37] = 4;  // below the UDP header's own 8 bytes
    const Case invalid[] = {
        {"empty", good, 0},
        {"header only", good, 12},
        {"no UDP header", good, 39},
        {"IP checksum", BuildDatagramSection(wrongIp), 1000},
        {"IP length beyond node", good, 1000},
        {"IP length below 28", shortIp, good.size()},
        {"UDP checksum", BuildDatagramSection(wrongUdp), 1000},
        {"UDP length beyond IP", longUdp, longUdp.size()},
        {"UDP length below 8", tinyUdp, tinyUdp.size()},
    };
    for (const Case& c : invalid) {
        load(c.bytes, c.keep);
        EXPECT_EQ(kr::ValidateDatagram(node.get()), KR_NO) << c.name;
    }
    EXPECT_EQ(kr::ValidateDatagram(nullptr), KR_NO);
}

// ---- With the module running: workers drain the queues -------------------------------------

class IntakeFlowTest : public ModuleTest {
  protected:
    void TearDown() override {
        if (started) {
            ASSERT_TRUE(host.WaitFor([] { return kr::FreeNodeCount() == kr::IntakeNodeCount(); }));
            for (uint8_t type = 1; type <= 16; ++type)
                kr::StopRequestsByType(type);
            EXPECT_EQ(kr::RequestsInUse(), 0);
        }
        ModuleTest::TearDown();
    }
};

// Two delivery threads share the nodes set aside for deliveries while the worker gives nodes
// back: each section is queued or refused for want of a node, the free count read meanwhile
// never exceeds the pool (a wait for the whole pool would end early), and every node comes home.
TEST_F(IntakeFlowTest, ConcurrentDeliveriesNeverOvercountFreeNodes) {
    ASSERT_EQ(StartModule(64), KR_OK);
    ASSERT_NE(StartConsumer(kr::kTypeVideo, kPid, kGroup, 1000, 4), 0u);
    const uint32_t hostId = host.Calls(Slot::SetSectionFilter).back().words[0];
    std::atomic<bool> done{false};
    std::atomic<uint32_t> overcounts{0};
    std::thread counter([&] {
        while (!done.load()) {
            if (kr::FreeNodeCount() > kr::IntakeNodeCount()) overcounts.fetch_add(1);
        }
    });
    std::atomic<uint32_t> unexpected{0};
    auto deliver = [&] {
        const std::vector<uint8_t> section = Section(1000, 200);
        for (int i = 0; i < 5000; ++i) {
            const int32_t result = Deliver(hostId, section);
            if (result != KR_OK && result != KR_NO_NODE) unexpected.fetch_add(1);
        }
    };
    std::thread first(deliver);
    std::thread second(deliver);
    first.join();
    second.join();
    ASSERT_TRUE(host.WaitFor([] { return kr::FreeNodeCount() == kr::IntakeNodeCount(); }));
    done.store(true);
    counter.join();
    EXPECT_EQ(unexpected.load(), 0u);
    EXPECT_EQ(overcounts.load(), 0u);
}

TEST_F(IntakeFlowTest, DeliveryRacesStartStopAndFinish) {
    ASSERT_EQ(StartModule(64), KR_OK);
    std::atomic<bool> done{false};
    std::atomic<uint32_t> hostId{0};
    std::thread delivery([&] {
        const std::vector<uint8_t> section = Section(1000, 200);
        while (!done.load()) {
            const uint32_t id = hostId.load();
            if (id != 0) Deliver(id, section);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 50; ++round) {
        ASSERT_NE(StartConsumer(kr::kTypeVideo, kPid, kGroup, 1000, 4), 0u);
        hostId.store(host.Calls(Slot::SetSectionFilter).back().words[0]);
        kr::StopRequestsByOwner(4);
    }
    // The delivery thread keeps going while the module finishes: it sees 1, never freed memory.
    ASSERT_TRUE(host.WaitFor([] { return kr::FreeNodeCount() == kr::IntakeNodeCount(); }));
    FinishModule();
    EXPECT_EQ(Deliver(hostId.load(), Section()), 1);
    done.store(true);
    delivery.join();
}

}  // namespace
