#include "intake/block_header.h"

#include "core/byte_reader.h"

namespace kr {

int32_t ReadBlockHeader(std::span<const uint8_t> payload, BlockHeader* out) {
    if (out == nullptr) return kBlockHeaderCut;
    *out = BlockHeader{};
    ByteReader reader(payload);
    BlockHeader header{};
    header.kind = reader.Le32();
    header.word4 = reader.Le32();
    header.blockNumber = reader.Le32();
    header.totalBlocks = reader.Le32();
    header.dataLength = reader.Le32();
    header.word20 = reader.Le32();
    header.word24 = reader.Le32();
    if (!reader.ok()) return kBlockHeaderCut;
    header.data = reader.Bytes(header.dataLength);
    *out = header;
    return reader.ok() ? kBlockRead : kBlockDataCut;
}

}  // namespace kr
