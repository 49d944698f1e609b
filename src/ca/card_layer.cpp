#include "ca/card_layer.h"

#include <atomic>
#include <cstring>

#include "core/host.h"
#include "core/log.h"

namespace kr {
namespace {

SlowLock cardLock;

// Changed under the card lock; atomic so that a check of it never races a change.
std::atomic<bool> cardResetDone{false};
// Changed under the card lock only.
uint16_t selectedFileId = 0;

constexpr uint32_t kAnswerToResetSize = 64;

bool ResponseLengthValid(uint32_t length) {
    return length >= 2 && length <= kCardResponseSize;
}

// One call of the host's APDU function; a response of impossible length is a failure (-1).
int32_t ExchangeOnce(uint32_t commandLength, uint32_t* length, const uint8_t* command,
                     uint8_t* response) {
    *length = commandLength;
    const int32_t result = Host().SmartcardApdu(length, command, response);
    if (result != 0) return result;
    return ResponseLengthValid(*length) ? 0 : KR_FAILED;
}

// Copies count response data bytes when the card sent that many; -1 otherwise.
int32_t TakeData(const uint8_t* response, uint32_t length, uint8_t* out, uint32_t count) {
    if (length - 2 < count) return -1;
    std::memcpy(out, response, count);
    return 0;
}

int32_t ShortCommand(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t le,
                     uint8_t* response, uint32_t* length) {
    const uint8_t command[5] = {cla, ins, p1, p2, le};
    *length = sizeof command;
    return kr_CardExchange(length, command, response);
}

int32_t DataCommand(uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t count,
                    uint8_t* response, uint32_t* length) {
    CardCommand command(0x00, ins, p1, p2);
    if (count > 0) command.Append({data, count});
    *length = command.size();
    return kr_CardExchange(length, command.bytes(), response);
}

int32_t ReadCommand(uint8_t ins, uint8_t p1, uint8_t p2, uint8_t* out, uint8_t count) {
    uint8_t response[kCardResponseSize];
    uint32_t length = 0;
    if (ShortCommand(0x00, ins, p1, p2, count, response, &length) != 0) return 1;
    if (StatusWord(response, length) != 0x9000) return -1;
    return TakeData(response, length, out, count);
}

int32_t UpdateCommand(uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, uint8_t count) {
    uint8_t response[kCardResponseSize];
    uint32_t length = 0;
    if (DataCommand(ins, p1, p2, data, count, response, &length) != 0) return 1;
    return StatusWord(response, length) == 0x9000 ? 0 : -1;
}

uint8_t RecordP2(uint16_t sfi) {
    return static_cast<uint8_t>(sfi * 8 + 4);
}

uint8_t BinaryP1(uint16_t sfi) {
    return static_cast<uint8_t>(0x80 | sfi);
}

}  // namespace

void CardLayerStart() {
    SlowLockGuard hold(cardLock);
    cardResetDone.store(false);
    selectedFileId = 0;
}

void CardLayerForgetReset() {
    cardResetDone.store(false);
}

SlowLock& CardLock() {
    return cardLock;
}

uint16_t StatusWord(const uint8_t* response, uint32_t length) {
    return static_cast<uint16_t>((response[length - 2] << 8) | response[length - 1]);
}

int32_t kr_CardReset() {
    if (cardResetDone.load()) {
        kr_Print(0x74, "Smartcard no need to reset.");
        return 0;
    }
    const KrSmartcardResetFn reset = Host().SmartcardReset;
    if (reset == nullptr) return KR_FAILED;
    uint8_t answer[kAnswerToResetSize] = {};
    uint32_t length = kAnswerToResetSize;
    const int32_t result = reset(answer, &length);
    if (result == 0) {
        kr_Print(0x74, "Smartcard reset.");
        cardResetDone.store(true);
        selectedFileId = kFileMf;
        return 0;
    }
    kr_Print(0x73, "Smartcard reset faild.");
    selectedFileId = 0;
    return result;
}

int32_t kr_CardExchange(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (Host().SmartcardApdu == nullptr) return KR_FAILED;
    const uint32_t commandLength = *length;
    int32_t result = ExchangeOnce(commandLength, length, command, response);
    if (result == 0) return 0;

    kr_Print(0x73, "Smartcard apdu command faild.");
    const uint16_t selected = selectedFileId;
    cardResetDone.store(false);
    int32_t recovery = kr_CardReset();
    if (recovery != 0) return recovery;
    // A reset selects the MF, so re-selecting the MF costs no exchange.
    if (selected != 0) {
        recovery = kr_CardSelect(selected);
        if (recovery != 0) return recovery;
    }
    result = ExchangeOnce(commandLength, length, command, response);
    if (result == 0) return 0;
    kr_Print(0x73, "Smartcard apdu command faild.");
    cardResetDone.store(false);
    return result;
}

int32_t kr_CardSelect(uint16_t fileId) {
    if (fileId == selectedFileId) {
        kr_Print(0x74, "Already select this DF.");
        return 0;
    }
    CardCommand command(0x00, 0xA4, 0x00, 0x00);
    command.Append(static_cast<uint8_t>(fileId >> 8));
    command.Append(static_cast<uint8_t>(fileId));
    uint8_t response[kCardResponseSize];
    uint32_t length = command.size();
    if (kr_CardExchange(&length, command.bytes(), response) != 0) return KR_FAILED;
    const uint8_t sw1 = response[length - 2];
    const uint8_t sw2 = response[length - 1];
    if ((sw1 == 0x90 && sw2 == 0x00) || sw1 == 0x61) {
        kr_Print(0x74, "Select %4.4X", fileId);
        selectedFileId = fileId;
        return 0;
    }
    kr_Print(0x73, "Select %4.4X faild, %2.2X%2.2X.", fileId, sw1, sw2);
    return 1;
}

int32_t kr_CardReadBinary(uint16_t sfi, uint8_t* out, uint8_t length) {
    if (sfi > 31 || length == 255) return 1;
    return ReadCommand(0xB0, BinaryP1(sfi), 0x00, out, length);
}

int32_t kr_CardReadRecord(uint16_t sfi, uint8_t* out, uint8_t recordNumber, uint8_t length) {
    if (sfi > 31) return 1;
    return ReadCommand(0xB2, recordNumber, RecordP2(sfi), out, length);
}

int32_t kr_CardUpdateBinary(uint16_t sfi, const uint8_t* data, uint8_t length) {
    if (sfi > 31) return 1;
    return UpdateCommand(0xD6, BinaryP1(sfi), 0x00, data, length);
}

int32_t kr_CardUpdateRecord(uint16_t sfi, const uint8_t* data, uint8_t recordNumber,
                            uint8_t length) {
    if (sfi > 31) return 1;
    return UpdateCommand(0xDC, recordNumber, RecordP2(sfi), data, length);
}

int32_t PinResult(uint16_t statusWord) {
    if (statusWord == 0x9000) return 0;
    if ((statusWord >> 8) == 0x63) return kPinWrong | (statusWord & 0x0F);
    if (statusWord == 0x6983) return kPinBlocked;
    return KR_FAILED;
}

int32_t kr_CardVerifyPin(const uint8_t* pin, uint8_t length) {
    uint8_t response[kCardResponseSize];
    uint32_t responseLength = 0;
    if (DataCommand(0x20, 0x00, 0x00, pin, length, response, &responseLength) != 0) return 1;
    // The status word is read from the end of what the card sent, which is where it is even
    // when a card puts data before it.
    const uint16_t status = StatusWord(response, responseLength);
    const int32_t result = PinResult(status);
    if (result == KR_FAILED) kr_Print(0x73, "Verify pin error: %4.4X", status);
    return result;
}

int32_t CardFetchResponse(uint8_t* out, uint8_t length, uint16_t* status) {
    uint8_t response[kCardResponseSize];
    uint32_t responseLength = 0;
    if (ShortCommand(0x00, 0xC0, 0x00, 0x00, length, response, &responseLength) != 0) return 1;
    *status = StatusWord(response, responseLength);
    if (*status != 0x9000) return KR_FAILED;
    return TakeData(response, responseLength, out, length);
}

int32_t kr_CardGetResponse(uint8_t* out, uint8_t length) {
    uint16_t status = 0x9000;
    const int32_t result = CardFetchResponse(out, length, &status);
    if (status != 0x9000) kr_Print(0x73, "Verify pin error: %4.4X", status);
    return result;
}

int32_t kr_CardGetVersion(uint32_t* version) {
    uint8_t response[kCardResponseSize];
    uint32_t length = 0;
    int32_t result = 0;
    {
        SlowLockGuard hold(cardLock);
        result = ShortCommand(0xC0, 0xE4, kCaGetVersion, 0x00, 0x00, response, &length);
    }
    if (result != 0) return KR_FAILED;
    const uint8_t sw1 = response[length - 2];
    const uint8_t sw2 = response[length - 1];
    if (sw1 == 0x64) {
        *version = (uint32_t{sw2 & 0xF0u} << 4) | (sw2 & 0x0Fu);
    } else {
        *version = 0x0100;
    }
    return 0;
}

CardCommand::CardCommand(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2) {
    bytes_[0] = cla;
    bytes_[1] = ins;
    bytes_[2] = p1;
    bytes_[3] = p2;
}

void CardCommand::Append(std::span<const uint8_t> data) {
    if (data.empty()) return;
    if (data.size() > kCardCommandMax - size_) {
        whole_ = false;
        return;
    }
    std::memcpy(bytes_ + size_, data.data(), data.size());
    size_ += static_cast<uint32_t>(data.size());
    bytes_[4] = static_cast<uint8_t>(size_ - 5);
}

CardTransaction::CardTransaction(uint16_t fileId) {
    cardLock.lock();
    result_ = kr_CardReset();
    if (result_ == 0) result_ = kr_CardSelect(fileId);
}

CardTransaction::~CardTransaction() {
    cardLock.unlock();
}

}  // namespace kr
