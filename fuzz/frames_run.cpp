#include "frames_run.h"

#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "intake/datagram.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "playback/frame_reassembly.h"
#include "playback/stream_delivery.h"

namespace krfuzz {
namespace {

// Each buffer is allocated once at the module's size; a smaller one is the end of it, so that a
// write past any buffer's end is one past the allocation.
struct Buffers {
    std::unique_ptr<uint8_t[]> videoBlock{new uint8_t[kr::kVideoFrameSize]};
    std::unique_ptr<uint8_t[]> audioBlock{new uint8_t[kr::kAudioFrameSize]};
    uint8_t* video = nullptr;
    uint8_t* audio = nullptr;
    uint32_t videoSize = 0, audioSize = 0;
};

Buffers buffers;
bool framesInside = true;
std::size_t framesDelivered = 0;
uint64_t frameSink = 0;

uint32_t SizeFor(uint8_t nibble, uint32_t most) {
    const uint32_t size = 64u << std::min<uint8_t>(nibble, 12);
    return std::min(size, most);
}

int32_t OnFrame(const void* record) {
    const auto& d = *static_cast<const StreamDelivery*>(record);
    ++framesDelivered;
    const bool video = d.kind == KR_FRAME_VIDEO;
    const uint8_t* frame = video ? d.videoFrame : d.audioFrame;
    const uint32_t length = video ? d.videoLength : d.audioLength;
    const uint8_t* buffer = video ? buffers.video : buffers.audio;
    const uint32_t capacity = video ? buffers.videoSize : buffers.audioSize;
    const bool fits = (video || d.kind == KR_FRAME_AUDIO) && frame == buffer && length > 0 &&
                      length < capacity;
    framesInside = framesInside && fits;
    for (uint32_t i = 0; fits && i < length; ++i)
        frameSink += frame[i];
    return 0;
}

}  // namespace

bool RunFramesInput(const uint8_t* data, std::size_t size, std::size_t* frames) {
    framesInside = true;
    framesDelivered = 0;
    kr::ByteReader reader(data, size);
    const uint8_t sizes = reader.U8();
    buffers.videoSize = SizeFor(sizes & 0x0F, kr::kVideoFrameSize);
    buffers.audioSize = SizeFor(static_cast<uint8_t>(sizes >> 4), kr::kAudioFrameSize);
    buffers.video = buffers.videoBlock.get() + (kr::kVideoFrameSize - buffers.videoSize);
    buffers.audio = buffers.audioBlock.get() + (kr::kAudioFrameSize - buffers.audioSize);
    kr::ReassemblyState video;
    kr::ReassemblyState audio;
    kr::ResetReassembly(video, buffers.video, buffers.videoSize);
    kr::ResetReassembly(audio, buffers.audio, buffers.audioSize);

    static kr::SectionNode node;
    while (reader.ok() && reader.remaining() >= 3) {
        const uint8_t selector = reader.U8();
        const uint16_t wanted = reader.Be16();
        const std::size_t room = kr::kNodeDataSize - kr::kUdpPayloadOffset;
        const std::size_t length = std::min<std::size_t>({wanted, reader.remaining(), room});
        const auto payload = reader.Bytes(length);

        node = kr::SectionNode{};
        node.type = (selector & 1) != 0 ? kr::kTypeAudio : kr::kTypeVideo;
        node.ownerId = 1;
        node.dataProcess = OnFrame;
        node.length = static_cast<uint16_t>(kr::kUdpPayloadOffset + length);
        kr::WriteBe16(node.data, kr::kUdpHeaderOffset + 4, static_cast<uint16_t>(8 + length));
        if (length > 0) std::memcpy(node.data + kr::kUdpPayloadOffset, payload.data(), length);
        (void)kr::DeliverFrames(&node, &video, &audio);
        framesInside =
            framesInside && video.bytes < buffers.videoSize && audio.bytes < buffers.audioSize;
    }
    if (frames != nullptr) *frames = framesDelivered;
    return framesInside;
}

}  // namespace krfuzz
