// The card information calls: card id, operator and maker, and the subscriber's parental
// controls kept on the card (PIN, rating, viewing period), each one card transaction.
#include "ca/card_info.h"

#include <krmodule/krmodule.h>

#include <cstring>

#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "core/log.h"

namespace kr {
namespace {

constexpr uint8_t kNameFileSize = kOperatorFile.size;
static_assert(kManufacturerFile.size == kNameFileSize);
constexpr uint32_t kOperatorNameMax = 32;
constexpr uint32_t kInfoReserved = 0x02000000;

bool Ready() {
    return Ca().cardReady.load() != 0;
}

bool Inserted() {
    return Ca().cardInserted.load() != 0;
}

uint8_t ToBcd(uint8_t value) {
    return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

// Nibbles above 9 are taken as they come, as the card stores whatever the sum gives.
uint8_t FromBcd(uint8_t bcd) {
    return static_cast<uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

void CopyName(char* field, const uint8_t* name, uint32_t max) {
    std::memset(field, 0, kNameFileSize);
    for (uint32_t i = 0; i < max && name[i] != 0; ++i)
        field[i] = static_cast<char>(name[i]);
}

// A PIN-guarded update of a whole file in one transaction.
int32_t VerifiedUpdate(const uint8_t* pin, uint8_t pinLength, const CardFile& file,
                       const uint8_t* data) {
    CardTransaction card(file.df);
    if (card.result() != 0) return card.result();
    const int32_t verified = kr_CardVerifyPin(pin, pinLength);
    if (verified != 0) return verified;
    return kr_CardUpdateBinary(file.sfi, data, file.size);
}

// Reads a whole file in one transaction.
int32_t ReadFile(const CardFile& file, uint8_t* out) {
    CardTransaction card(file.df);
    if (card.result() != 0) return card.result();
    return kr_CardReadBinary(file.sfi, out, file.size);
}

}  // namespace

int32_t kr_CheckRating(uint8_t programmeRating) {
    const uint8_t cardRating = Ca().cardRating.load();
    if (cardRating >= 15 || cardRating == 0 || programmeRating >= 15 || programmeRating == 0)
        return KR_YES;
    return programmeRating > cardRating ? KR_NO : KR_YES;
}

int32_t kr_CheckWorkTime(const uint8_t* now) {
    const uint16_t t = static_cast<uint16_t>(now[0] << 8 | now[1]);
    const uint16_t start = Ca().workStart.load();
    const uint16_t end = Ca().workEnd.load();
    if (start == end) return KR_YES;
    // BCD hhmm orders like the times it stands for.
    const bool inside = start < end ? (t >= start && t <= end) : (t >= start || t <= end);
    return inside ? KR_YES : KR_NO;
}

}  // namespace kr

using namespace kr;

int32_t krca_T2CA_GetCardId(uint8_t* id) {
    if (id == nullptr) return KR_NULL_ARG;
    uint8_t read[kCardIdFile.size];
    const int32_t result = ReadFile(kCardIdFile, read);
    if (result != 0) return result;
    std::memcpy(id, read, sizeof read);
    return KR_OK;
}

int32_t krca_T2CA_VerfyPin(const uint8_t* pin, uint8_t length) {
    if (pin == nullptr) return KR_NULL_ARG;
    if (!Ready()) return KR_CARD_NOT_READY;
    CardTransaction card(kFileCaApplication);
    if (card.result() != 0) return card.result();
    return kr_CardVerifyPin(pin, length);
}

int32_t krca_T2CA_ChangePin(const uint8_t* oldPin, uint8_t oldLength, const uint8_t* newPin,
                            uint8_t newLength) {
    if (oldPin == nullptr || newPin == nullptr) return KR_NULL_ARG;
    if (!Ready()) return KR_CARD_NOT_READY;
    // Lc is one byte: both PINs and their separator have to fit in it.
    if (uint32_t{oldLength} + newLength + 1 > 255) return KR_OUT_OF_RANGE;
    CardCommand command(0x80, 0x5E, 0x01, 0x00);
    command.Append({oldPin, oldLength});
    command.Append(0xFF);
    command.Append({newPin, newLength});

    uint8_t response[kCardResponseSize];
    uint32_t length = command.size();
    {
        SlowLockGuard hold(CardLock());
        const int32_t reset = kr_CardReset();
        if (reset != 0) {
            kr_Print(0x73, "Smartcard rest faild.");
            return reset;
        }
        const int32_t selected = kr_CardSelect(kFileCaApplication);
        if (selected != 0) return selected;
        if (kr_CardExchange(&length, command.bytes(), response) != 0) return 1;
    }
    return PinResult(StatusWord(response, length));
}

int32_t krca_T2CA_GetRating(uint8_t* rating) {
    if (rating == nullptr) return KR_NULL_ARG;
    if (!Inserted()) return 1;
    uint8_t file[kRatingFile.size];
    const int32_t result = ReadFile(kRatingFile, file);
    if (result != 0) return result;
    const uint8_t code = file[1];
    *rating = code >= 1 && code <= 15 ? static_cast<uint8_t>(code + 3) : 0;
    return KR_OK;
}

int32_t krca_T2CA_ChangeRating(const uint8_t* pin, uint8_t pinLength, uint8_t rating) {
    if (pin == nullptr) return KR_NULL_ARG;
    if (!Ready()) return KR_CARD_NOT_READY;
    if (rating > 18 || rating < 4) return KR_OUT_OF_RANGE;
    const uint8_t file[kRatingFile.size] = {0x00, static_cast<uint8_t>(rating - 3)};
    const int32_t result = VerifiedUpdate(pin, pinLength, kRatingFile, file);
    if (result == 0) Ca().cardRating.store(rating);
    return result;
}

int32_t krca_T2CA_GetWorkTime(uint8_t* start, uint8_t* end) {
    if (start == nullptr || end == nullptr) return KR_NULL_ARG;
    if (!Inserted()) return 1;
    uint8_t file[kWorkTimeFile.size];
    const int32_t result = ReadFile(kWorkTimeFile, file);
    if (result != 0) return result;
    const bool allFf = file[0] == 0xFF && file[1] == 0xFF && file[2] == 0xFF && file[3] == 0xFF;
    const bool allZero = file[0] == 0 && file[1] == 0 && file[2] == 0 && file[3] == 0;
    if (allFf || allZero) {
        start[0] = start[1] = end[0] = end[1] = 0;
        return KR_OK;
    }
    // Values out of range are clamped to 23:59 rather than refused: the card's period stays
    // usable.
    const uint8_t limits[4] = {23, 59, 23, 59};
    uint8_t bcd[4];
    for (int i = 0; i < 4; ++i)
        bcd[i] = file[i] >= limits[i] ? ToBcd(limits[i]) : ToBcd(file[i]);
    start[0] = bcd[0];
    start[1] = bcd[1];
    end[0] = bcd[2];
    end[1] = bcd[3];
    return KR_OK;
}

int32_t krca_T2CA_ChangeWorkTime(const uint8_t* pin, uint8_t pinLength, const uint8_t* start,
                                 const uint8_t* end) {
    if (pin == nullptr || start == nullptr || end == nullptr) return KR_NULL_ARG;
    if (!Ready()) return KR_CARD_NOT_READY;
    const uint8_t file[kWorkTimeFile.size] = {FromBcd(start[0]), FromBcd(start[1]), FromBcd(end[0]),
                                              FromBcd(end[1])};
    if (file[0] > 23 || file[1] > 59 || file[2] > 23 || file[3] > 59) return KR_OUT_OF_RANGE;
    const int32_t result = VerifiedUpdate(pin, pinLength, kWorkTimeFile, file);
    if (result != 0) return result;
    Ca().workStart.store(static_cast<uint16_t>(start[0] << 8 | start[1]));
    Ca().workEnd.store(static_cast<uint16_t>(end[0] << 8 | end[1]));
    return KR_OK;
}

int32_t krca_T2CA_GetOperatorInfo(OperatorInfo* info, uint8_t* count) {
    if (count == nullptr) return KR_NULL_ARG;
    if (info != nullptr) {
        if (!Ready()) return KR_CARD_NOT_READY;
        uint8_t name[kNameFileSize];
        const int32_t result = ReadFile(kOperatorFile, name);
        if (result != 0) return result;
        CopyName(info->name, name, kOperatorNameMax);
        info->operatorNumber = 1;
    }
    *count = 1;
    return KR_OK;
}

int32_t krca_T2CA_GetManufacturerInfo(ManufacturerInfo* info) {
    if (info == nullptr) return KR_NULL_ARG;
    if (!Ready()) return KR_CARD_NOT_READY;
    {
        SlowLockGuard hold(CardLock());
        const int32_t reset = kr_CardReset();
        if (reset != 0) return reset;
        const int32_t selected = kr_CardSelect(kManufacturerFile.df);
        if (selected != 0) {
            kr_Print(0x73, "Smartcard select MF faild.");
            return selected;
        }
        std::memset(info->name, 0, sizeof info->name);
        uint8_t name[kNameFileSize];
        const int32_t result = kr_CardReadBinary(kManufacturerFile.sfi, name, sizeof name);
        if (result != 0) return result;
        CopyName(info->name, name, kNameFileSize);
    }
    info->entryNumber = 1;
    (void)kr_CardGetVersion(&info->cosVersion);
    info->reserved2 = kInfoReserved;
    info->reserved3 = kInfoReserved;
    return KR_OK;
}
