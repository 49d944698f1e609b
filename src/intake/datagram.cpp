#include "intake/datagram.h"

#include <krmodule/krmodule.h>

#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/checksum.h"
#include "core/counters.h"
#include "core/log.h"

namespace kr {
namespace {
constexpr uint32_t kIpHeaderLength = 20;
constexpr uint32_t kUdpHeaderLength = 8;
}  // namespace

int32_t ValidateDatagram(const SectionNode* node) {
    if (node == nullptr) return KR_NO;
    const uint32_t held = node->length;
    if (held == 0) {
        Tally(Count::DatagramsShort);
        kr_Print(0x33, "Zero retrieve data length.");
        return KR_NO;
    }
    // The node must hold the section header and both datagram headers before any is read.
    if (held < kUdpPayloadOffset) {
        Tally(Count::DatagramsShort);
        kr_Print(0x33, "retrieve length error: %d IP length: %d", static_cast<int>(held),
                 static_cast<int>(kIpHeaderLength + kUdpHeaderLength));
        return KR_NO;
    }
    const uint8_t* ip = node->data + kIpHeaderOffset;
    if (IpHeaderValid(ip) == 0) {
        Tally(Count::DatagramsIpChecksum);
        kr_Print(0x33, "IP header checksum error!");
        return KR_NO;
    }
    const uint32_t ipLength = IpTotalLength(ip);
    if (ipLength > held || ipLength < kIpHeaderLength + kUdpHeaderLength) {
        Tally(Count::DatagramsIpLength);
        kr_Print(0x33, "retrieve length error: %d IP length: %d", static_cast<int>(held),
                 static_cast<int>(ipLength));
        return KR_NO;
    }
    // The checksum covers UDP-length bytes: they must lie inside the IP datagram and the node.
    const uint32_t udpLength = UdpLength(node->data + kUdpHeaderOffset);
    if (udpLength < kUdpHeaderLength || kIpHeaderLength + udpLength > ipLength ||
        kUdpHeaderOffset + udpLength > held || UdpChecksumValid(ip) == 0) {
        Tally(Count::DatagramsUdpChecksum);
        kr_Print(0x33, "UDP checksum error!");
        return KR_NO;
    }
    return KR_YES;
}

std::span<const uint8_t> HeldBytes(const SectionNode& node) {
    const uint16_t held = node.length < kNodeDataSize ? node.length : kNodeDataSize;
    return {node.data, held};
}

bool UdpPayload(const SectionNode& node, std::span<const uint8_t>& payload) {
    constexpr uint16_t kUdpHeaderSize = 8;
    ByteReader reader(HeldBytes(node));
    reader.Seek(kUdpHeaderOffset + 4);
    const uint16_t udpLength = reader.Be16();
    if (!reader.ok() || udpLength < kUdpHeaderSize) return false;
    reader.Seek(kUdpPayloadOffset);
    const std::span<const uint8_t> bytes = reader.Bytes(udpLength - kUdpHeaderSize);
    if (!reader.ok()) return false;
    payload = bytes;
    return true;
}

}  // namespace kr
