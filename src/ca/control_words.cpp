#include "ca/control_words.h"

#include <cstring>

#include "ca/card_layer.h"
#include "ca/host_messages.h"
#include "core/host.h"
#include "core/counters.h"
#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {

constexpr uint32_t kOlderBlockSize = 19;  // a type-0 block without the high byte of its parity
constexpr uint32_t kControlWordsSize = 32;
constexpr uint32_t kAcceptedWithoutStatus = 19;

// The command: the card part, the block count, the blocks (whole, or without their first byte).
CardCommand BuildCommand(uint8_t p1, uint8_t p2, const uint8_t* ecm, uint32_t blockSize,
                         uint32_t skip) {
    const uint8_t k = EcmBlocksSent(ecm);
    CardCommand command = CardCommand::Ca(p1, p2);
    command.Append({ecm + kEcmCardPartOffset, kEcmCardPartSize});
    command.Append(k);
    for (uint32_t i = 0; i < k; ++i)
        command.Append({ecm + kEcmBlocksOffset + i * blockSize + skip, blockSize - skip});
    return command;
}

void Refused(const ServiceRef& ref, uint16_t status) {
    Tally(Count::EcmsRefused);
    kr_Print(0x73, "Get CW ERROR : %2.2X %2.2X", status >> 8, status & 0xFF);
    InterruptService(ref, kMessageCardRefused);
}

int32_t UnsupportedType(const ServiceRef& ref, uint8_t type, int32_t result) {
    Tally(Count::EcmsRefused);
    kr_Print(0x73, "The ECM type %d not support.", type);
    InterruptService(ref, kMessageCardRefused);
    return result;
}

void SendToDescrambler(const DescramblerRecord& record) {
    const KrSetDescramblerFn set = Host().SetDescrambler;
    if (set != nullptr) (void)set(record, 1);
}

// One request in a card transaction, then the words to the descrambler. formUnknown: whether
// 6A 86 means that the card does not know this form.
int32_t Request(const ServiceRef& ref, const CardCommand& command, bool formUnknown) {
    uint8_t response[kCardResponseSize];
    uint8_t words[kCardResponseSize];
    uint32_t length = command.size();
    uint32_t dataLength = 0;
    uint16_t status = 0;
    int32_t fetched = 0;
    bool accepted = true;
    {
        CardTransaction transaction(kFileCaApplication);
        if (transaction.result() != 0) {
            Tally(Count::EcmsCardFailed);
            return transaction.result();
        }
        if (kr_CardExchange(&length, command.bytes(), response) != 0) {
            Tally(Count::EcmsCardFailed);
            return 1;
        }
        status = StatusWord(response, length);
        const uint8_t sw1 = static_cast<uint8_t>(status >> 8);
        if (sw1 != 0x61 && sw1 != 0x90 && length < kAcceptedWithoutStatus) {
            if (formUnknown && status == 0x6A86) return kCwFormUnknown;
            accepted = false;
        } else if (sw1 == 0x61) {
            dataLength = status & 0xFF;
            // The status of a failed fetch is this request's business, not a PIN's: no message.
            uint16_t fetchStatus = 0;
            if (dataLength >= kControlWordsSize)
                fetched = CardFetchResponse(words, static_cast<uint8_t>(dataLength), &fetchStatus);
        } else {
            dataLength = length - 2;
            std::memcpy(words, response, dataLength);
        }
    }
    // The host is told only once the card lock is released: it is never held over a message.
    // Fewer than the two words count as a refusal: nothing is read beyond what the card sent.
    if (!accepted || dataLength < kControlWordsSize) {
        Refused(ref, status);
        return -1;
    }
    // The card accepted the request: a refusal shown before is over, whatever the fetch brings.
    (void)kr_HideMessage(kMessageCardRefused);
    if (fetched != 0) {
        Tally(Count::EcmsCardFailed);
        return fetched == 1 ? 1 : -1;
    }

    DescramblerRecord record{};
    record.cwMode = 0;
    std::memcpy(record.controlWordA, words + 16, 16);
    std::memcpy(record.controlWordB, words, 16);
    ModuleLockGuard hold;
    // A stop that returned before this took the lock ends the service's control words.
    if (!ref.Live()) return 0;
    record.request = ref.service->request;
    kr_Print(0x73, "Set descrambler ...");
    SendToDescrambler(record);
    Tally(Count::ControlWordsSet);
    ref.service->cwCleared = 0;
    return 0;
}

}  // namespace

uint32_t EcmBlockSize(uint8_t type) {
    if (type == 0) return 20;
    if (type == 1) return 36;
    return 0;
}

uint8_t EcmBlocksSent(const uint8_t* ecm) {
    const uint8_t count = ecm[kEcmBlockCountOffset];
    return count < kMaxCwBlocks ? count : kMaxCwBlocks;
}

bool ServiceRef::Live() const {
    return service != nullptr && service->generation == generation &&
           (service->state == kStartedWaitingForMap || service->state == kStartedFiltered);
}

int32_t kr_RequestCw(const ServiceRef& ref, const uint8_t* ecm) {
    if (ref.service == nullptr || ecm == nullptr) return KR_NULL_ARG;
    const uint8_t type = EcmType(ecm);
    const uint32_t blockSize = EcmBlockSize(type);
    if (blockSize == 0) return UnsupportedType(ref, type, -1);
    if (EcmBlocksSent(ecm) == 0) return kCwNoBlock;
    const CardCommand command =
        BuildCommand(kCaControlWords, static_cast<uint8_t>(type << 4), ecm, blockSize, 0);
    return Request(ref, command, true);
}

int32_t kr_RequestCwOld(const ServiceRef& ref, const uint8_t* ecm) {
    if (ref.service == nullptr || ecm == nullptr) return KR_NULL_ARG;
    const uint8_t type = EcmType(ecm);
    if (type != 0) return UnsupportedType(ref, type, kCwFormUnknown);
    if (EcmBlocksSent(ecm) == 0) return kCwNoBlock;
    const uint32_t blockSize = EcmBlockSize(0);
    const CardCommand command =
        BuildCommand(kCaControlWordsOlder, 0x00, ecm, blockSize, blockSize - kOlderBlockSize);
    return Request(ref, command, false);
}

void InterruptService(const ServiceRef& ref, uint8_t message) {
    ModuleLockGuard hold;
    if (!ref.Live()) return;
    (void)kr_ClearDescrambler(ref);
    (void)kr_ShowMessage(message);
}

int32_t kr_ClearDescrambler(const ServiceRef& ref) {
    if (ref.service == nullptr) return KR_NULL_ARG;
    ModuleLockGuard hold;
    if (!ref.Live() || ref.service->cwCleared != 0) return 0;
    DescramblerRecord record{};
    record.request = ref.service->request;
    SendToDescrambler(record);
    ref.service->lastEcmVersion = kNoEcmVersion;
    ref.service->cwCleared = 1;
    return 0;
}

}  // namespace kr
