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
    for (int32_t i = 0; i < stopped.count; ++i) {
        for (DeliveryGate& gate : gates)
            gate.WaitWhileBusyWith(stopped.ids[i]);
    }
}

}  // namespace kr
