#include "playback/stream_delivery.h"

#include <krmodule/krmodule.h>

#include <span>

#include "core/byte_reader.h"
#include "core/counters.h"
#include "core/log.h"
#include "intake/block_header.h"
#include "intake/datagram.h"
#include "intake/request_table.h"

namespace kr {
namespace {

constexpr uint32_t kSectionCrcSize = 4;
// Bytes between the CSRC list and the media.
constexpr uint32_t kRtpTrailerSize = 6;

bool IsFrameStart(std::span<const uint8_t> frame) {
    if (frame.size() < 4 || frame[0] != 0 || frame[1] != 0 || frame[2] != 1) return false;
    return frame[3] == 0xB6 || frame[3] == 0xB3 || frame[3] == 0xB0;
}

void CountOutcome(const PacketOutcome& outcome) {
    if (outcome.dropped == FrameDrop::LostPacket) Tally(Count::FramesLostPacket);
    if (outcome.dropped == FrameDrop::Unfinished) Tally(Count::FramesUnfinished);
    if (outcome.tooLarge) Tally(Count::FramesTooLarge);
    if (outcome.packetUnused) Tally(Count::PacketsOfDroppedFrames);
}

}  // namespace

int32_t DeliverResourceBlock(SectionNode* node) {
    kr_Print(0x44, "Parse resource retrieve.");
    if (node == nullptr) return -1;
    std::span<const uint8_t> payload;
    if (!UdpPayload(*node, payload)) {
        Tally(Count::ResourceBlocksInvalid);
        kr_Print(0x43, "Resource block length error: %d", static_cast<int>(node->length));
        return -1;
    }
    BlockHeader header{};
    const int32_t read = ReadBlockHeader(payload, &header);
    if (read != kBlockHeaderCut && header.kind == kBlockKindNotMulticast) {
        Tally(Count::BlocksNotMulticast);
        kr_Print(0x43, "Not the multicast data.");
        return -1;
    }
    // The block's data must lie inside the datagram.
    if (read != kBlockRead) {
        Tally(Count::ResourceBlocksInvalid);
        kr_Print(0x43, "Resource block length error: %d", static_cast<int>(payload.size()));
        return -1;
    }
    const std::span<const uint8_t> data = header.data;
    ResourceBlock block{};
    block.resourceId = node->ownerId;
    block.totalBlocks = header.totalBlocks;
    block.blockNumber = header.blockNumber;
    block.length = header.dataLength;
    block.data = data.data();
    if (node->dataProcess != nullptr) node->dataProcess(&block);
    return 0;
}

int32_t DeliverRaw(SectionNode* node) {
    kr_Print(0x44, "Parse stream retrieve.");
    if (node == nullptr) return -1;
    if (node->dataProcess == nullptr) {
        kr_Print(0x42, "No data process function!");
        return -1;
    }
    uint32_t offset = 0;
    switch (node->deliveryMode) {
        case 1:
        case 2:
        case 5:
            offset = kUdpPayloadOffset;
            break;
        case 3:
            offset = kUdpHeaderOffset;
            break;
        case 4:
            offset = kIpHeaderOffset;
            break;
        default:
            return -1;
    }
    // From the offset to the section's CRC: a node too short for that gives nothing.
    const std::span<const uint8_t> held = HeldBytes(*node);
    if (held.size() < offset + kSectionCrcSize) {
        Tally(Count::StreamPacketsShort);
        kr_Print(0x43, "Stream retrieve length error: %d", static_cast<int>(held.size()));
        return -1;
    }
    ByteReader reader(held);
    reader.Seek(offset);
    const std::span<const uint8_t> part = reader.Bytes(held.size() - offset - kSectionCrcSize);
    if (!reader.ok()) return -1;

    StreamDelivery delivery{};
    delivery.programId = node->ownerId;
    delivery.deliveryMode = node->deliveryMode;
    delivery.length = static_cast<uint32_t>(part.size());
    delivery.data = part.data();
    node->dataProcess(&delivery);
    return 0;
}

int32_t DeliverFrames(SectionNode* node, ReassemblyState* video, ReassemblyState* audio) {
    if (node == nullptr || video == nullptr || audio == nullptr) return -1;
    if (node->dataProcess == nullptr) {
        kr_Print(0x42, "No data process function!");
        return -1;
    }
    const bool isVideo = node->type != kTypeAudio;

    std::span<const uint8_t> payload;
    if (!UdpPayload(*node, payload)) {
        Tally(Count::RtpRefused);
        kr_Print(0x43, "Stream retrieve length error: %d", static_cast<int>(node->length));
        return -1;
    }
    ByteReader reader(payload);
    const uint8_t first = reader.U8();
    const uint8_t second = reader.U8();
    RtpPacket packet;
    packet.seq = reader.Be16();
    packet.timestamp = reader.Be32();
    reader.Skip(4);  // SSRC
    if (!reader.ok()) {
        Tally(Count::RtpRefused);
        kr_Print(0x43, "Stream retrieve length error: %d", static_cast<int>(node->length));
        return -1;
    }
    const uint8_t version = first >> 6;
    const bool padding = (first & 0x20) != 0;
    const bool extension = (first & 0x10) != 0;
    const uint32_t csrcCount = first & 0x0F;
    const uint8_t payloadType = second & 0x7F;
    if (version != 2 || padding || extension || (payloadType >= 72 && payloadType <= 76)) {
        Tally(Count::RtpRefused);
        return -1;
    }
    packet.marker = static_cast<uint8_t>(second >> 7);
    // The media follow the CSRC list and 6 further bytes; a packet too short for them is refused.
    reader.Skip(4 * csrcCount + kRtpTrailerSize);
    packet.media = reader.Bytes(reader.remaining());
    if (!reader.ok()) {
        Tally(Count::RtpRefused);
        kr_Print(0x43, "Stream retrieve length error: %d", static_cast<int>(node->length));
        return -1;
    }

    ReassemblyState& state = isVideo ? *video : *audio;
    CountOutcome(AddPacket(state, packet));
    if (state.bytes == 0 || packet.marker == 0) return 0;

    const std::span<const uint8_t> frame = GatheredFrame(state);
    StreamDelivery delivery{};
    // Frame deliveries carry the program id too, so a host with one function for several
    // programs can tell their frames apart.
    delivery.programId = node->ownerId;
    delivery.deliveryMode = node->deliveryMode;
    if (isVideo) {
        if (!IsFrameStart(frame)) {
            Tally(Count::FramesNotWhole);
            kr_Print(0x42, "not a whole video frame!!!");
            return 0;
        }
        delivery.kind = KR_FRAME_VIDEO;
        delivery.videoTimestamp = state.lastTimestamp;
        delivery.videoLength = static_cast<uint32_t>(frame.size());
        delivery.videoFrame = frame.data();
    } else {
        delivery.kind = KR_FRAME_AUDIO;
        delivery.audioTimestamp = state.lastTimestamp;
        delivery.audioLength = static_cast<uint32_t>(frame.size());
        delivery.audioFrame = frame.data();
    }
    Tally(Count::FramesDelivered);
    node->dataProcess(&delivery);
    return 0;
}

}  // namespace kr
