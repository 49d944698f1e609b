// Fixtures and helpers for system information and the EPG download.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "support/module_fixture.h"
#include "support/sysinfo_builder.h"
#include "sysinfo/sysinfo_state.h"

namespace krtest {

// A datagram section carrying a system-information payload to 239.81.90.1:8190.
std::vector<uint8_t> SysinfoSection(const std::vector<uint8_t>& payload);
std::vector<uint8_t> SysinfoSection(const SysinfoAnnouncement& announcement);

// A datagram section carrying a block payload to the announced EPG destination.
std::vector<uint8_t> BlockSection(const SysinfoAnnouncement& to,
                                  const std::vector<uint8_t>& payload);

// The sample EPG container: the live EPG and its icons (four blocks).
std::vector<uint8_t> SampleContainer();

// Filters the host was asked to start for this pid.
size_t FiltersFor(const FakeHost& host, uint16_t pid);

// Intake and system information started without workers: the test hands payloads to the
// parsers itself, on its own thread. Teardown finishes both and checks that nothing is left.
class SysinfoUnitTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    kr::EpgDownloadBuffer* Buffer() { return kr::Sysinfo().buffer; }
    void Announce(const SysinfoAnnouncement& announcement);
    void SendBlock(const std::vector<uint8_t>& payload);
    bool Downloading() const { return kr::Sysinfo().downloading.load() != 0; }

    FakeHost host;
    int64_t allocationsAtStart = 0;
};

}  // namespace krtest
