#include "headend/pcap_capture.h"

#include <span>

#include "common/byte_writer.h"
#include "terminal/ts_demux.h"

namespace krtools {
namespace {

constexpr std::size_t kPacketSize = 188;
// A datagram section: 12 bytes of header before the IPv4 datagram, the CRC-32 after it.
constexpr std::size_t kSectionHeader = 12;
constexpr std::size_t kCrcSize = 4;
constexpr uint8_t kDatagramTableId = 0x3E;
constexpr uint32_t kLinkTypeEthernet = 1;

void AppendLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendGlobalHeader(std::vector<uint8_t>& out) {
    AppendLe32(out, 0xA1B2C3D4);  // microsecond timestamps, little-endian fields
    AppendLe16(out, 2);
    AppendLe16(out, 4);
    AppendLe32(out, 0);  // time zone
    AppendLe32(out, 0);  // timestamp accuracy
    AppendLe32(out, 65535);
    AppendLe32(out, kLinkTypeEthernet);
}

// The IPv4 datagram of a datagram section when it is a UDP datagram to the address and one of
// the ports; empty otherwise. Lengths are checked against the section's bytes.
std::span<const uint8_t> ProgramDatagram(std::span<const uint8_t> section, uint32_t address,
                                         uint16_t videoPort, uint16_t audioPort) {
    if (section.size() < kSectionHeader + 28 + kCrcSize || section[0] != kDatagramTableId)
        return {};
    const auto ip = section.subspan(kSectionHeader, section.size() - kSectionHeader - kCrcSize);
    const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t totalLength = ReadBe16(ip.data() + 2);
    if ((ip[0] >> 4) != 4 || headerLength < 20 || totalLength > ip.size() ||
        totalLength < headerLength + 8 || ip[9] != 17 || ReadBe32(ip.data() + 16) != address)
        return {};
    const uint16_t port = ReadBe16(ip.data() + headerLength + 2);
    if (port != videoPort && port != audioPort) return {};
    return ip.first(totalLength);
}

void AppendRecord(std::vector<uint8_t>& out, uint64_t timeUs, uint32_t group,
                  std::span<const uint8_t> ip) {
    const auto frameLength = static_cast<uint32_t>(14 + ip.size());
    AppendLe32(out, static_cast<uint32_t>(timeUs / 1000000));
    AppendLe32(out, static_cast<uint32_t>(timeUs % 1000000));
    AppendLe32(out, frameLength);
    AppendLe32(out, frameLength);
    // The group's multicast MAC address, a made-up sender, and the IPv4 type.
    const uint8_t ethernet[14] = {0x01, 0x00, 0x5E, static_cast<uint8_t>((group >> 16) & 0x7F),
                                  static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(group),
                                  0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00};
    out.insert(out.end(), ethernet, ethernet + 14);
    out.insert(out.end(), ip.begin(), ip.end());
}

}  // namespace

PcapCapture CaptureProgram(const std::vector<uint8_t>& stream,
                           const std::vector<uint64_t>& packetTimesUs,
                           const AnnouncedProgram& program) {
    PcapCapture capture;
    AppendGlobalHeader(capture.file);
    const uint16_t videoPort = program.videoPort != 0 ? program.VideoDestinationPort() : 0;
    const uint16_t audioPort = program.audioPort != 0 ? program.AudioDestinationPort() : 0;
    uint64_t nowUs = 0;
    TsDemux demux([&](uint16_t pid, std::span<const uint8_t> section) {
        if (pid != program.pid) return;
        const auto ip = ProgramDatagram(section, program.address, videoPort, audioPort);
        if (ip.empty()) return;
        AppendRecord(capture.file, nowUs, program.address, ip);
        ++capture.datagrams;
    });
    const std::size_t packets = stream.size() / kPacketSize;
    for (std::size_t i = 0; i < packets; ++i) {
        nowUs = i < packetTimesUs.size() ? packetTimesUs[i] : nowUs;
        demux.Feed(std::span(stream).subspan(i * kPacketSize, kPacketSize));
    }
    demux.Finish();
    return capture;
}

}  // namespace krtools
