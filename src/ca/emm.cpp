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
#include "core/counters.h"
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

bool SeenBefore(uint8_t type, std::span<const uint8_t> crc) {
    ShortLockGuard hold(Ca().lock);
    return std::memcmp(Ca().lastEmmCrc[type], crc.data(), 4) == 0;
}

void Remember(uint8_t type, std::span<const uint8_t> crc) {
    ShortLockGuard hold(Ca().lock);
    std::memcpy(Ca().lastEmmCrc[type], crc.data(), 4);
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

// A text record: its id, two fields nobody reads, and the text, all inside the record. false
// when they are not (the section ends there); an id that is there is remembered all the same.
bool HandleText(std::span<const uint8_t> record) {
    ByteReader in(record);
    const uint32_t id = in.Be32();
    if (!in.ok()) return false;
    if (kr_HistorySeen(kHistoryEmmText, id) == KR_YES) return true;
    kr_HistoryRemember(kHistoryEmmText, id);
    in.Skip(4);
    in.Skip(in.U8());
    in.Skip(in.U8());
    const std::span<const uint8_t> text = in.Bytes(in.U8());
    if (!in.ok()) return false;
    ShowText(text);
    return true;
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

// The length of the body that goes to the card: the head, the entries, the trailer; 0 when they
// are not all in the body.
uint32_t ForwardedLength(std::span<const uint8_t> body) {
    ByteReader in(body);
    in.Skip(kCommandHead - 2);  // sequence, and 4 bytes for the card
    const uint16_t entries = in.Be16();
    for (uint32_t i = 0; i < entries && in.ok(); ++i) {
        in.Skip(1);
        in.Skip(1u + in.U8());
    }
    in.Skip(kTrailerSize);
    return in.ok() ? static_cast<uint32_t>(in.position()) : 0;
}

// Runs the commands the card listed in its answer: a count, then each command behind its length.
// 0 and the number sent in *sent; 1 an exchange failed.
int32_t RunCardCommands(std::span<const uint8_t> answer, uint32_t* sent) {
    ByteReader in(answer);
    const uint8_t count = in.U8();
    kr_Print(0x72, "Command count: %d", count);
    SlowLockGuard hold(CardLock());
    if (kr_CardReset() != 0) return 1;
    for (uint8_t i = 0; i < count; ++i) {
        const std::span<const uint8_t> command = in.Bytes(in.U8());
        if (!in.ok()) {
            kr_Print(0x73, "Card command length error.");
            break;
        }
        // An empty command has nothing for the card; every other goes as the card wrote it.
        if (command.empty()) continue;
        uint32_t exchanged = static_cast<uint32_t>(command.size());
        uint8_t response[kCardResponseSize];
        if (kr_CardExchange(&exchanged, command.data(), response) != 0) return 1;
        ++*sent;
    }
    return 0;
}

}  // namespace

int32_t kr_EmmParse(const uint8_t* section, uint32_t length) {
    if (Ca().cardReady.load() == 0) {
        Tally(Count::EmmsNoCard);
        kr_Print(0x72, "No smart card insert.");
        return -1;
    }
    if (section == nullptr || length < kHeaderSize + kCrcSize) {
        Tally(Count::EmmsBadLength);
        kr_Print(0x72, "EMM data length error.");
        return -3;
    }
    ByteReader in(section, length - kCrcSize);
    in.Skip(5);
    const std::span<const uint8_t> address = in.Bytes(kCardIdSize);
    const uint8_t parameter = in.U8();
    const uint8_t type = in.U8();
    in.Skip(4);
    const std::span<const uint8_t> body = in.Bytes(in.remaining());
    const std::span<const uint8_t> crc(section + length - kCrcSize, kCrcSize);

    uint8_t cardId[kCardIdSize];
    CopyCardId(cardId);
    if (std::memcmp(address.data(), cardId, kCardIdSize) != 0) {
        Tally(Count::EmmsOtherCard);
        kr_Print(0x72, "EMM return because card id error.");
        return KR_NOT_THIS_CARD;
    }
    if (type < kEmmTypeCount && SeenBefore(type, crc)) {
        Tally(Count::EmmsRepeated);
        kr_Print(0x74, "Emm type %d saved.", type);
        return 1;
    }
    if (type == kTypeMessage) {
        ByteReader area(body);
        const std::span<const uint8_t> records = area.Bytes(area.Be16());
        if (!area.ok()) {
            // Remembered: it would be just as cut when it comes round again.
            Tally(Count::EmmsRecordCut);
            kr_Print(0x72, "EMM data length error.");
            Remember(type, crc);
            return 0;
        }
        if (kr_EmmMessages(records.data(), static_cast<uint32_t>(records.size())) == 0)
            Remember(type, crc);
    } else if (type == kTypeCardCommand) {
        // A card that failed did not carry the EMM out: it is taken again when it comes round.
        if (kr_EmmCardCommands(body.data(), static_cast<uint32_t>(body.size()), parameter) != 1) {
            Remember(type, crc);
        } else {
            Tally(Count::EmmsCardFailed);
        }
    }
    return 0;
}

int32_t kr_EmmMessages(const uint8_t* records, uint32_t length) {
    kr_Print(0x72, "Parse EMM, type: 3");
    ByteReader in(records, length);
    while (in.remaining() > 0) {
        const uint8_t tag = in.U8();
        const std::span<const uint8_t> record = in.Bytes(in.U8());
        const bool whole = in.ok() && (tag != kTextTag || HandleText(record));
        if (!whole) {
            Tally(Count::EmmsRecordCut);
            kr_Print(0x73, "Invalid EMM record len.");
            return 0;
        }
        if (tag == kMailTag) {
            const int32_t result = kr_MailAdd(record.data(), static_cast<uint32_t>(record.size()));
            if (result == kMailRecordCut) {
                Tally(Count::EmmsRecordCut);
                return 0;
            }
            if (result != 0 && result != KR_NO_UPDATE) return result;
        }
    }
    return 0;
}

int32_t kr_EmmCardCommands(const uint8_t* body, uint32_t length, uint8_t parameter) {
    const std::span<const uint8_t> whole(body, body != nullptr ? length : 0);
    if (whole.size() < kCommandHead + kTrailerSize) {
        kr_Print(0x72, "EMM data length error.");
        return -1;
    }
    const uint32_t sequence = ByteReader(whole).Be32();
    if (sequence == LastSequence()) return KR_NO_UPDATE;
    kr_Print(0x72, "Parse EMM, type: %d", kTypeCardCommand);
    const uint32_t forwarded = ForwardedLength(whole);
    if (forwarded == 0) {
        kr_Print(0x72, "EMM data length error.");
        return -1;
    }
    if (forwarded > kMaxCommandBody) return -1;

    CardCommand command = CardCommand::Ca(kCaEmmCommand, 0x00);
    command.Append(parameter);
    command.Append(whole.first(forwarded));

    uint8_t answer[kCardResponseSize];
    uint32_t answerLength = 0;
    {
        CardTransaction transaction(kFileCaApplication);
        if (transaction.result() != 0) return 1;
        uint8_t response[kCardResponseSize];
        uint32_t responseLength = command.size();
        if (kr_CardExchange(&responseLength, command.bytes(), response) != 0) return 1;
        const uint16_t status = StatusWord(response, responseLength);
        answerLength = status & 0xFF;
        if ((status >> 8) != 0x61 || answerLength == 0) return -1;
        if (kr_CardGetResponse(answer, static_cast<uint8_t>(answerLength)) != 0) return 1;
    }
    uint32_t sent = 0;
    if (RunCardCommands({answer, answerLength}, &sent) != 0) return 1;
    // Recorded only now: an EMM whose commands did not all reach the card is carried out again
    // when it comes round.
    {
        ShortLockGuard hold(Ca().lock);
        Ca().lastCommandSeq = sequence;
    }
    // Read again only when the card ran commands, which may have changed them.
    if (sent != 0) RefreshCardSettings();
    return 0;
}

}  // namespace kr
