// The little-endian header in front of every block datagram's data, as resource downloads read it.
// Kept in its own namespace until the system-information side and this side share one reader.
#pragma once

#include <cstdint>

#include "core/byte_reader.h"

namespace kr::playback {

constexpr uint32_t kBlockHeaderSize = 28;
// Blocks of this kind are not multicast data and are ignored.
constexpr uint32_t kBlockKindNotMulticast = 2;

struct BlockHeader {
    uint32_t kind = 0;
    uint32_t reserved1 = 0;
    uint32_t blockNumber = 0;  // counted from 1
    uint32_t totalBlocks = 0;
    uint32_t dataLength = 0;
    uint32_t reserved2[2] = {};
};

// Reads the header at the reader's position; false (reader failed) when it is not all there.
// Fields read before the end was met keep their values.
bool ReadBlockHeader(ByteReader& reader, BlockHeader& header);

}  // namespace kr::playback
