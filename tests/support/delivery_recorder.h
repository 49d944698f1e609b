// The content functions a test hands to the program and download start calls: they copy every
// record the stream worker delivers, thread-safely, for the test to inspect and wait for.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "support/fake_host.h"

namespace krtest {

struct RecordedStream {
    uint32_t programId = 0;
    uint16_t kind = 0;
    uint32_t deliveryMode = 0;
    uint32_t timestamp = 0;      // frames: the audio or video timestamp
    std::vector<uint8_t> bytes;  // raw part, or the frame
};

struct RecordedBlock {
    uint32_t resourceId = 0;
    uint32_t totalBlocks = 0;
    uint32_t blockNumber = 0;
    std::vector<uint8_t> bytes;
};

// One recorder at a time is current: the one most recently constructed.
class DeliveryRecorder {
  public:
    DeliveryRecorder();
    ~DeliveryRecorder();
    DeliveryRecorder(const DeliveryRecorder&) = delete;
    DeliveryRecorder& operator=(const DeliveryRecorder&) = delete;

    // The content functions.
    static int32_t OnStream(const void* record);
    static int32_t OnBlock(const void* record);

    std::vector<RecordedStream> Streams() const { return Copy(streams_); }
    std::vector<RecordedBlock> Blocks() const { return Copy(blocks_); }
    size_t StreamCount() const { return Streams().size(); }
    size_t BlockCount() const { return Blocks().size(); }
    void Clear();

    // Runs inside every delivery before it is recorded (e.g. to hold the worker).
    void SetGate(std::function<void()> gate);

  private:
    template <typename T>
    T Copy(const T& member) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return member;
    }
    // Passes the gate, then appends make(the record) to the list of the current recorder.
    template <typename Record, typename List, typename Make>
    static int32_t Deliver(const void* record, List DeliveryRecorder::*list, Make make);

    mutable std::mutex mutex_;
    std::vector<RecordedStream> streams_;
    std::vector<RecordedBlock> blocks_;
    std::function<void()> gate_;
    DeliveryRecorder* previous_ = nullptr;
};

}  // namespace krtest
