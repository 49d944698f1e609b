#include "playback/frame_states.h"

#include <array>

#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {

constexpr uint32_t kPairBytes = kVideoFrameSize + kAudioFrameSize;

// Binding fields are changed by the host's start and stop calls and read by the worker, all
// under the short frame-state lock (taken by the worker for every section, so never the module
// lock, which a host call or a parse may hold for long). The states themselves belong to the worker
// alone: a fresh binding only moves `generation`, and the worker clears the pair when it sees a
// generation it has not met, so a start never writes into a frame the worker may be filling.
struct PoolSlot {
    uint32_t programId = 0;  // 0 = free
    uint32_t generation = 0;
    uint32_t seenGeneration = 0;  // worker only
    FrameStatePair pair;
    uint8_t* buffers = nullptr;
};

uint8_t* commonVideo = nullptr;
uint8_t* commonAudio = nullptr;
uint8_t* poolBuffers = nullptr;
FrameStatePair common;
std::array<PoolSlot, kFrameStatePairs> pool;
ShortLock frameLock;

void ResetPair(FrameStatePair& pair, uint8_t* video, uint8_t* audio) {
    ResetReassembly(pair.video, video, kVideoFrameSize);
    ResetReassembly(pair.audio, audio, kAudioFrameSize);
}

void ReleaseBuffers() {
    FreeMem(commonVideo);
    FreeMem(commonAudio);
    FreeMem(poolBuffers);
    commonVideo = commonAudio = poolBuffers = nullptr;
    ResetPair(common, nullptr, nullptr);
    for (PoolSlot& slot : pool)
        slot = PoolSlot{};
}

}  // namespace

int32_t FrameStatesInit() {
    ShortLockGuard hold(frameLock);
    ReleaseBuffers();
    commonVideo = static_cast<uint8_t*>(AllocMem(kVideoFrameSize));
    commonAudio = static_cast<uint8_t*>(AllocMem(kAudioFrameSize));
    poolBuffers = static_cast<uint8_t*>(AllocMem(std::size_t{kPairBytes} * kFrameStatePairs));
    if (commonVideo == nullptr || commonAudio == nullptr || poolBuffers == nullptr) {
        ReleaseBuffers();
        return -6;
    }
    ResetPair(common, commonVideo, commonAudio);
    for (std::size_t i = 0; i < pool.size(); ++i) {
        pool[i].buffers = poolBuffers + i * kPairBytes;
        ResetPair(pool[i].pair, pool[i].buffers, pool[i].buffers + kVideoFrameSize);
    }
    return 0;
}

void FrameStatesFinish() {
    ShortLockGuard hold(frameLock);
    ReleaseBuffers();
}

void ResetCommonFrameStates() {
    ShortLockGuard hold(frameLock);
    ResetPair(common, commonVideo, commonAudio);
}

void BindFrameStates(uint32_t programId) {
    {
        ShortLockGuard hold(frameLock);
        if (poolBuffers == nullptr || programId == 0) return;
        PoolSlot* chosen = nullptr;
        for (PoolSlot& slot : pool) {
            if (slot.programId == programId) {
                chosen = &slot;
                break;
            }
            if (chosen == nullptr && slot.programId == 0) chosen = &slot;
        }
        if (chosen != nullptr) {
            chosen->programId = programId;
            ++chosen->generation;
            return;
        }
    }
    // Never a reason to refuse a start: the program shares the common pair.
    kr_Print(0x42, "No free frame buffer for program %d, it shares the common one.",
             static_cast<int>(programId));
}

void UnbindFrameStates(uint32_t programId) {
    ShortLockGuard hold(frameLock);
    if (programId == 0) return;
    for (PoolSlot& slot : pool) {
        if (slot.programId == programId) slot.programId = 0;
    }
}

FrameStatePair* FrameStatesFor(uint32_t programId) {
    ShortLockGuard hold(frameLock);
    if (commonVideo == nullptr) return nullptr;
    if (programId != 0) {
        for (PoolSlot& slot : pool) {
            if (slot.programId != programId) continue;
            if (slot.seenGeneration != slot.generation) {
                slot.seenGeneration = slot.generation;
                ResetPair(slot.pair, slot.buffers, slot.buffers + kVideoFrameSize);
            }
            return &slot.pair;
        }
    }
    return &common;
}

int32_t BoundFrameStates() {
    ShortLockGuard hold(frameLock);
    int32_t bound = 0;
    for (const PoolSlot& slot : pool)
        bound += slot.programId != 0 ? 1 : 0;
    return bound;
}

}  // namespace kr
