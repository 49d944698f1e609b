#include "playback/block_header.h"

namespace kr::playback {

bool ReadBlockHeader(ByteReader& reader, BlockHeader& header) {
    header.kind = reader.Le32();
    header.reserved1 = reader.Le32();
    header.blockNumber = reader.Le32();
    header.totalBlocks = reader.Le32();
    header.dataLength = reader.Le32();
    header.reserved2[0] = reader.Le32();
    header.reserved2[1] = reader.Le32();
    return reader.ok();
}

}  // namespace kr::playback
