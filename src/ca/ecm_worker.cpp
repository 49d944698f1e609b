#include "ca/ecm_worker.h"

#include <krmodule/krmodule.h>

#include <atomic>

#include "ca/ca_core.h"
#include "ca/ca_state.h"
#include "ca/card_info.h"
#include "ca/control_words.h"
#include "ca/host_messages.h"
#include "ca/service_control.h"
#include "ca/service_map.h"
#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/counters.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/catch_up.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {

constexpr uint32_t kEcmIdleMs = 100;
constexpr uint32_t kNoCardPauseMs = 100;
constexpr uint32_t kRetryPauseMs = 50;

// The worker pauses after an ECM it could not carry out, so that a broadcast repeating it does
// not keep the card busy. A fuzz build leaves the pauses out: no fuzzer could afford them.
void Pause(uint32_t ms) {
#ifdef KRMODULE_SKIP_PAUSES
    (void)ms;
#else
    SleepMs(ms);
#endif
}

// Set by RequestEcmMaintain until the pass it asked for begins.
std::atomic<bool> maintainRequested{false};

// The fixed fields and the blocks that are sent must lie before the CRC.
bool EcmFits(const uint8_t* section, uint32_t length) {
    if (length < kEcmBlocksOffset + kCrcSize) return false;
    const uint32_t blocks = EcmBlocksSent(section) * EcmBlockSize(EcmType(section));
    return blocks <= length - kEcmBlocksOffset - kCrcSize;
}

void ProcessEcm(const SectionNode& node) {
    kr_EcmMaintain();
    if (!CaSectionIntact(node.data, node.length)) {
        Tally(Count::EcmsCrc);
        kr_Print(0x72, "CA data CRC error.");
        return;
    }
    if (node.type == kTypeEcm) (void)kr_EcmParse(node.data, node.length);
}

// The version is recorded only when the words were set for the same start of the service.
void RecordVersion(const ServiceRef& ref, uint8_t version) {
    ModuleLockGuard hold;
    if (ref.Live() && ref.service->cwCleared == 0) ref.service->lastEcmVersion = version;
}

}  // namespace

void RequestEcmMaintain() {
    DeferWork();
    // One request stands for any number made before the pass.
    if (maintainRequested.exchange(true)) {
        DeferredWorkDone();
        return;
    }
    SignalWork(WorkQueue::Ecm);
}

void kr_EcmMaintain() {
    ModuleLockGuard hold;
    const bool requested = maintainRequested.exchange(false);
    struct Done {
        bool requested;
        ~Done() {
            if (requested) DeferredWorkDone();
        }
    } done{requested};
    StartedService* table = StartedServices();
    for (int i = 0; i < kStartedServiceCount; ++i) {
        StartedService& s = table[i];
        if (s.state != kStartedWaitingForMap && s.state != kStartedFiltered) continue;
        const ServiceRef ref{&s, s.generation};
        if (Ca().cardInserted.load() == 0) {
            (void)kr_ClearDescrambler(ref);
            (void)kr_ShowMessage(kMessageNoCard);
        } else {
            (void)kr_HideMessage(kMessageNoCard);
            if (Ca().cardError.load() != 0) {
                (void)kr_ClearDescrambler(ref);
                (void)kr_ShowMessage(kMessageCardUnusable);
            } else {
                (void)kr_HideMessage(kMessageCardUnusable);
            }
        }
        if (s.state != kStartedWaitingForMap) continue;
        kr_Print(0x74, "Start set ecm filter.");
        ServiceRecord record{};
        const bool found =
            s.request.type == 1
                ? kr_FindServiceByAddr(&record, s.request.ipAddress, s.request.udpPort) == 0
                : kr_FindServiceByEcmPid(&record, s.request.pid) == 0;
        if (found) {
            s.ecmPid = record.ecmPid;
            RequestEcmFilter(s);
        }
    }
}

int32_t kr_EcmParse(const uint8_t* section, uint32_t length) {
    if (Ca().cardReady.load() == 0) {
        Tally(Count::EcmsNoCard);
        Pause(kNoCardPauseMs);
        kr_Print(0x72, "No smart card insert.");
        return 1;
    }
    if (section == nullptr) return KR_NULL_ARG;
    if (!EcmFits(section, length)) {
        Tally(Count::EcmsBadLength);
        kr_Print(0x72, "ECM data length error.");
        return -3;
    }
    const uint8_t version = section[kEcmVersionOffset];
    ServiceRecord record{};
    ServiceRef ref;
    {
        ModuleLockGuard hold;
        if (kr_FindServiceByIds(&record, ReadBe16(section, 3), ReadBe16(section, 5),
                                ReadBe16(section, 7)) != 0) {
            Tally(Count::EcmsUnknownService);
            kr_Print(0x72, "No info in SMT for this service.");
            return -1;
        }
        StartedService* service = nullptr;
        if (kr_FindStartedService(&service, record.ecmPid) != 0) {
            Tally(Count::EcmsUnknownService);
            kr_Print(0x72, "Not start this service to descramble.");
            return -1;
        }
        if (service->lastEcmVersion == version) {
            Tally(Count::EcmsRepeated);
            return KR_NO_UPDATE;
        }
        ref = {service, service->generation};
    }
    kr_Print(0x73, "Parse ECM, version %d...", version);

    if (kr_CheckWorkTime(section + kEcmTimeOffset) == KR_NO) {
        Tally(Count::EcmsWorkTime);
        kr_Print(0x71, "Out of work time.");
        InterruptService(ref, kMessageWorkTime);
        Pause(kRetryPauseMs);
        return -1;
    }
    (void)kr_HideMessage(kMessageWorkTime);
    if (kr_CheckRating(record.rating) == KR_NO) {
        Tally(Count::EcmsRating);
        kr_Print(0x71, "Out of the rating.");
        InterruptService(ref, kMessageRating);
        Pause(kRetryPauseMs);
        return -1;
    }
    (void)kr_HideMessage(kMessageRating);

    int32_t result = kr_RequestCw(ref, section);
    if (result == kCwFormUnknown) result = kr_RequestCwOld(ref, section);
    if (result == kCwNoBlock) Tally(Count::EcmsBadLength);
    if (result == 0) {
        RecordVersion(ref, version);
        return 0;
    }
    // The next ECM of this version is tried again.
    Pause(kRetryPauseMs);
    return 0;
}

uint32_t kr_EcmThread(void* /*argument*/) {
    kr_Print(0x21, "start the ecm thread");
    WorkerReady();
    RunWorkerLoop(
        QueueId::Ecm, kEcmIdleMs, [](SectionNode& node) { ProcessEcm(node); },
        [&] {
            kr_EcmMaintain();
            kr_Print(0x75, "No retrieve in CA queue.");
        });
    kr_Print(0x21, "stop the ECM thread");
    return 0;
}

}  // namespace kr
