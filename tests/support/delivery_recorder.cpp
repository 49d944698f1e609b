#include "support/delivery_recorder.h"

#include <atomic>

namespace krtest {
namespace {
std::atomic<DeliveryRecorder*> current{nullptr};
}

DeliveryRecorder::DeliveryRecorder() : previous_(current.exchange(this)) {}

DeliveryRecorder::~DeliveryRecorder() {
    current.store(previous_);
}

int32_t DeliveryRecorder::OnStream(const void* record) {
    DeliveryRecorder* self = current.load();
    if (self == nullptr || record == nullptr) return 0;
    if (auto gate = self->Gate()) gate();
    const auto& d = *static_cast<const StreamDelivery*>(record);
    RecordedStream r;
    r.programId = d.programId;
    r.kind = d.kind;
    r.deliveryMode = d.deliveryMode;
    if (d.deliveryMode != 0) {
        r.bytes.assign(d.data, d.data + d.length);
    } else if (d.kind == KR_FRAME_VIDEO) {
        r.timestamp = d.videoTimestamp;
        r.bytes.assign(d.videoFrame, d.videoFrame + d.videoLength);
    } else {
        r.timestamp = d.audioTimestamp;
        r.bytes.assign(d.audioFrame, d.audioFrame + d.audioLength);
    }
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->streams_.push_back(std::move(r));
    return 0;
}

int32_t DeliveryRecorder::OnBlock(const void* record) {
    DeliveryRecorder* self = current.load();
    if (self == nullptr || record == nullptr) return 0;
    if (auto gate = self->Gate()) gate();
    const auto& b = *static_cast<const ResourceBlock*>(record);
    RecordedBlock r;
    r.resourceId = b.resourceId;
    r.totalBlocks = b.totalBlocks;
    r.blockNumber = b.blockNumber;
    r.bytes.assign(b.data, b.data + b.length);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->blocks_.push_back(std::move(r));
    return 0;
}

std::vector<RecordedStream> DeliveryRecorder::Streams() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return streams_;
}

std::vector<RecordedBlock> DeliveryRecorder::Blocks() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return blocks_;
}

size_t DeliveryRecorder::StreamCount() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return streams_.size();
}

size_t DeliveryRecorder::BlockCount() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return blocks_.size();
}

void DeliveryRecorder::Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    streams_.clear();
    blocks_.clear();
}

void DeliveryRecorder::SetGate(std::function<void()> gate) {
    std::lock_guard<std::mutex> hold(mutex_);
    gate_ = std::move(gate);
}

std::function<void()> DeliveryRecorder::Gate() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return gate_;
}

}  // namespace krtest
