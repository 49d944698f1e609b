// Fixtures and helpers for tests of section intake.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "intake/request_table.h"
#include "support/fake_host.h"
#include "support/module_fixture.h"

namespace krtest {

// Intake started alone, without workers: queued sections stay where intake put them.
class IntakeTest : public ModuleTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Stops everything and checks that every node is free and no request or filter is left.
    void ExpectAllReleased();

    uint32_t poolSize = 16;
};

// A consumer request of the given type for one IPv4/UDP destination, attached to a shared
// filter on pid the way the start calls do it. Returns the request id, 0 on failure.
uint32_t StartConsumer(uint8_t type, uint16_t pid, uint32_t ipAddress, uint16_t udpPort,
                       uint32_t ownerId = 0);

// Sends a section to the module the way a host delivers it.
int32_t Deliver(uint32_t requestId, const std::vector<uint8_t>& section, int32_t status = 0);

}  // namespace krtest
