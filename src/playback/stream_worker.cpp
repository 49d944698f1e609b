#include "playback/stream_worker.h"

#include <krmodule/krmodule.h>

#include "core/log.h"
#include "core/platform.h"
#include "intake/datagram.h"
#include "intake/request_table.h"
#include "intake/worker_loop.h"
#include "playback/frame_states.h"
#include "playback/held_services.h"
#include "playback/stream_delivery.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

int32_t StreamInit() {
    kr_Print(0x41, "Stream init.");
    if (FrameStatesInit() != 0) {
        kr_Print(0x41, "Malloc video or audio frame buffer faild!");
        return -6;
    }
    return 0;
}

int32_t StreamFinish() {
    StopRequestsByType(kTypeResource);
    StopRequestsByType(kTypeVideo);
    StopRequestsByType(kTypeAudio);
    ForgetHeldServices();
    FrameStatesFinish();
    return 0;
}

void ProcessStreamNode(SectionNode& node) {
    if (ValidateDatagram(&node) == KR_NO) {
        kr_Print(0x44, "Invalid stream retrieve.");
        return;
    }
    switch (node.type) {
        case kTypeResource:
            DeliverResourceBlock(&node);
            break;
        case kTypeVideo:
        case kTypeAudio:
            if (node.deliveryMode != 0) {
                DeliverRaw(&node);
            } else {
                FrameStatePair* states = FrameStatesFor(node.ownerId);
                DeliverFrames(&node, states != nullptr ? &states->video : nullptr,
                              states != nullptr ? &states->audio : nullptr);
            }
            break;
        default:
            break;
    }
}

uint32_t StreamWorker(void* /*argument*/) {
    kr_Print(0x41, "start the stream thread");
    ResetCommonFrameStates();
    WorkerReady();
    RunWorkerLoop(
        QueueId::Stream, kIdleMs, [](SectionNode& node) { ProcessStreamNode(node); },
        [] { kr_Print(0x45, "No retrieve in stream queue."); });
    kr_Print(0x41, "end the stream thread");
    return 0;
}

}  // namespace kr
