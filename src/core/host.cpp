#include "core/host.h"

namespace kr {
namespace {
HostCallbacks hostCallbacks{};
}

const HostCallbacks& Host() {
    return hostCallbacks;
}

void SetHostCallbacks(const HostCallbacks& callbacks) {
    hostCallbacks = callbacks;
}

void ClearHostCallbacks() {
    hostCallbacks = HostCallbacks{};
}

}  // namespace kr
