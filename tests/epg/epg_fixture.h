// Fixture for EPG tests that need the database but not the workers: a fake host for logs and
// frequencies, the database started, and on teardown finished and checked for leaks.
#pragma once

#include <gtest/gtest.h>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "epg/epg_database.h"
#include "support/epg_builder.h"
#include "support/fake_host.h"

namespace krtest {

class EpgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kr::fault::Reset();
        kr::ResetLogSettings();
        kr::SetHostCallbacks(FakeHost::AllSlots());
        kr_T2K_SetDebugFlag(0, 1);  // every module, every level
        allocations = kr::fault::LiveAllocations();
        ASSERT_EQ(kr::kr_EpgInit(), 0);
    }
    void TearDown() override {
        kr::kr_EpgFinish();
        EXPECT_EQ(kr::fault::LiveAllocations(), allocations);
        kr::ResetLogSettings();
        kr::ClearHostCallbacks();
    }

    FakeHost host;
    int64_t allocations = 0;
};

}  // namespace krtest
