// Builders for complete sections as a head end sends them: datagram sections carrying an IPv4/UDP
// datagram (12-byte header, IPv4 header, UDP header, payload, CRC-32) and plain private table
// sections. The checksums are computed here independently of the library, and each can be made
// deliberately wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krtools {

enum class IpChecksum : uint8_t { Right, Wrong };
enum class UdpChecksum : uint8_t { Right, Wrong, Zero };

struct Datagram {
    uint32_t sourceAddress = 0x0A000001;  // 10.0.0.1
    uint32_t destinationAddress = 0xEF515A01;
    uint16_t sourcePort = 5000;
    uint16_t destinationPort = 8190;
    std::vector<uint8_t> payload;
    IpChecksum ipChecksum = IpChecksum::Right;
    UdpChecksum udpChecksum = UdpChecksum::Right;
    bool rightCrc = true;
};

// The IPv4 header, UDP header and payload.
std::vector<uint8_t> BuildIpUdp(const Datagram& datagram);

// A whole datagram section (table id 0x3E) with a correct section length.
std::vector<uint8_t> BuildDatagramSection(const Datagram& datagram);

// A long-form private section: table id, section length, the body as given, then the CRC-32.
std::vector<uint8_t> BuildTableSection(uint8_t tableId, const std::vector<uint8_t>& body,
                                       bool rightCrc = true);

// The checks every section and datagram carries, for builders and tests.
uint32_t SectionCrc(const uint8_t* data, std::size_t size);
uint16_t OnesComplementSum(const uint8_t* data, std::size_t size, uint32_t start = 0);

}  // namespace krtools
