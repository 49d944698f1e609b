// Fixture for playback tests: the module running with a live EPG of test programs and a download
// EPG of test resources in place, a recorder for what reaches the content functions, and
// helpers that send datagrams the way the host's demultiplexer delivers them.
#pragma once

#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/delivery_recorder.h"
#include "support/module_fixture.h"

namespace krtest {

// Programs of the live EPG.
struct TestProgram {
    uint32_t id;
    uint8_t ca, sort;
    uint16_t pid;
    uint32_t address;
    uint16_t port, videoPort, audioPort;
};

inline constexpr TestProgram kClear{11, 0, 4, 0x0401, 0xEF010101, 5000, 5000, 5002};
inline constexpr TestProgram kScrambled{12, 1, 4, 0x0401, 0xEF010102, 5000, 5000, 5002};
inline constexpr TestProgram kCombined{13, 0, 7, 0x0402, 0xEF010103, 7000, 0, 0};
inline constexpr TestProgram kSecondClear{14, 0, 4, 0x0402, 0xEF010104, 5010, 5010, 5012};
inline constexpr TestProgram kThirdClear{15, 0, 4, 0x0403, 0xEF010105, 5020, 5020, 5022};
inline constexpr TestProgram kFourthClear{16, 0, 4, 0x0403, 0xEF010106, 5030, 5030, 5032};

// Resources of the download EPG.
struct TestResource {
    uint32_t id;
    uint8_t ca;
    uint16_t pid;
    uint32_t address;
    uint16_t port;
};

inline constexpr TestResource kClearResource{21, 0, 0x0410, 0xEF020201, 6000};
inline constexpr TestResource kScrambledResource{22, 1, 0x0410, 0xEF020202, 6002};

class PlaybackTest : public ModuleTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Waits until the stream worker has handled every queued section.
    void Drain();

    // The id of the running host filter for a PID (0 when none runs).
    uint32_t HostFilter(uint16_t pid) const;

    // Sends one datagram section with this payload to a destination, through the host filter of
    // pid. cut > 0 hands the module only the first cut bytes of the section.
    int32_t Send(uint16_t pid, uint32_t address, uint16_t port, const std::vector<uint8_t>& payload,
                 size_t cut = 0);
    // The same to one of a program's ports, or to a resource's destination.
    int32_t Send(const TestProgram& p, uint16_t port, const std::vector<uint8_t>& payload,
                 size_t cut = 0) {
        return Send(p.pid, p.address, port, payload, cut);
    }
    int32_t Send(const TestResource& r, const std::vector<uint8_t>& payload) {
        return Send(r.pid, r.address, r.port, payload);
    }
    // Starts a program whose deliveries the recorder keeps.
    static int32_t StartProgram(const TestProgram& p, uint32_t mode = 0) {
        return kr_T2K_StartProgram(p.id, mode, DeliveryRecorder::OnStream);
    }
    std::vector<uint8_t> SectionFor(uint32_t address, uint16_t port,
                                    const std::vector<uint8_t>& payload) const;

    // Request entries in use for an owner, as (type, udpPort, ipAddress, scrambled, mode).
    struct OwnedRequest {
        uint8_t type;
        uint16_t udpPort;
        uint32_t ipAddress;
        uint8_t scrambled;
        uint32_t deliveryMode;
    };
    std::vector<OwnedRequest> RequestsOf(uint32_t owner) const;
    // Whether a started service names this stream destination.
    static bool ServiceStarted(uint32_t address, uint16_t port);

    DeliveryRecorder recorder;
    uint32_t firstRequestId = 1;  // where HostFilter and RequestsOf begin to look
};

// The live EPG text of the test programs.
std::string LiveEpgText();

}  // namespace krtest
