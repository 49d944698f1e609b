#include "ca/emm.h"

#include <krmodule/krmodule.h>

#include <cstring>
#include <span>

#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "ca/mail_store.h"
#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/checksum.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {

constexpr uint32_t kHeaderSize = 19;
constexpr uint8_t kTypeMessage = 3;
constexpr uint8_t kTypeCardCommand = 6;
constexpr uint8_t kMailTag = 0x81;
constexpr uint8_t kTextTag = 0x85;
constexpr uint32_t kCommandHead = 10;  // sequence, 4 bytes, entry count
constexpr uint32_t kTrailerSize = 16;
constexpr uint32_t kMaxCommandBody = 200;
constexpr uint32_t kMinCardCommand = 4;

bool SeenBefore(uint8_t type, const uint8_t* crc) {
    ShortLockGuard hold(Ca().lock);
    return std::memcmp(Ca().lastEmmCrc[type], crc, 4) == 0;
}

void Remember(uint8_t type, const uint8_t* crc) {
    ShortLockGuard hold(Ca().lock);
    std::memcpy(Ca().lastEmmCrc[type], crc, 4);
}

uint32_t LastSequence() {
    ShortLockGuard hold(Ca().lock);
    return Ca().lastCommandSeq;
}

void ShowText(std::span<const uint8_t> text) {
    char buffer[256] = {};
    std::memcpy(buffer, text.data(), text.size());
    if (Host().ShowMessage != nullptr) (void)Host().ShowMessage(0xFF, buffer, 0, 0);
}

// A text record: its id, two fields nobody reads, and the text, all inside the record.
void HandleText(std::span<const uint8_t> record) {
    ByteReader in(record);
    const uint32_t id = in.Be32();
    in.Skip(4);
    in.Skip(in.U8());
    in.Skip(in.U8());
    const std::span<const uint8_t> text = in.Bytes(in.U8());
    if (!in.ok()) {
        kr_Print(0x73, "Invalid EMM record len.");
        return;
    }
    if (kr_HistorySeen(kHistoryEmmText, id) == KR_YES) return;
    kr_HistoryRemember(kHistoryEmmText, id);
    ShowText(text);
}

// The card's settings that the workers use, read again after the card changed them.
void RefreshCardSettings() {
    uint8_t rating = 0;
    if (krca_T2CA_GetRating(&rating) == 0) Ca().cardRating.store(rating);
    uint8_t start[2] = {};
    uint8_t end[2] = {};
    if (krca_T2CA_GetWorkTime(start, end) == 0) {
        Ca().workStart.store(static_cast<uint16_t>(start[0] << 8 | start[1]));
        Ca().workEnd.store(static_cast<uint16_t>(end[0] << 8 | end[1]));
    }
}

}  // namespace

int32_t kr_EmmParse(const uint8_t* section, uint32_t length) {
    if (Ca().cardReady.load() == 0) {
        kr_Print(0x72, "No smart card insert.");
        return -1;
    }
    if (section == nullptr || length < kHeaderSize + kCrcSize) {
        kr_Print(0x72, "EMM data length error.");
        return -3;
    }
    uint8_t cardId[kCardIdSize];
    CopyCardId(cardId);
    if (std::memcmp(section + 5, cardId, kCardIdSize) != 0) {
        kr_Print(0x72, "EMM return because card id error.");
        return KR_NOT_THIS_CARD;
    }
    const uint8_t type = section[14];
    const uint8_t* crc = section + length - kCrcSize;
    if (type < kEmmTypeCount && SeenBefore(type, crc)) {
        kr_Print(0x74, "Emm type %d saved.", type);
        return 1;
    }
    const uint8_t* body = section + kHeaderSize;
    const uint32_t bodyLength = length - kHeaderSize - kCrcSize;
    if (type == kTypeMessage) {
        const uint32_t n = bodyLength >= 2 ? ReadBe16(body, 0) : 0;
        if (bodyLength < 2 || n > bodyLength - 2) {
            kr_Print(0x72, "EMM data length error.");
            return 0;
        }
        if (kr_EmmMessages(body + 2, n) == 0) Remember(type, crc);
    } else if (type == kTypeCardCommand) {
        // A card that failed did not carry the EMM out: it is taken again when it comes round.
        if (kr_EmmCardCommands(body, bodyLength, section[13]) != 1) Remember(type, crc);
    }
    return 0;
}

int32_t kr_EmmMessages(const uint8_t* records, uint32_t length) {
    kr_Print(0x72, "Parse EMM, type: 3");
    ByteReader in(records, length);
    while (in.remaining() > 0) {
        const uint8_t tag = in.U8();
        const std::span<const uint8_t> record = in.Bytes(in.U8());
        if (!in.ok()) {
            kr_Print(0x73, "Invalid EMM record len.");
            return 0;
        }
        if (tag == kMailTag) {
            const int32_t result = kr_MailAdd(record.data(), static_cast<uint32_t>(record.size()));
            if (result == kMailRecordCut) return 0;
            if (result != 0 && result != KR_NO_UPDATE) return result;
        } else if (tag == kTextTag) {
            HandleText(record);
        }
    }
    return 0;
}

int32_t kr_EmmCardCommands(const uint8_t* body, uint32_t length, uint8_t parameter) {
    if (body == nullptr || length < kCommandHead + kTrailerSize) {
        kr_Print(0x72, "EMM data length error.");
        return -1;
    }
    const uint32_t sequence = ReadBe32(body, 0);
    if (sequence == LastSequence()) return KR_NO_UPDATE;
    kr_Print(0x72, "Parse EMM, type: %d", kTypeCardCommand);

    // The entries, then the trailer, all before the CRC.
    const uint32_t entries = ReadBe16(body, 8);
    const uint32_t room = length - kTrailerSize;
    uint32_t forwarded = kCommandHead;
    for (uint32_t i = 0; i < entries && forwarded <= room; ++i) {
        forwarded += forwarded + 2 <= room ? 3u + body[forwarded + 1] : room + 1;
    }
    if (forwarded > room) {
        kr_Print(0x72, "EMM data length error.");
        return -1;
    }
    forwarded += kTrailerSize;
    if (forwarded > kMaxCommandBody) return -1;

    uint8_t command[kCardCommandMax];
    command[0] = 0xC0;
    command[1] = 0xE4;
    command[2] = 0x08;
    command[3] = 0x00;
    command[4] = static_cast<uint8_t>(forwarded + 1);
    command[5] = parameter;
    std::memcpy(command + 6, body, forwarded);

    uint8_t answer[kCardResponseSize];
    uint32_t answerLength = 0;
    {
        CardTransaction transaction(kFileCaApplication);
        if (transaction.result() != 0) return 1;
        uint8_t response[kCardResponseSize];
        uint32_t responseLength = forwarded + 6;
        if (kr_CardExchange(&responseLength, command, response) != 0) return 1;
        const uint16_t status = StatusWord(response, responseLength);
        answerLength = status & 0xFF;
        if ((status >> 8) != 0x61 || answerLength == 0) return -1;
        if (kr_CardGetResponse(answer, static_cast<uint8_t>(answerLength)) != 0) return 1;
    }
    const uint8_t count = answer[0];
    kr_Print(0x72, "Command count: %d", count);
    {
        SlowLockGuard hold(CardLock());
        if (kr_CardReset() != 0) return 1;
        uint32_t at = 1;
        for (uint8_t i = 0; i < count; ++i) {
            const uint32_t size = at < answerLength ? answer[at] : 0;
            if (size < kMinCardCommand || at + 1 + size > answerLength) {
                kr_Print(0x73, "Card command length error.");
                break;
            }
            uint32_t exchanged = size;
            uint8_t response[kCardResponseSize];
            if (kr_CardExchange(&exchanged, answer + at + 1, response) != 0) return 1;
            at += 1 + size;
        }
    }
    // Recorded only now: an EMM whose commands did not all reach the card is carried out again
    // when it comes round.
    {
        ShortLockGuard hold(Ca().lock);
        Ca().lastCommandSeq = sequence;
    }
    RefreshCardSettings();
    return 0;
}

}  // namespace kr
