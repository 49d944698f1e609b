#include "support/delivery_recorder.h"

#include <atomic>

namespace krtest {
namespace {
std::atomic<DeliveryRecorder*> currentRecorder{nullptr};
}

DeliveryRecorder::DeliveryRecorder() : previous_(currentRecorder.exchange(this)) {}

DeliveryRecorder::~DeliveryRecorder() {
    currentRecorder.store(previous_);
}

template <typename Record, typename List, typename Make>
int32_t DeliveryRecorder::Deliver(const void* record, List DeliveryRecorder::*list, Make make) {
    DeliveryRecorder* self = currentRecorder.load();
    if (self == nullptr || record == nullptr) return 0;
    if (const auto gate = self->Copy(self->gate_)) gate();
    auto entry = make(*static_cast<const Record*>(record));
    std::lock_guard<std::mutex> hold(self->mutex_);
    (self->*list).push_back(std::move(entry));
    return 0;
}

int32_t DeliveryRecorder::OnStream(const void* record) {
    return Deliver<StreamDelivery>(record, &DeliveryRecorder::streams_, [](const auto& d) {
        RecordedStream r{d.programId, d.kind, d.deliveryMode, 0, {}};
        if (d.deliveryMode != 0) {
            r.bytes.assign(d.data, d.data + d.length);
        } else if (d.kind == KR_FRAME_VIDEO) {
            r.timestamp = d.videoTimestamp;
            r.bytes.assign(d.videoFrame, d.videoFrame + d.videoLength);
        } else {
            r.timestamp = d.audioTimestamp;
            r.bytes.assign(d.audioFrame, d.audioFrame + d.audioLength);
        }
        return r;
    });
}

int32_t DeliveryRecorder::OnBlock(const void* record) {
    return Deliver<ResourceBlock>(record, &DeliveryRecorder::blocks_, [](const auto& b) {
        return RecordedBlock{
            b.resourceId, b.totalBlocks, b.blockNumber, {b.data, b.data + b.length}};
    });
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

}  // namespace krtest
