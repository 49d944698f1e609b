#include "core/checksum.h"

#include <array>
#include <bit>
#include <cstring>

#include "core/byte_order.h"

namespace kr {
namespace {

// Built at compile time, so no thread ever sees a half-built table.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr uint32_t kBlock = 16;

// The one's-complement sum of the 16-bit words of whole 16-byte blocks, each word read in the
// machine's byte order, folded to 16 bits; 0 only when every byte is 0. Four 32-bit lanes take
// the low and four the high halves of the blocks' 32-bit words: no lane can carry out before 2^16
// blocks, and a run is at most 65535 bytes.
uint32_t SumNativeBlocks(const uint8_t* data, uint32_t blocks) {
#if defined(__GNUC__)
    using Lanes = uint32_t __attribute__((vector_size(16)));
    Lanes low{};
    Lanes high{};
    for (uint32_t i = 0; i < blocks; ++i) {
        Lanes v;
        std::memcpy(&v, data + kBlock * i, kBlock);
        low += v & 0xFFFF;
        high += v >> 16;
    }
    uint64_t acc = 0;
    for (int lane = 0; lane < 4; ++lane)
        acc += uint64_t{low[lane]} + high[lane];
#else
    uint64_t acc = 0;
    for (uint32_t i = 0; i < blocks * (kBlock / 4); ++i) {
        uint32_t word;
        std::memcpy(&word, data + 4 * i, 4);
        acc += word;
    }
#endif
    acc = (acc >> 32) + (acc & 0xFFFFFFFFu);
    acc = (acc >> 32) + (acc & 0xFFFFFFFFu);
    auto sum = static_cast<uint32_t>(acc);
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return sum;
}

// Sums big-endian 16-bit words into a 32-bit accumulator (not yet folded). Every section on the
// stream path is summed here, so the bulk is read a block at a time in the machine's byte order:
// a one's-complement sum in either byte order is the same sum with its two bytes swapped.
uint32_t SumWords(uint32_t sum, const uint8_t* data, uint32_t len) {
    const uint32_t blocks = len / kBlock;
    if (blocks > 0) {
        const uint32_t native = SumNativeBlocks(data, blocks);
        sum += std::endian::native == std::endian::big
                   ? native
                   : ((native & 0xFF) << 8) | (native >> 8);
    }
    uint32_t i = kBlock * blocks;
    for (; i + 1 < len; i += 2)
        sum += ReadBe16(data, i);
    if (i < len) sum += uint32_t{data[i]} << 8;
    return sum;
}

uint32_t Fold(uint32_t sum) {
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return sum;
}

constexpr uint32_t kIpHeaderLength = 20;
constexpr uint32_t kMaxUdpLength = 1500;
constexpr uint32_t kUdpProtocol = 17;

}  // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, uint32_t len) {
    if (data == nullptr) return crc;
    for (uint32_t i = 0; i < len; ++i)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

uint32_t Crc32(const uint8_t* data, uint32_t len) {
    return Crc32Update(0xFFFFFFFFu, data, len);
}

int32_t CheckCrcTrailer(const uint8_t* data, int32_t len) {
    if (data == nullptr || len < 4) return 0;
    const uint32_t body = static_cast<uint32_t>(len) - 4;
    return ReadBe32(data, body) == Crc32(data, body) ? 1 : 0;
}

uint16_t InternetChecksum(const uint8_t* data, int32_t len) {
    if (data == nullptr || len <= 0) return 0xFFFF;
    return static_cast<uint16_t>(~Fold(SumWords(0, data, static_cast<uint32_t>(len))));
}

int32_t IpHeaderValid(const uint8_t* ipHeader) {
    if (ipHeader == nullptr) return 0;
    return InternetChecksum(ipHeader, kIpHeaderLength) == 0 ? 1 : 0;
}

int32_t UdpChecksumValid(const uint8_t* ipHeader) {
    if (ipHeader == nullptr) return 0;
    const uint8_t* udp = ipHeader + kIpHeaderLength;
    const uint32_t udpLength = UdpLength(udp);
    if (udpLength > kMaxUdpLength) return 0;
    if (ReadBe16(udp, 6) == 0) return 1;  // the sender sent no checksum
    // Pseudo-header: source and destination address, protocol, UDP length.
    uint32_t sum = SumWords(0, ipHeader + 12, 8);
    sum += kUdpProtocol;
    sum += udpLength;
    sum = SumWords(sum, udp, udpLength);
    return Fold(sum) == 0xFFFF ? 1 : 0;
}

}  // namespace kr
