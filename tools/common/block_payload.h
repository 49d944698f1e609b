// Files cut into numbered blocks, the way the EPG container and resource files are carouselled:
// a little-endian block header (kind, block number from 1, total blocks, data length) and up to
// 1400 data bytes per datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krtools {

constexpr std::size_t kBlockDataSize = 1400;
constexpr std::size_t kBlockHeaderSize = 28;
// Receivers keep at most this many blocks of one file.
constexpr std::size_t kMaxBlocks = 1024;

// Kind 2 marks data that is not multicast; receivers ignore it.
constexpr uint32_t kBlockKindMulticast = 1;

// The UDP payloads of every block of the file, in block order. An empty file is one block
// without data, so that a receiver still sees the file complete.
std::vector<std::vector<uint8_t>> BuildBlockPayloads(const std::vector<uint8_t>& file,
                                                     uint32_t kind = kBlockKindMulticast);

// Number of blocks BuildBlockPayloads makes of a file of this size.
std::size_t BlockCount(std::size_t fileSize);

struct BlockHeader {
    uint32_t kind = 0;
    uint32_t blockNumber = 0;
    uint32_t totalBlocks = 0;
    uint32_t dataLength = 0;
};

// Reads the header of a block payload; false when the payload is shorter than the header or
// its data length overruns the payload.
bool ReadBlockHeader(const uint8_t* payload, std::size_t size, BlockHeader& header);

}  // namespace krtools
