// The MPEG-2 section CRC-32 and the Internet checksums of IPv4 and UDP headers.
#pragma once

#include <cstdint>

namespace kr {

// Bytes of the CRC-32 that ends a section.
constexpr uint32_t kCrcSize = 4;

// Polynomial 0x04C11DB7, most significant bit first, initial value 0xFFFFFFFF, no reflection,
// no final inversion. A whole section with its own CRC yields 0; len 0 yields 0xFFFFFFFF.
uint32_t Crc32(const uint8_t* data, uint32_t len);

// Continues a CRC over more bytes (Crc32(a+b) == Crc32Update(Crc32(a), b)).
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, uint32_t len);

// 1 when the last four bytes, big-endian, equal the CRC of the bytes before them; 0 otherwise
// and when len < 4.
int32_t CheckCrcTrailer(const uint8_t* data, int32_t len);

// The one's-complement Internet checksum; an odd last byte is the high byte of a word. A correct
// IPv4 header yields 0. A negative len counts as 0.
uint16_t InternetChecksum(const uint8_t* data, int32_t len);

// 1 when the 20-byte IPv4 header's checksum verifies.
int32_t IpHeaderValid(const uint8_t* ipHeader);

// 1 when the UDP datagram that follows the 20-byte IPv4 header carries a correct checksum or
// none (field 0); 0 when it is wrong or the UDP length is above 1500. Reads 20 + UDP length
// bytes from ipHeader: the caller has checked that they exist.
int32_t UdpChecksumValid(const uint8_t* ipHeader);

}  // namespace kr
