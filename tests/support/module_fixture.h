// Base fixture for tests that start the module: a fresh fake host, and on teardown the module
// finished and checked for leftovers (no worker running, every block it allocated released).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "support/fake_host.h"

namespace krtest {

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // kr_T2K_Init with all slots of the fake host, as AdjustSlots leaves them.
    int32_t StartModule(uint32_t sectionBufferCount = 64);
    // A fixture that stands between the module and the fake host replaces slots here, before
    // any worker can call one.
    virtual void AdjustSlots(HostCallbacks& /*slots*/) {}
    void FinishModule();

    FakeHost host;
    bool started = false;
    int64_t allocationsAtStart = 0;
};

}  // namespace krtest
