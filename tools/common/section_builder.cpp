#include "common/section_builder.h"

#include <algorithm>

namespace krtools {
namespace {

void PutBe16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v >> 8);
    out[at + 1] = static_cast<uint8_t>(v);
}

void PutBe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    PutBe16(out, at, static_cast<uint16_t>(v >> 16));
    PutBe16(out, at + 2, static_cast<uint16_t>(v));
}

void AppendCrc(std::vector<uint8_t>& section, bool right) {
    uint32_t crc = SectionCrc(section.data(), section.size());
    if (!right) crc ^= 0x5A5A5A5A;
    const std::size_t at = section.size();
    section.resize(at + 4);
    PutBe32(section, at, crc);
}

}  // namespace

// Bit by bit, MSB first: deliberately not the table method the library uses.
uint32_t SectionCrc(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= uint32_t{data[i]} << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

uint16_t OnesComplementSum(const uint8_t* data, size_t size, uint32_t start) {
    uint64_t sum = start;
    for (size_t i = 0; i < size; ++i)
        sum += (i % 2 == 0) ? uint64_t{data[i]} << 8 : data[i];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

std::vector<uint8_t> BuildIpUdp(const Datagram& d) {
    const size_t udpLength = 8 + d.payload.size();
    const size_t ipLength = 20 + udpLength;
    std::vector<uint8_t> out(ipLength, 0);
    out[0] = 0x45;
    PutBe16(out, 2, static_cast<uint16_t>(ipLength));
    PutBe16(out, 4, 0x1234);  // identification
    out[8] = 32;              // time to live
    out[9] = 17;              // UDP
    PutBe32(out, 12, d.sourceAddress);
    PutBe32(out, 16, d.destinationAddress);
    uint16_t ipSum = static_cast<uint16_t>(~OnesComplementSum(out.data(), 20));
    if (d.ipChecksum == IpChecksum::Wrong) ipSum ^= 0x0101;
    PutBe16(out, 10, ipSum);

    PutBe16(out, 20, d.sourcePort);
    PutBe16(out, 22, d.destinationPort);
    PutBe16(out, 24, static_cast<uint16_t>(udpLength));
    std::copy(d.payload.begin(), d.payload.end(), out.begin() + 28);
    if (d.udpChecksum != UdpChecksum::Zero) {
        // Pseudo-header: addresses, protocol, UDP length; then the datagram with field 0.
        uint32_t start = OnesComplementSum(out.data() + 12, 8);
        start += 17 + static_cast<uint32_t>(udpLength);
        uint16_t udpSum =
            static_cast<uint16_t>(~OnesComplementSum(out.data() + 20, udpLength, start));
        if (udpSum == 0) udpSum = 0xFFFF;  // 0 means "no checksum"
        if (d.udpChecksum == UdpChecksum::Wrong) udpSum = static_cast<uint16_t>(udpSum ^ 0x8001);
        PutBe16(out, 26, udpSum);
    }
    return out;
}

std::vector<uint8_t> BuildDatagramSection(const Datagram& datagram) {
    const std::vector<uint8_t> ip = BuildIpUdp(datagram);
    std::vector<uint8_t> section(12 + ip.size(), 0);
    const size_t sectionLength = 9 + ip.size() + 4;
    section[0] = 0x3E;
    section[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(sectionLength);
    // Multicast MAC 01:00:5E plus the low 23 bits of the group, least significant bytes first.
    const uint32_t group = datagram.destinationAddress & 0x7FFFFF;
    section[3] = static_cast<uint8_t>(group);        // MAC byte 6
    section[4] = static_cast<uint8_t>(group >> 8);   // MAC byte 5
    section[5] = 0xC1;                               // LLC/SNAP 0, current
    section[8] = static_cast<uint8_t>(group >> 16);  // MAC byte 4
    section[9] = 0x5E;
    section[10] = 0x00;
    section[11] = 0x01;
    std::copy(ip.begin(), ip.end(), section.begin() + 12);
    AppendCrc(section, datagram.rightCrc);
    return section;
}

std::vector<uint8_t> BuildTableSection(uint8_t tableId, const std::vector<uint8_t>& body,
                                       bool rightCrc) {
    std::vector<uint8_t> section(3 + body.size(), 0);
    const size_t sectionLength = body.size() + 4;
    section[0] = tableId;
    section[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(sectionLength);
    std::copy(body.begin(), body.end(), section.begin() + 3);
    AppendCrc(section, rightCrc);
    return section;
}

}  // namespace krtools
