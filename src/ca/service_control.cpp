#include "ca/service_control.h"

#include "core/log.h"

namespace kr {
namespace {

void LogRequests(const char* what, uint8_t count, const ServiceRequest* list) {
    for (uint8_t i = 0; i < count; ++i) {
        kr_Print(0x74, "%s service: pid:%2.2X, ip: %4.4X, port: %d.", what, list[i].pid,
                 static_cast<unsigned>(list[i].ipAddress), list[i].udpPort);
    }
}

}  // namespace
}  // namespace kr

// These accept every request and await the started-service table and the service map, which
// decide what is descrambled; until then nothing reaches the descrambler.
int32_t krca_T2CA_StartServices(uint8_t count, const ServiceRequest* list) {
    if (count == 0) return 0;
    if (list == nullptr) return -2;
    kr::LogRequests("Start", count, list);
    return 0;
}

int32_t krca_T2CA_StopServices(uint8_t count, const ServiceRequest* list) {
    if (count == 0) return 0;
    if (list == nullptr) return -2;
    kr::LogRequests("Stop", count, list);
    return 0;
}
