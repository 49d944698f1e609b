#include "common/block_payload.h"

#include <algorithm>

#include "common/byte_writer.h"

namespace krtools {

std::size_t BlockCount(std::size_t fileSize) {
    return fileSize == 0 ? 1 : (fileSize + kBlockDataSize - 1) / kBlockDataSize;
}

std::vector<std::vector<uint8_t>> BuildBlockPayloads(const std::vector<uint8_t>& file,
                                                     uint32_t kind) {
    const std::size_t total = BlockCount(file.size());
    std::vector<std::vector<uint8_t>> blocks;
    blocks.reserve(total);
    for (std::size_t index = 0; index < total; ++index) {
        const std::size_t begin = index * kBlockDataSize;
        const std::size_t length = std::min(kBlockDataSize, file.size() - begin);
        std::vector<uint8_t> payload;
        payload.reserve(kBlockHeaderSize + length);
        AppendLe32(payload, kind);
        AppendLe32(payload, 0);
        AppendLe32(payload, static_cast<uint32_t>(index + 1));
        AppendLe32(payload, static_cast<uint32_t>(total));
        AppendLe32(payload, static_cast<uint32_t>(length));
        AppendLe32(payload, 0);
        AppendLe32(payload, 0);
        const auto from = file.begin() + static_cast<std::ptrdiff_t>(begin);
        payload.insert(payload.end(), from, from + static_cast<std::ptrdiff_t>(length));
        blocks.push_back(std::move(payload));
    }
    return blocks;
}

bool ReadBlockHeader(const uint8_t* payload, std::size_t size, BlockHeader& header) {
    if (payload == nullptr || size < kBlockHeaderSize) return false;
    header.kind = ReadLe32(payload);
    header.blockNumber = ReadLe32(payload + 8);
    header.totalBlocks = ReadLe32(payload + 12);
    header.dataLength = ReadLe32(payload + 16);
    return header.dataLength <= size - kBlockHeaderSize;
}

}  // namespace krtools
