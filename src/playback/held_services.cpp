#include "playback/held_services.h"

#include <array>

#include "core/platform.h"
#include "intake/request_table.h"

namespace kr {
namespace {

struct Remembered {
    bool used = false;
    uint32_t ownerId = 0;
    ServiceRequest service{};
};

// Each remembering owner runs at least one request entry, so there are never more than the
// table's size.
std::array<Remembered, kRequestCount> remembered;

}  // namespace

void RememberHeldService(uint32_t ownerId, const ServiceRequest& service) {
    ModuleLockGuard hold;
    Remembered* slot = nullptr;
    for (Remembered& r : remembered) {
        if (r.used && r.ownerId == ownerId) {
            slot = &r;
            break;
        }
        if (slot == nullptr && !r.used) slot = &r;
    }
    if (slot == nullptr) return;
    slot->used = true;
    slot->ownerId = ownerId;
    slot->service = service;
}

bool TakeHeldService(uint32_t ownerId, ServiceRequest& service) {
    ModuleLockGuard hold;
    for (Remembered& r : remembered) {
        if (r.used && r.ownerId == ownerId) {
            service = r.service;
            r = Remembered{};
            return true;
        }
    }
    return false;
}

void ForgetHeldServices() {
    ModuleLockGuard hold;
    remembered.fill(Remembered{});
}

}  // namespace kr
