// The little-endian header of block datagrams: a file carried in numbered blocks (the EPG
// container, resource files), each block's data right after its 28-byte header.
#pragma once

#include <cstdint>
#include <span>

namespace kr {

constexpr uint32_t kBlockHeaderSize = 28;
// Blocks of this kind are not multicast data and are ignored.
constexpr uint32_t kBlockKindNotMulticast = 2;

struct BlockHeader {
    uint32_t kind;
    uint32_t word4;        // at offset 4; not used by the EPG download
    uint32_t blockNumber;  // counted from 1
    uint32_t totalBlocks;  // of the whole file
    uint32_t dataLength;   // as announced by the header
    uint32_t word20;       // at offsets 20 and 24; not used by the EPG download
    uint32_t word24;
    std::span<const uint8_t> data;  // the block data: dataLength bytes inside the payload
};

// Results of ReadBlockHeader.
constexpr int32_t kBlockRead = 1;        // header read, data holds all its bytes
constexpr int32_t kBlockDataCut = 0;     // header read, its data runs beyond the payload
constexpr int32_t kBlockHeaderCut = -1;  // out is null, or the payload is shorter than a header

// Reads the header at the start of a block payload (a datagram's UDP payload). Every field is
// read only when the payload holds it; on kBlockDataCut the fields are filled and data is empty.
int32_t ReadBlockHeader(std::span<const uint8_t> payload, BlockHeader* out);

}  // namespace kr
