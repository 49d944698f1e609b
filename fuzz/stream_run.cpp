#include "stream_run.h"

#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/checksum.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "playback/frame_reassembly.h"
#include "playback/frame_states.h"
#include "playback/stream_worker.h"

namespace krfuzz {
namespace {

constexpr uint32_t kOwnPair = 7;
constexpr uint32_t kCommonPair = 8;

kr::SectionNode node;
bool inside = true;
std::size_t delivered = 0;
uint64_t sink = 0;

bool Within(const uint8_t* p, std::size_t n, const uint8_t* begin, std::size_t size) {
    if (n == 0) return true;
    return p != nullptr && p >= begin && n <= size && p - begin <= static_cast<long>(size - n);
}

void Touch(const uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        sink += p[i];
}

int32_t OnStream(const void* record) {
    const auto& d = *static_cast<const StreamDelivery*>(record);
    ++delivered;
    if (d.deliveryMode != 0) {
        inside = inside && Within(d.data, d.length, node.data, node.length);
        if (Within(d.data, d.length, node.data, node.length)) Touch(d.data, d.length);
        return 0;
    }
    // Frames lie in a frame buffer: bounded by its size, and readable to their end.
    const bool video = d.kind == KR_FRAME_VIDEO;
    const uint8_t* frame = video ? d.videoFrame : d.audioFrame;
    const uint32_t length = video ? d.videoLength : d.audioLength;
    const uint32_t capacity = video ? kr::kVideoFrameSize : kr::kAudioFrameSize;
    const bool fits = (d.kind == KR_FRAME_VIDEO || d.kind == KR_FRAME_AUDIO) && length > 0 &&
                      length < capacity && frame != nullptr;
    inside = inside && fits;
    if (fits) Touch(frame, length);
    return 0;
}

int32_t OnBlock(const void* record) {
    const auto& b = *static_cast<const ResourceBlock*>(record);
    ++delivered;
    inside = inside && Within(b.data, b.length, node.data, node.length);
    if (Within(b.data, b.length, node.data, node.length)) Touch(b.data, b.length);
    return 0;
}

void FixChecksums() {
    if (node.length < 40) return;
    uint8_t* ip = node.data + 12;
    ip[10] = 0;
    ip[11] = 0;
    const uint16_t sum = kr::InternetChecksum(ip, 20);
    kr::WriteBe16(ip, 10, static_cast<uint16_t>(~sum));
    if (kr::IpHeaderValid(ip) == 0) kr::WriteBe16(ip, 10, sum);
    node.data[38] = 0;  // no UDP checksum
    node.data[39] = 0;
}

}  // namespace

bool RunStreamInput(const uint8_t* data, std::size_t size, std::size_t* deliveries) {
    // Each input starts with fresh buffers and states, and leaves nothing allocated.
    if (kr::StreamInit() != 0) return false;
    inside = true;
    delivered = 0;
    kr::BindFrameStates(kOwnPair);

    static constexpr uint8_t kTypes[] = {kr::kTypeResource, kr::kTypeVideo, kr::kTypeAudio,
                                         kr::kTypeVideo};
    kr::ByteReader reader(data, size);
    while (reader.remaining() >= 3) {
        const uint8_t selector = reader.U8();
        const uint16_t wanted = reader.Be16();
        const std::size_t length = std::min<std::size_t>(wanted, reader.remaining());
        const auto bytes = reader.Bytes(length);
        const std::size_t held = std::min<std::size_t>(length, kr::kNodeDataSize);

        node = kr::SectionNode{};
        node.type = kTypes[selector & 3];
        node.deliveryMode = (selector >> 2) & 7;
        node.ownerId = (selector & 0x40) != 0 ? kOwnPair : kCommonPair;
        node.dataProcess = node.type == kr::kTypeResource ? OnBlock : OnStream;
        node.length = static_cast<uint16_t>(held);
        if (held > 0) std::memcpy(node.data, bytes.data(), held);
        if ((selector & 0x20) != 0) FixChecksums();
        kr::ProcessStreamNode(node);
    }
    kr::StreamFinish();
    if (deliveries != nullptr) *deliveries = delivered;
    return inside;
}

}  // namespace krfuzz
