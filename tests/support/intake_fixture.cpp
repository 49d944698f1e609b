#include "support/intake_fixture.h"

#include <krmodule/krmodule.h>

#include "core/host.h"
#include "intake/intake.h"
#include "intake/shared_filter.h"

namespace krtest {

void IntakeTest::SetUp() {
    ModuleTest::SetUp();
    kr::SetHostCallbacks(FakeHost::AllSlots());
    ASSERT_EQ(kr::IntakeInit(poolSize), 0);
}

void IntakeTest::TearDown() {
    ExpectAllReleased();
    kr::IntakeFinish();
    ModuleTest::TearDown();
}

void IntakeTest::ExpectAllReleased() {
    for (uint8_t type = 1; type <= 16; ++type)
        kr::StopRequestsByType(type);
    EXPECT_EQ(kr::FreeNodeCount(), kr::IntakeNodeCount()) << "a node was not returned";
    EXPECT_EQ(kr::RequestsInUse(), 0) << "a request entry was left in use";
    EXPECT_EQ(kr::SharedFiltersActive(), 0) << "a shared filter was left active";
}

uint32_t StartConsumer(uint8_t type, uint16_t pid, uint32_t ipAddress, uint16_t udpPort,
                       uint32_t ownerId) {
    kr::ModuleLockGuard hold;
    kr::RequestEntry* entry = nullptr;
    if (kr::AllotRequest(&entry) != 0) return 0;
    entry->type = type;
    kr::QueueForType(type, &entry->queue);
    entry->viaSharedFilter = 1;
    entry->pid = pid;
    entry->ipAddress = ipAddress;
    entry->udpPort = udpPort;
    entry->ownerId = ownerId;
    kr::IpFilterRequest filter{};
    filter.pid = pid;
    filter.requestId = entry->requestId;
    kr::BuildIpUdpFilter(filter.match, filter.mask, ipAddress, udpPort);
    if (kr::AttachConsumer(entry, filter) != 0) return 0;
    return entry->requestId;
}

int32_t Deliver(uint32_t requestId, const std::vector<uint8_t>& section, int32_t status) {
    return kr_T2K_SendRetrieved(static_cast<int32_t>(requestId), status, section.data(),
                                static_cast<int32_t>(section.size()));
}

}  // namespace krtest
