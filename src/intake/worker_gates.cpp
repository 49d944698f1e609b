#include <array>

#include "intake/worker_loop.h"

namespace kr {
namespace {
std::array<DeliveryGate, kWorkQueueCount> gates;
}

DeliveryGate& WorkerGate(WorkQueue worker) {
    return gates[static_cast<std::size_t>(worker)];
}

bool WorkerHasWork(WorkQueue worker) {
    return QueueCount(QueueOfWorker(worker)) > 0;
}

void WaitForStoppedDeliveries(const StoppedRequests& stopped) {
    // A stop made from inside a host function that runs under a library lock cannot wait: the
    // running content call may itself be waiting for that lock (a content function that stops
    // its own program). The requests are gone, so no further call starts; the running one ends
    // on its own.
    if (HoldsLibraryLock()) return;
    for (int32_t i = 0; i < stopped.count; ++i) {
        for (DeliveryGate& gate : gates)
            gate.WaitWhileBusyWith(stopped.ids[i]);
    }
}

}  // namespace kr
