// Program start and stop: a program of the current live EPG is received through one or two
// shared IP filters whose datagrams go to the stream worker.
#include <krmodule/krmodule.h>

#include "ca/service_control.h"
#include "core/log.h"
#include "core/module_state.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "intake/request_table.h"
#include "intake/worker_loop.h"
#include "playback/frame_states.h"
#include "playback/held_services.h"
#include "playback/stream_request.h"

namespace kr {
namespace {

// A combined audio-video stream on the program's own port.
constexpr uint8_t kSortCombined = 7;
// Scrambled video and audio are sent on ports shifted by these.
constexpr uint16_t kScrambledVideoShift = 1000;
constexpr uint16_t kScrambledAudioShift = 10000;

uint16_t VideoPort(const StreamInfo& stream) {
    const uint16_t port = stream.media.sdp.videoPort;
    return stream.ca != 0 ? static_cast<uint16_t>(port + kScrambledVideoShift) : port;
}

uint16_t AudioPort(const StreamInfo& stream) {
    const uint16_t port = stream.media.sdp.audioPort;
    return stream.ca != 0 ? static_cast<uint16_t>(port + kScrambledAudioShift) : port;
}

// The filters of the program; -1 when the request table is full (requests made stay running).
int32_t StartProgramRequests(const StreamInfo& stream, uint32_t deliveryMode,
                             KrDataProcessFn dataProcess) {
    StreamRequest request;
    request.pid = stream.pid;
    request.ipAddress = stream.address;
    request.ownerId = stream.programId;
    request.scrambled = stream.ca;
    request.dataProcess = dataProcess;
    request.deliveryMode = deliveryMode;
    request.logCode = 0x43;
    request.type = kTypeVideo;

    if (stream.sort == kSortCombined) {
        kr_Print(0x42, "Set avs program filter");
        request.udpPort = stream.port;
        const StreamRequestResult result = StartStreamRequest(request);
        if (result == StreamRequestResult::NoEntry) return -1;
        if (result == StreamRequestResult::FilterRefused) {
            kr_Print(0x12, "Set avs program filter faild!");
        }
        return 0;
    }

    kr_Print(0x42, "Set program video filter");
    request.udpPort = VideoPort(stream);
    StreamRequestResult result = StartStreamRequest(request);
    if (result == StreamRequestResult::NoEntry) return -1;
    if (result == StreamRequestResult::FilterRefused) kr_Print(0x41, "Set video filter faild!");

    kr_Print(0x42, "Set program audio filter");
    request.type = kTypeAudio;
    request.udpPort = AudioPort(stream);
    result = StartStreamRequest(request);
    if (result == StreamRequestResult::NoEntry) return -1;
    if (result == StreamRequestResult::FilterRefused) kr_Print(0x11, "Set avs filter faild!");
    return 0;
}

}  // namespace
}  // namespace kr

using namespace kr;

int32_t kr_T2K_StartProgram(uint32_t programId, uint32_t deliveryMode,
                            KrDataProcessFn dataProcess) {
    if (!IsInitialised()) {
        kr_Print(0x42, "kr_T2K_StartProgram::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    if (programId == 0) {
        kr_Print(0x42, "Invalid program id : %d", static_cast<int>(programId));
        return KR_FAILED;
    }
    kr_Print(0x41, "Start program : %d", static_cast<int>(programId));

    // One start at a time: the check that the program is not running and the requests that
    // make it run are one step for other host threads, and the live EPG cannot change under it.
    ModuleLockGuard hold;
    if (IsOwnerActive(programId) == KR_YES) {
        kr_Print(0x42, "This program has already started!");
        return KR_FAILED;
    }
    StreamInfo* found = nullptr;
    if (kr_FindStream(programId, &found) == -1 || found == nullptr) {
        kr_Print(0x42, "Can't find this program's SDP information.");
        return KR_FAILED;
    }
    const StreamInfo stream = *found;
    const ServiceRequest service = StreamService(stream.pid, stream.address, stream.port);
    const bool held = stream.ca != 0 && HoldService(service);
    if (deliveryMode == 0) BindFrameStates(programId);

    const int32_t result = StartProgramRequests(stream, deliveryMode, dataProcess);

    if (IsOwnerActive(programId) != KR_YES) {
        UnbindFrameStates(programId);
        // A start that left nothing running, refused or with every filter refused, holds
        // nothing: not its descrambling either.
        if (held) ReleaseService(service);
    } else if (held) {
        RememberHeldService(programId, service);
    }
    return result;
}

int32_t kr_T2K_StopProgram(uint32_t programId) {
    if (!IsInitialised()) {
        kr_Print(0x42, "kr_T2K_StopProgram::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    kr_Print(0x41, "Stop program : %d", static_cast<int>(programId));
    StoppedRequests stopped;
    {
        ModuleLockGuard hold;
        StreamInfo* found = nullptr;
        if (kr_FindStream(programId, &found) == -1 || found == nullptr) {
            kr_Print(0x42, "Can't find this program's SDP information.");
            return KR_FAILED;
        }
        // Exactly the hold the start took, under the request of that time: a program that holds
        // none (stopped twice, never started) leaves the service to its other holders.
        ServiceRequest service{};
        if (TakeHeldService(programId, service)) ReleaseService(service);
        StopRequestsByOwner(programId, &stopped);
        UnbindFrameStates(programId);
    }
    // The host may free what its content function uses once this returns: no call of it for
    // this program runs now or follows. Waited for without the module lock, which the content
    // function may need.
    WaitForStoppedDeliveries(stopped);
    return KR_OK;
}
