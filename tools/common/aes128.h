// AES-128 for the head end and the virtual card: single blocks (control words, check blocks) and
// CBC runs over whole blocks, in place, without padding.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace krtools {

using AesKey = std::array<uint8_t, 16>;
using AesBlock = std::array<uint8_t, 16>;

AesBlock AesEncryptBlock(const AesKey& key, const AesBlock& block);
AesBlock AesDecryptBlock(const AesKey& key, const AesBlock& block);

// data.size() must be a multiple of 16; throws std::invalid_argument otherwise.
void AesCbcEncrypt(const AesKey& key, const AesBlock& iv, std::span<uint8_t> data);
void AesCbcDecrypt(const AesKey& key, const AesBlock& iv, std::span<uint8_t> data);

}  // namespace krtools
