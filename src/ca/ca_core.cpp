#include "ca/ca_core.h"

#include <krmodule/krmodule.h>

#include <cstring>

#include "ca/broadcast_data.h"
#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "ca/emm.h"
#include "ca/host_messages.h"
#include "ca/mail_store.h"
#include "ca/service_map.h"
#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/host.h"
#include "core/counters.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/request_table.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {

constexpr uint32_t kCaIdleMs = 100;
constexpr uint8_t kCaTableId = 0x83;
constexpr uint8_t kServiceMapTableId = 0x84;
constexpr uint8_t kBroadcastDataType = 0x04;

CaState state;
SlowLock eventLock;

// Bytes 3 and 4 of every CA private section.
void MatchCaSection(SectionFilterParams& params) {
    params.match[0] = kCaTableId;
    params.mask[0] = 0xFF;
    params.match[3] = 'K';
    params.match[4] = 'R';
    params.mask[3] = 0xFF;
    params.mask[4] = 0xFF;
}

// One CA filter: -1 when no request entry is free; 0 otherwise, also when the host refused it.
int32_t SetCaFilter(uint8_t type, const SectionFilterParams& params) {
    ModuleLockGuard hold;
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0) return -1;
    entry->type = type;
    QueueForType(type, &entry->queue);
    entry->pid = params.pid;
    kr_Print(0x73, "Request ID : %2d", static_cast<int>(entry->requestId));
    kr_Print(0x73, "Filter PID : 0x%2X", params.pid);
    if (RunHostFilter(entry, params) != 0) kr_Print(0x71, "Set CA EMM filter failed!");
    return 0;
}

void ProcessCaSection(const SectionNode& node) {
    if (!CaSectionIntact(node.data, node.length)) {
        Tally(Count::CaSectionsCrc);
        kr_Print(0x72, "CA data CRC error.");
        return;
    }
    switch (node.type) {
        case kTypeServiceMap:
            (void)kr_SmtParse(node.data, node.length);
            break;
        case kTypeEmm:
            (void)kr_EmmParse(node.data, node.length);
            break;
        case kTypeBroadcastData:
            (void)kr_BrdParse(node.data, node.length);
            break;
        default:
            break;  // other types have no business on this queue
    }
}

void ClearEmmHistoryLocked() {
    std::memset(state.lastEmmCrc, 0, sizeof state.lastEmmCrc);
}

}  // namespace

// The table id and the length bytes are not covered.
bool CaSectionIntact(const uint8_t* section, uint32_t length) {
    if (length < 3 + 4) return false;
    return ReadBe32(section, length - 4) == Crc32(section + 3, length - 7);
}

CaState& Ca() {
    return state;
}

SlowLock& CardEventLock() {
    return eventLock;
}

void CopyCardId(uint8_t out[kCardIdSize]) {
    ShortLockGuard hold(state.lock);
    std::memcpy(out, state.cardId, kCardIdSize);
}

int32_t kr_HistorySeen(uint8_t group, uint32_t id) {
    if (group >= kHistoryGroups) return KR_NO;
    ShortLockGuard hold(state.lock);
    for (const uint32_t seen : state.messageHistory[group]) {
        if (seen == id) return KR_YES;
    }
    return KR_NO;
}

void kr_HistoryRemember(uint8_t group, uint32_t id) {
    if (group >= kHistoryGroups) return;
    ShortLockGuard hold(state.lock);
    uint32_t* entries = state.messageHistory[group];
    for (int i = kHistoryDepth - 1; i > 0; --i)
        entries[i] = entries[i - 1];
    entries[0] = id;
}

int32_t kr_CaSetEmmFilters(uint16_t pid, const uint8_t* cardId) {
    if (cardId == nullptr || pid >= kNoPid || state.cardReady.load() == 0) return -1;
    kr_Print(0x72, "Set CA EMM filter");

    SectionFilterParams emm{};
    emm.pid = pid;
    MatchCaSection(emm);
    for (int i = 0; i < kCardIdSize; ++i) {
        emm.match[5 + i] = cardId[i];
        emm.mask[5 + i] = 0xFF;
    }
    if (SetCaFilter(kTypeEmm, emm) != 0) return -1;

    SectionFilterParams broadcast{};
    broadcast.pid = pid;
    MatchCaSection(broadcast);
    broadcast.match[14] = kBroadcastDataType;
    broadcast.mask[14] = 0xFF;
    if (SetCaFilter(kTypeBroadcastData, broadcast) != 0) return -1;
    return 0;
}

int32_t kr_CaStart() {
    kr_Print(0x71, "CA init start");
    {
        SlowLockGuard events(eventLock);
        state.emmPid.store(kNoPid);
        state.cardInserted.store(0);
        state.cardError.store(1);
        state.cardReady.store(0);
        state.cardRating.store(0);
        state.workStart.store(0);
        state.workEnd.store(0);
        CardLayerStart();
        kr_ServiceMapInit();
        {
            ShortLockGuard hold(state.lock);
            ClearEmmHistoryLocked();
        }
        kr_MailClear();
    }
    int32_t reset = 0;
    {
        SlowLockGuard card(CardLock());
        reset = kr_CardReset();
    }
    if (reset != 0) {
        kr_Print(0x72, "No smartcard insert.");
    } else {
        (void)krca_T2CA_CardInserted();
    }
    kr_Print(0x71, "CA init end");
    return 0;
}

int32_t kr_CaStop() {
    kr_Print(0x11, "start ca finish");
    StopRequestsByType(kTypeCa);
    StopRequestsByType(kTypeEcm);
    StopRequestsByType(kTypeEmm);
    StopRequestsByType(kTypeServiceMap);
    StopRequestsByType(kTypeBroadcastData);
    (void)kr_DropMessage();
    kr_Print(0x11, "end ca finish");
    return 0;
}

uint32_t kr_CaThread(void* /*argument*/) {
    kr_Print(0x21, "start the ca thread");
    WorkerReady();
    RunWorkerLoop(
        QueueId::Ca, kCaIdleMs, [](SectionNode& node) { ProcessCaSection(node); },
        [&] { kr_Print(0x75, "No retrieve in CA queue."); });
    kr_Print(0x21, "stop the CA thread");
    return 0;
}

}  // namespace kr

using namespace kr;

int32_t krca_T2CA_VerifySystemId(uint16_t caSystemId) {
    return caSystemId == kCaSystemId ? KR_OK : KR_FAILED;
}

int32_t krca_T2CA_SetEmmPids(uint32_t /*count*/, const uint16_t* pids) {
    if (pids == nullptr) return KR_NULL_ARG;
    SlowLockGuard events(eventLock);
    StopRequestsByType(kTypeEmm);
    StopRequestsByType(kTypeServiceMap);
    StopRequestsByType(kTypeBroadcastData);
    (void)StartTypedRequest(kTypeServiceMap, pids[0], kServiceMapTableId);
    state.emmPid.store(pids[0]);
    if (state.cardReady.load() != 0) {
        uint8_t id[kCardIdSize];
        CopyCardId(id);
        (void)kr_CaSetEmmFilters(pids[0], id);
    }
    return KR_OK;
}

int32_t krca_T2CA_CardInserted(void) {
    SlowLockGuard events(eventLock);
    if (state.cardInserted.load() != 0) {
        kr_Print(0x72, "card already inserted");
        return KR_OK;
    }
    int32_t result = 0;
    {
        SlowLockGuard card(CardLock());
        result = kr_CardReset();
    }
    if (result == KR_CARD_NOT_READY) {
        state.cardInserted.store(1);
        state.cardError.store(1);
        return KR_CARD_NOT_READY;
    }
    if (result != 0) {
        state.cardInserted.store(0);
        state.cardError.store(0);
        return result;
    }
    state.cardInserted.store(1);
    state.cardError.store(0);
    kr_Print(0x72, "card insert ...");

    uint8_t id[kCardIdSize];
    result = krca_T2CA_GetCardId(id);
    if (result != 0) return result;
    kr_Print(0x71, "Card ID: %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X", id[0], id[1], id[2],
             id[3], id[4], id[5], id[6], id[7]);
    {
        ShortLockGuard hold(state.lock);
        std::memcpy(state.cardId, id, kCardIdSize);
        std::memset(state.messageHistory, 0, sizeof state.messageHistory);
    }
    state.cardRating.store(0);
    state.workStart.store(0);
    state.workEnd.store(0);

    uint8_t start[2] = {};
    uint8_t end[2] = {};
    if (krca_T2CA_GetWorkTime(start, end) == 0) {
        state.workStart.store(static_cast<uint16_t>(start[0] << 8 | start[1]));
        state.workEnd.store(static_cast<uint16_t>(end[0] << 8 | end[1]));
    }
    uint8_t rating = 0;
    if (krca_T2CA_GetRating(&rating) == 0) state.cardRating.store(rating);
    state.cardReady.store(1);
    (void)kr_HideMessage(kMessageNoCard);

    uint32_t version = 0x0100;
    (void)kr_CardGetVersion(&version);
    kr_Print(0x71, "Card COS version: %d.%d", static_cast<int>((version >> 8) & 0x0F),
             static_cast<int>(version & 0x0F));
    (void)kr_MailLoad();
    (void)kr_CaSetEmmFilters(state.emmPid.load(), id);
    return KR_OK;
}

int32_t krca_T2CA_CardRemoved(void) {
    SlowLockGuard events(eventLock);
    kr_Print(0x72, "card remove ...");
    state.cardInserted.store(0);
    state.cardReady.store(0);
    state.cardError.store(1);
    StopRequestsByType(kTypeEmm);
    StopRequestsByType(kTypeBroadcastData);
    {
        // A transaction that ends at this moment cannot mark the next card as reset.
        SlowLockGuard card(CardLock());
        CardLayerForgetReset();
        kr_MailClear();
    }
    state.cardRating.store(0);
    state.workStart.store(0);
    state.workEnd.store(0);
    ShortLockGuard hold(state.lock);
    ClearEmmHistoryLocked();
    return KR_OK;
}
