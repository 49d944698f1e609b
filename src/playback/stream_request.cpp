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
    if (AttachIpFilter(&filter) != 0) {
        entry->state = kRequestFree;
        return StreamRequestResult::FilterRefused;
    }
    entry->state = kRequestActive;
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
