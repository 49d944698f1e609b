#include "playback/download_services.h"

#include <array>

#include "core/platform.h"
#include "intake/request_table.h"

namespace kr {
namespace {

struct Remembered {
    bool used = false;
    uint32_t resourceId = 0;
    ServiceRequest service{};
};

// Each running download holds a request entry, so there are never more than the table's size.
std::array<Remembered, kRequestCount> remembered;

}  // namespace

void RememberDownloadService(uint32_t resourceId, const ServiceRequest& service) {
    ModuleLockGuard hold;
    Remembered* slot = nullptr;
    for (Remembered& r : remembered) {
        if (r.used && r.resourceId == resourceId) {
            slot = &r;
            break;
        }
        if (slot == nullptr && !r.used) slot = &r;
    }
    if (slot == nullptr) return;
    slot->used = true;
    slot->resourceId = resourceId;
    slot->service = service;
}

bool TakeDownloadService(uint32_t resourceId, ServiceRequest& service) {
    ModuleLockGuard hold;
    for (Remembered& r : remembered) {
        if (r.used && r.resourceId == resourceId) {
            service = r.service;
            r = Remembered{};
            return true;
        }
    }
    return false;
}

void ForgetDownloadServices() {
    ModuleLockGuard hold;
    remembered.fill(Remembered{});
}

}  // namespace kr
