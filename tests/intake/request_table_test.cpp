#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <set>
#include <string>
#include <vector>

#include "core/host.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"
#include "support/intake_fixture.h"
#include "support/section_builder.h"

namespace request_table_test {
namespace {

using namespace krtest;

class RequestTableTest : public IntakeTest {};

TEST_F(RequestTableTest, AllotsUniqueIdsUntilTheTableIsFull) {
    std::set<uint32_t> ids;
    std::vector<kr::RequestEntry*> entries;
    for (int i = 0; i < kr::kRequestCount; ++i) {
        kr::RequestEntry* entry = nullptr;
        ASSERT_EQ(kr::AllotRequest(&entry), 0) << i;
        EXPECT_EQ(entry->state, kr::kRequestReserved);
        EXPECT_EQ(entry->type, 0);
        ids.insert(entry->requestId);
        entries.push_back(entry);
    }
    EXPECT_EQ(ids.size(), 64u);
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), 63u);  // one counter, incremented per request
    kr::RequestEntry* none = nullptr;
    EXPECT_EQ(kr::AllotRequest(&none), -7);
    EXPECT_EQ(kr::StartTypedRequest(kr::kTypeEcm, 0x100, 0x81), -1);
    EXPECT_EQ(host.CallCount(Slot::SetSectionFilter), 0u);

    // Reserved entries are not found and not counted as in use.
    kr::RequestEntry* found = nullptr;
    EXPECT_EQ(kr::FindRequest(entries[0]->requestId, &found), -1);
    EXPECT_EQ(kr::RequestsInUse(), 0);
    kr::SetRequestState(entries[0], kr::kRequestActive);
    entries[0]->ownerId = 77;
    EXPECT_EQ(kr::FindRequest(entries[0]->requestId, &found), 0);
    EXPECT_EQ(found, entries[0]);
    EXPECT_EQ(kr::FindRequest(entries[0]->requestId, nullptr), -2);
    EXPECT_EQ(kr::IsOwnerActive(77), KR_YES);
    EXPECT_EQ(kr::IsOwnerActive(78), KR_NO);

    kr::StopRequestsByOwner(77);
    EXPECT_EQ(kr::IsOwnerActive(77), KR_NO);
    for (kr::RequestEntry* entry : entries)
        kr::SetRequestState(entry, kr::kRequestFree);
}

TEST_F(RequestTableTest, MapsTypesToQueues) {
    struct Case {
        uint8_t type;
        kr::QueueId queue;
    };
    const Case cases[] = {{1, kr::QueueId::Sys},    {3, kr::QueueId::Sys},
                          {4, kr::QueueId::Stream}, {5, kr::QueueId::Stream},
                          {6, kr::QueueId::Stream}, {2, kr::QueueId::Ca},
                          {7, kr::QueueId::Ca},     {9, kr::QueueId::Ca},
                          {10, kr::QueueId::Ca},    {8, kr::QueueId::Ecm}};
    for (const Case& c : cases) {
        kr::SectionQueue* queue = nullptr;
        kr::QueueForType(c.type, &queue);
        EXPECT_EQ(queue, kr::GetQueue(c.queue)) << int{c.type};
    }
    for (const uint8_t type : std::vector<uint8_t>{0, 11, 15, 16, 255}) {
        kr::SectionQueue* queue = kr::GetQueue(kr::QueueId::Sys);
        kr::QueueForType(type, &queue);
        EXPECT_EQ(queue, nullptr) << int{type};
    }
}

TEST_F(RequestTableTest, TypedRequestAsksTheHostForATableFilter) {
    ASSERT_EQ(kr::StartTypedRequest(kr::kTypeEcm, 0x1234, 0x81), 0);
    auto calls = host.Calls(Slot::SetSectionFilter);
    ASSERT_EQ(calls.size(), 1u);
    const SectionFilterParams& params = calls[0].filter;
    EXPECT_EQ(params.pid, 0x1234);
    EXPECT_EQ(params.match[0], 0x81);
    EXPECT_EQ(params.mask[0], 0xFF);
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(params.match[i] | params.mask[i], 0) << i;
    EXPECT_EQ(params.reserved1, 0);
    EXPECT_EQ(params.reserved2, 0u);
    kr::RequestEntry* entry = nullptr;
    ASSERT_EQ(kr::FindRequest(calls[0].words[0], &entry), 0);
    EXPECT_EQ(entry->type, kr::kTypeEcm);
    EXPECT_EQ(entry->queue, kr::GetQueue(kr::QueueId::Ecm));
    EXPECT_EQ(entry->state, kr::kRequestActive);

    // Stopped by pid: the host filter is stopped with the request's id. A datagram consumer on
    // the same pid (a program whose ECMs share its data pid) is not the stop's to end: it has
    // an owner, who stops it and waits for its content calls.
    const uint32_t consumer = StartConsumer(kr::kTypeVideo, 0x1234, 0xE0000001, 1000, 5);
    ASSERT_NE(consumer, 0u);
    kr_T2K_SetDebugFlag(0x30, 1);
    kr::StopRequestsByPid(0x1234);
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), 1u);
    EXPECT_EQ(host.Calls(Slot::StopSectionFilter).at(0).words[0], calls[0].words[0]);
    EXPECT_EQ(kr::IsOwnerActive(5), KR_YES);
    EXPECT_EQ(kr::SharedFiltersActive(), 1);
    kr::StopRequestsByOwner(5);
    EXPECT_TRUE(host.HasDebugLine("**  Stop retrieves by pid 0x1234.\r\n"));
    EXPECT_TRUE(host.HasDebugLine(IndentedLine(
        "**", 3, "Stop retrieve, request id: " + std::to_string(calls[0].words[0]) + ".")));
    EXPECT_EQ(kr::RequestsInUse(), 0);
}

// A hardware filter may deliver its first section before SetSectionFilter returns.
KrSetSectionFilterFn recordFilter = nullptr;
std::vector<uint8_t> sectionAtOnce;
int32_t resultAtOnce = 99;

int32_t SetFilterThatDeliversAtOnce(uint32_t requestId, SectionFilterParams params) {
    const int32_t answer = recordFilter(requestId, params);
    resultAtOnce = Deliver(requestId, sectionAtOnce);
    return answer;
}

TEST_F(RequestTableTest, AFilterDeliversFromTheMomentItIsSet) {
    HostCallbacks slots = FakeHost::AllSlots();
    recordFilter = slots.SetSectionFilter;
    slots.SetSectionFilter = SetFilterThatDeliversAtOnce;
    kr::SetHostCallbacks(slots);
    Datagram datagram;
    datagram.destinationAddress = 0xE0000001;
    datagram.destinationPort = 1000;
    datagram.payload.assign(40, 0x5A);
    struct Case {
        bool shared;
        int32_t hostAnswer;
    };
    for (const Case c : {Case{false, 0}, Case{false, -3}, Case{true, 0}, Case{true, -3}}) {
        SCOPED_TRACE(testing::Message() << "shared " << c.shared << ", host " << c.hostAnswer);
        host.SetFilterResult(c.hostAnswer);
        resultAtOnce = 99;
        kr::SectionQueue* queue = kr::GetQueue(c.shared ? kr::QueueId::Stream : kr::QueueId::Ecm);
        if (c.shared) {
            sectionAtOnce = BuildDatagramSection(datagram);
            (void)StartConsumer(kr::kTypeVideo, 0x300, 0xE0000001, 1000, 7);
        } else {
            sectionAtOnce = BuildTableSection(0x81, std::vector<uint8_t>(20, 0x81));
            (void)kr::StartTypedRequest(kr::kTypeEcm, 0x300, 0x81);
        }
        EXPECT_EQ(resultAtOnce, 0) << "the section was refused";
        // A refused filter leaves nothing: not the section it delivered meanwhile either.
        EXPECT_EQ(kr::QueueCount(queue), c.hostAnswer == 0 ? 1 : 0);
        EXPECT_EQ(kr::RequestsInUse(), c.hostAnswer != 0 ? 0 : (c.shared ? 2 : 1));
        ExpectAllReleased();
    }
}

TEST_F(RequestTableTest, RefusedOrMissingHostFilterFreesTheEntry) {
    kr_T2K_SetDebugFlag(0x70, 1);
    host.SetFilterResult(-3);
    EXPECT_EQ(kr::StartTypedRequest(kr::kTypeServiceMap, 0x20, 0x84), -1);
    EXPECT_TRUE(host.HasDebugLine("\r\n====== Set filter failed! ======\r\n"));
    EXPECT_EQ(kr::RequestsInUse(), 0);

    HostCallbacks noFilter = FakeHost::AllSlots();
    noFilter.SetSectionFilter = nullptr;
    kr::SetHostCallbacks(noFilter);
    EXPECT_EQ(kr::StartTypedRequest(kr::kTypeServiceMap, 0x20, 0x84), -1);
    EXPECT_EQ(kr::RequestsInUse(), 0);
}

TEST_F(RequestTableTest, StopsByTypeAndOwnerButNeverOwnerZero) {
    ASSERT_EQ(kr::StartTypedRequest(kr::kTypeServiceMap, 0x20, 0x84), 0);
    ASSERT_NE(StartConsumer(kr::kTypeVideo, 0x100, 0xE0000001, 1000, 5), 0u);
    ASSERT_NE(StartConsumer(kr::kTypeAudio, 0x100, 0xE0000001, 1002, 5), 0u);
    ASSERT_NE(StartConsumer(kr::kTypeVideo, 0x100, 0xE0000002, 1000, 6), 0u);
    const int32_t all = kr::RequestsInUse();
    EXPECT_EQ(all, 5);  // four consumers and one shared host filter

    kr::StopRequestsByOwner(0);
    EXPECT_EQ(kr::RequestsInUse(), all);
    kr::StopRequestsByOwner(5);
    EXPECT_EQ(kr::IsOwnerActive(5), KR_NO);
    EXPECT_EQ(kr::IsOwnerActive(6), KR_YES);
    EXPECT_EQ(kr::SharedFiltersActive(), 1);
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), 0u);  // the shared host filter runs on

    kr::StopRequestsByType(kr::kTypeVideo);
    EXPECT_EQ(kr::SharedFiltersActive(), 0);
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), 1u);
    EXPECT_EQ(kr::RequestsInUse(), 1);  // the service-map request
}

TEST_F(RequestTableTest, WithoutIntakeEverythingIsRefused) {
    ExpectAllReleased();
    kr::IntakeFinish();
    kr_T2K_SetDebugFlag(0x30, 1);
    host.Clear();
    kr::RequestEntry* entry = nullptr;
    EXPECT_EQ(kr::AllotRequest(&entry), -2);
    EXPECT_EQ(kr::FindRequest(1, &entry), -1);
    kr::StopRequestsByType(3);
    EXPECT_EQ(kr::IsOwnerActive(1), KR_NO);
    EXPECT_EQ(host.DebugLines(),
              (std::vector<std::string>{"**    Request not init.\r\n",
                                        "**  The requests are not initialized.\r\n",
                                        "**  The requests are not initialized.\r\n"}));
    // Nor are sections taken.
    kr_T2K_SetDebugFlag(0x10, 1);
    EXPECT_EQ(Deliver(1, BuildTableSection(0x81, {1, 2, 3})), 1);
    EXPECT_TRUE(host.HasDebugLine("**    The KRDB module retrieve hasn't been initialized!\r\n") ||
                host.HasDebugLine("--  The KRDB module retrieve hasn't been initialized!\r\n"));
    ASSERT_EQ(kr::IntakeInit(poolSize), 0);
}

}  // namespace
}  // namespace request_table_test
