#include "playback/stream_request.h"

#include "core/log.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"

namespace kr {

StreamRequestResult StartStreamRequest(const StreamRequest& request) {
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0 || entry == nullptr) return StreamRequestResult::NoEntry;
    entry->type = request.type;
    QueueForType(request.type, &entry->queue);
    entry->viaSharedFilter = 1;
    // The PID is recorded, so that a stop by PID finds the request on its own PID only.
    entry->pid = request.pid;
    entry->scrambled = request.scrambled;
    entry->ownerId = request.ownerId;
    entry->ipAddress = request.ipAddress;
    entry->udpPort = request.udpPort;
    entry->dataProcess = request.dataProcess;
    entry->deliveryMode = request.deliveryMode;

    IpFilterRequest filter{};
    filter.pid = request.pid;
    filter.requestId = entry->requestId;
    BuildIpUdpFilter(filter.match, filter.mask, request.ipAddress, request.udpPort);
    kr_Print(request.logCode, "Request ID : %2d", static_cast<int>(entry->requestId));
    if (AttachConsumer(entry, filter) != 0) return StreamRequestResult::FilterRefused;
    return StreamRequestResult::Attached;
}

ServiceRequest StreamService(uint16_t pid, uint32_t ipAddress, uint16_t udpPort) {
    ServiceRequest service{};
    service.type = 1;
    service.pid = pid;
    service.ipAddress = ipAddress;
    service.udpPort = udpPort;
    return service;
}

}  // namespace kr
