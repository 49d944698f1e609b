// Resource download: every block of a resource of the download EPG, repeats included, goes to
// the host until the download is stopped.
#include <krmodule/krmodule.h>

#include "ca/service_control.h"
#include "core/log.h"
#include "core/module_state.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "intake/request_table.h"
#include "intake/worker_loop.h"
#include "playback/held_services.h"
#include "playback/stream_request.h"

using namespace kr;

int32_t kr_T2K_StartDownload(uint32_t resourceId, KrDataProcessFn dataProcess) {
    if (!IsInitialised()) return KR_NOTHING;
    kr_Print(0x41, "Start download resource : %d", static_cast<int>(resourceId));

    ModuleLockGuard hold;
    if (IsOwnerActive(resourceId) == KR_YES) {
        kr_Print(0x42, "This resource has already started download!");
        return KR_FAILED;
    }
    ResourceInfo* found = nullptr;
    if (kr_FindResource(resourceId, &found) == -1 || found == nullptr) {
        kr_Print(0x12, "Can't find this resource's download information.");
        return KR_FAILED;
    }
    const ResourceInfo resource = *found;
    const ServiceRequest service = StreamService(resource.pid, resource.address, resource.port);
    const bool held = resource.ca != 0 && HoldService(service);

    kr_Print(0x42, "Set download file filter");
    StreamRequest request;
    request.type = kTypeResource;
    request.pid = resource.pid;
    request.ipAddress = resource.address;
    request.udpPort = resource.port;
    request.ownerId = resourceId;
    request.scrambled = resource.ca;
    request.dataProcess = dataProcess;
    request.logCode = 0x13;
    const StreamRequestResult result = StartStreamRequest(request);
    if (result == StreamRequestResult::Attached) {
        if (held) RememberHeldService(resourceId, service);
        return KR_OK;
    }
    if (result == StreamRequestResult::FilterRefused) kr_Print(0x41, "Set file filter faild!");
    // A refused start leaves nothing running: not its descrambling either.
    if (held) ReleaseService(service);
    return KR_FAILED;
}

int32_t kr_T2K_StopDownload(uint32_t resourceId) {
    if (!IsInitialised()) return KR_NOTHING;
    kr_Print(0x41, "Stop resource : %d", static_cast<int>(resourceId));
    StoppedRequests stopped;
    {
        ModuleLockGuard hold;
        StopRequestsByOwner(resourceId, &stopped);
        // The service its start started stops with it, as a program's does.
        ServiceRequest service{};
        if (TakeHeldService(resourceId, service)) ReleaseService(service);
    }
    // No call of the content function for this resource runs now or follows.
    WaitForStoppedDeliveries(stopped);
    return KR_OK;
}
