#include "support/module_fixture.h"

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"

namespace krtest {

void ModuleTest::SetUp() {
    kr::fault::Reset();
    kr::ResetLogSettings();
    allocationsAtStart = kr::fault::LiveAllocations();
}

void ModuleTest::TearDown() {
    if (started) FinishModule();
    kr::fault::Reset();
    EXPECT_EQ(kr::LiveWorkerCount(), 0) << "a worker outlived kr_T2K_Finish";
    EXPECT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << "memory left allocated";
    kr::ResetLogSettings();
    kr::ClearHostCallbacks();
}

int32_t ModuleTest::StartModule(uint32_t sectionBufferCount) {
    InitRecord record = FakeHost::MakeInitRecord(sectionBufferCount);
    AdjustSlots(record.callbacks);
    const int32_t result = kr_T2K_Init(&record);
    started = true;
    return result;
}

void ModuleTest::FinishModule() {
    kr_T2K_Finish();
    started = false;
}

}  // namespace krtest
