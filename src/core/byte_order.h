// Multi-byte integers at a byte offset in a buffer. Nothing here is bounds-checked: callers
// have checked that the bytes exist (or read through ByteReader, which does).
#pragma once

#include <cstdint>

namespace kr {

inline uint16_t ReadBe16(const uint8_t* buf, uint32_t off) {
    return static_cast<uint16_t>((buf[off] << 8) | buf[off + 1]);
}

inline uint32_t ReadBe32(const uint8_t* buf, uint32_t off) {
    return (uint32_t{buf[off]} << 24) | (uint32_t{buf[off + 1]} << 16) |
           (uint32_t{buf[off + 2]} << 8) | uint32_t{buf[off + 3]};
}

inline uint16_t ReadLe16(const uint8_t* buf, uint32_t off) {
    return static_cast<uint16_t>(buf[off] | (buf[off + 1] << 8));
}

inline uint32_t ReadLe32(const uint8_t* buf, uint32_t off) {
    return uint32_t{buf[off]} | (uint32_t{buf[off + 1]} << 8) | (uint32_t{buf[off + 2]} << 16) |
           (uint32_t{buf[off + 3]} << 24);
}

inline void WriteBe16(uint8_t* buf, uint32_t off, uint16_t v) {
    buf[off] = static_cast<uint8_t>(v >> 8);
    buf[off + 1] = static_cast<uint8_t>(v);
}

inline void WriteBe32(uint8_t* buf, uint32_t off, uint32_t v) {
    buf[off] = static_cast<uint8_t>(v >> 24);
    buf[off + 1] = static_cast<uint8_t>(v >> 16);
    buf[off + 2] = static_cast<uint8_t>(v >> 8);
    buf[off + 3] = static_cast<uint8_t>(v);
}

inline void WriteLe32(uint8_t* buf, uint32_t off, uint32_t v) {
    buf[off] = static_cast<uint8_t>(v);
    buf[off + 1] = static_cast<uint8_t>(v >> 8);
    buf[off + 2] = static_cast<uint8_t>(v >> 16);
    buf[off + 3] = static_cast<uint8_t>(v >> 24);
}

// The IPv4 total length and the UDP length fields.
inline uint16_t IpTotalLength(const uint8_t* ipHeader) {
    return ReadBe16(ipHeader, 2);
}
inline uint16_t UdpLength(const uint8_t* udpHeader) {
    return ReadBe16(udpHeader, 4);
}

}  // namespace kr
