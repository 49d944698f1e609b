#include "ca/broadcast_data.h"

#include <krmodule/krmodule.h>

#include <cstring>
#include <span>

#include "ca/ca_state.h"
#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/checksum.h"
#include "core/host.h"
#include "core/counters.h"
#include "core/log.h"

namespace kr {
namespace {

constexpr uint32_t kDescriptorsOffset = 21;
constexpr uint32_t kMinArea = 8;
constexpr uint8_t kTextTag = 0x82;
constexpr uint8_t kRedirectionTag = 0x83;

bool SameAsLast(const uint8_t* crc) {
    ShortLockGuard hold(Ca().lock);
    return std::memcmp(Ca().lastBrdCrc, crc, 4) == 0;
}

void RememberSection(const uint8_t* crc) {
    ShortLockGuard hold(Ca().lock);
    std::memcpy(Ca().lastBrdCrc, crc, 4);
}

// The handlers read from a descriptor's body on and leave the reader behind the descriptor: one
// whose id was seen is passed over by its length byte, one that is handled by its content, which
// ends where its fields do. false: the fields are not in the area (the parse ends).
bool HandleText(ByteReader& in, uint8_t length) {
    const std::size_t body = in.position();
    const uint32_t id = in.Be32();
    if (!in.ok()) return false;
    if (kr_HistorySeen(kHistoryBroadcastText, id) == KR_YES) {
        kr_Print(0x74, "Text had been showed");
        return in.Seek(body + length);
    }
    // Remembered whoever it is for, so a carousel repeat costs no second look.
    kr_HistoryRemember(kHistoryBroadcastText, id);
    const std::span<const uint8_t> address = in.Bytes(kCardIdSize);
    const std::span<const uint8_t> mask = in.Bytes(kCardIdSize);
    const std::span<const uint8_t> text = in.Bytes(in.U8());
    if (!in.ok()) return false;
    if (kr_CardAddressMatch(address.data(), mask.data()) != KR_YES) return true;
    char buffer[256] = {};
    std::memcpy(buffer, text.data(), text.size());
    if (Host().ShowMessage != nullptr) (void)Host().ShowMessage(0xFF, buffer, 0, 0);
    return true;
}

bool HandleRedirection(ByteReader& in, uint8_t length) {
    const std::size_t body = in.position();
    const uint32_t id = in.Be32();
    if (!in.ok()) return false;
    if (kr_HistorySeen(kHistoryRedirection, id) == KR_YES) {
        kr_Print(0x74, "Redirection had been showed");
        return in.Seek(body + length);
    }
    kr_HistoryRemember(kHistoryRedirection, id);
    const std::span<const uint8_t> address = in.Bytes(kCardIdSize);
    const std::span<const uint8_t> mask = in.Bytes(kCardIdSize);
    const uint16_t first = in.Be16();
    const uint16_t second = in.Be16();
    const uint16_t third = in.Be16();
    if (!in.ok()) return false;
    if (kr_CardAddressMatch(address.data(), mask.data()) != KR_YES) return true;
    if (Host().RedirectService != nullptr) (void)Host().RedirectService(first, second, third);
    return true;
}

}  // namespace

int32_t kr_CardAddressMatch(const uint8_t* address, const uint8_t* mask) {
    uint8_t cardId[kCardIdSize];
    CopyCardId(cardId);
    for (int i = 0; i < kCardIdSize; ++i) {
        if ((cardId[i] & mask[i]) != (address[i] & mask[i])) return KR_NO;
    }
    return KR_YES;
}

int32_t kr_BrdParse(const uint8_t* section, uint32_t length) {
    if (section == nullptr) return KR_FAILED;
    if (length < kCrcSize) {
        Tally(Count::BroadcastDataBadLength);
        return -3;
    }
    const uint8_t* crc = section + length - kCrcSize;
    if (SameAsLast(crc)) {
        Tally(Count::BroadcastDataRepeated);
        kr_Print(0x74, "Parse a Broadcast Data but there is no update");
        return KR_NO_UPDATE;
    }
    // The area length itself must be there, before the CRC.
    if (length < kDescriptorsOffset + kCrcSize) {
        Tally(Count::BroadcastDataBadLength);
        kr_Print(0x72, "Brd data length error.");
        return -3;
    }
    kr_Print(0x72, "Parse broadcast data ...");
    const uint32_t area = ReadBe16(section, 19);
    if (area < kMinArea) {
        Tally(Count::BroadcastDataBadLength);
        kr_Print(0x72, "BRD private_len== 0");
        return -5;
    }
    // Descriptors end with the area or with the section, whichever comes first.
    const uint32_t room = length - kDescriptorsOffset - kCrcSize;
    ByteReader in(section + kDescriptorsOffset, area < room ? area : room);
    while (in.remaining() > 0) {
        const uint8_t tag = in.U8();
        const uint8_t n = in.U8();
        bool whole = in.ok() && n != 0;
        if (whole && tag == kTextTag) {
            whole = HandleText(in, n);
        } else if (whole && tag == kRedirectionTag) {
            whole = HandleRedirection(in, n);
        } else if (whole) {
            kr_Print(0x73, "unknow brd descriptor 0x%x", tag);
            whole = in.Skip(n);
        }
        if (!whole) {
            Tally(Count::BroadcastDataDescriptorCut);
            kr_Print(0x73, "Invalid descriptor len.");
            break;
        }
    }
    RememberSection(crc);
    return 0;
}

}  // namespace kr
