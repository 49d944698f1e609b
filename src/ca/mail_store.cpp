#include "ca/mail_store.h"

#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {

constexpr uint16_t kSfiMail = kMailFile.sfi;
constexpr uint8_t kRecordSize = kMailFile.size;
constexpr uint8_t kIndexRecord = 1;
constexpr uint8_t kFirstTitleRecord = 2;
constexpr int kTitleRecords = 3;
constexpr uint8_t kFirstContentRecord = 6;
constexpr int kTitleSize = 20;
constexpr int kTitlesPerRecord = 7;
constexpr int kContentMax = 124;
constexpr int kContentRoom = 125;  // what a content record can hold behind its head
constexpr int kInfoBytes = 10;

constexpr uint8_t kEndOfList = 63;
constexpr uint8_t kFreeBit = 0x80;
constexpr uint8_t kUnreadBit = 0x40;
constexpr uint8_t kInitialisedMask = 0xC0;
constexpr uint8_t kInitialised = 0x80;
constexpr uint8_t kEmptyHead = 0xBF;  // initialised, no mail
constexpr uint32_t kLinksSize = 104;
constexpr uint32_t kDeletedIdsOffset = 104;
constexpr int kDeletedIds = 9;

constexpr int32_t kUnknownMail = 0x88;
constexpr int32_t kNotOffered = 0xF0;
constexpr uint32_t kAllMails = 0xFFFFFFFF;

using Index = uint8_t[kRecordSize];

Index mailIndex;
uint8_t titleCache[kTitleRecords * kRecordSize];

uint8_t& Link(uint8_t* index, int slot) {
    return index[4 + 5 * slot];
}
uint8_t* IdBytes(uint8_t* index, int slot) {
    return index + 5 + 5 * slot;
}
uint8_t Next(uint8_t link) {
    return link & 0x3F;
}
bool InUse(uint8_t link) {
    return (link & kFreeBit) == 0;
}

// The slots of the list in order. A corrupt index can link in a circle; a list never holds more
// than the store's slots.
template <typename Visit>
void WalkList(uint8_t* index, Visit&& visit) {
    int previous = kEndOfList;
    uint8_t slot = Next(index[0]);
    for (int steps = 0; slot < kMailSlots && steps < kMailSlots; ++steps) {
        if (!visit(static_cast<int>(slot), previous)) return;
        previous = slot;
        slot = Next(Link(index, slot));
    }
}

// The slot of the mail and the one before it in the list (kEndOfList when it is the first).
int FindSlot(uint8_t* index, uint32_t id, int* previousOut = nullptr) {
    int found = -1;
    WalkList(index, [&](int slot, int previous) {
        if (ReadBe32(IdBytes(index, slot), 0) != id) return true;
        found = slot;
        if (previousOut != nullptr) *previousOut = previous;
        return false;
    });
    return found;
}

void EmptyIndex(uint8_t* index) {
    std::memset(index, 0xFF, kLinksSize);
    index[0] = kEmptyHead;
}

void Notify(uint32_t mailState) {
    if (Host().MailNotify != nullptr) (void)Host().MailNotify(mailState);
}

bool CardReady() {
    return Ca().cardReady.load() != 0;
}

// The index written to the card and, once the card took it, made the module's copy.
int32_t StoreIndex(const Index& copy) {
    CardTransaction transaction(kMailFile.df);
    if (transaction.result() != 0) return transaction.result();
    const int32_t result = kr_CardUpdateRecord(kSfiMail, copy, kIndexRecord, kRecordSize);
    if (result == 0) std::memcpy(mailIndex, copy, sizeof mailIndex);
    return result;
}

struct MailFields {
    std::span<const uint8_t> id;
    std::span<const uint8_t> infoWord;
    std::span<const uint8_t> infoBytes;
    std::span<const uint8_t> title;
    std::span<const uint8_t> content;
};

bool ReadMail(const uint8_t* body, uint32_t length, MailFields& m) {
    ByteReader in(body, length);
    m.id = in.Bytes(4);
    m.infoWord = in.Bytes(4);
    m.infoBytes = in.Bytes(in.U8());
    m.title = in.Bytes(in.U8());
    m.content = in.Bytes(in.U8());
    return in.ok();
}

bool KnownId(const uint8_t* id) {
    for (int s = 0; s < kMailSlots; ++s) {
        if (InUse(Link(mailIndex, s)) && std::memcmp(IdBytes(mailIndex, s), id, 4) == 0)
            return true;
    }
    for (int i = 0; i < kDeletedIds; ++i) {
        if (std::memcmp(mailIndex + kDeletedIdsOffset + 4 * i, id, 4) == 0) return true;
    }
    return false;
}

// 0 stored, or the result to return; *full when no slot was free.
int32_t AddLocked(const MailFields& m, bool* full) {
    if (KnownId(m.id.data())) return KR_NO_UPDATE;
    int slot = -1;
    for (int s = 0; s < kMailSlots && slot < 0; ++s) {
        if (!InUse(Link(mailIndex, s))) slot = s;
    }
    if (slot < 0) {
        *full = true;
        return -4;
    }
    int last = -1;
    if (Next(mailIndex[0]) != kEndOfList) {
        for (int s = 0; s < kMailSlots && last < 0; ++s) {
            if (InUse(Link(mailIndex, s)) && Next(Link(mailIndex, s)) == kEndOfList) last = s;
        }
    }

    uint8_t content[kRecordSize] = {};
    std::memcpy(content, m.infoBytes.data(), std::min<std::size_t>(m.infoBytes.size(), kInfoBytes));
    std::memcpy(content + kInfoBytes, m.infoWord.data(), 4);
    const std::size_t n = std::min<std::size_t>(m.content.size(), kContentMax);
    content[14] = static_cast<uint8_t>(n);
    std::memcpy(content + 15, m.content.data(), n);
    uint8_t* title = titleCache + kTitleSize * slot;
    std::memset(title, 0, kTitleSize);
    std::memcpy(title, m.title.data(), std::min<std::size_t>(m.title.size(), kTitleSize));

    Index copy;
    std::memcpy(copy, mailIndex, sizeof copy);
    uint8_t& before = last < 0 ? copy[0] : Link(copy, last);
    before = static_cast<uint8_t>((before & kInitialisedMask) | slot);
    Link(copy, slot) = 0x7F;  // in use, unread, last
    std::memcpy(IdBytes(copy, slot), m.id.data(), 4);

    // Content and title first: an index entry never points at a mail that was not written.
    CardTransaction transaction(kMailFile.df);
    const int titleRecord = slot / kTitlesPerRecord;
    if (transaction.result() != 0 ||
        kr_CardUpdateRecord(kSfiMail, content, static_cast<uint8_t>(kFirstContentRecord + slot),
                            kRecordSize) != 0 ||
        kr_CardUpdateRecord(kSfiMail, titleCache + kRecordSize * titleRecord,
                            static_cast<uint8_t>(kFirstTitleRecord + titleRecord),
                            kRecordSize) != 0 ||
        kr_CardUpdateRecord(kSfiMail, copy, kIndexRecord, kRecordSize) != 0)
        return -1;
    std::memcpy(mailIndex, copy, sizeof mailIndex);
    return 0;
}

}  // namespace

void kr_MailClear() {
    SlowLockGuard hold(CardLock());
    std::memset(mailIndex, 0xFF, sizeof mailIndex);
}

int32_t kr_MailLoad() {
    bool unread = false;
    {
        SlowLockGuard hold(CardLock());
        std::memset(mailIndex, 0xFF, sizeof mailIndex);
        CardTransaction transaction(kMailFile.df);
        if (transaction.result() != 0) return transaction.result();
        for (int r = 0; r < kTitleRecords; ++r) {
            const int32_t result =
                kr_CardReadRecord(kSfiMail, titleCache + kRecordSize * r,
                                  static_cast<uint8_t>(kFirstTitleRecord + r), kRecordSize);
            if (result != 0) return result;
        }
        Index index;
        const int32_t result = kr_CardReadRecord(kSfiMail, index, kIndexRecord, kRecordSize);
        if (result != 0) return result;
        const bool initialised = (index[0] & kInitialisedMask) == kInitialised;
        const uint8_t first = Next(index[0]);
        if (!initialised || (first != kEndOfList && first >= kMailSlots)) {
            // Not an index this module wrote: the card gets an empty one.
            EmptyIndex(index);
            (void)kr_CardUpdateRecord(kSfiMail, index, kIndexRecord, kRecordSize);
        } else if (first == kEndOfList) {
            EmptyIndex(index);
        }
        std::memcpy(mailIndex, index, sizeof mailIndex);
        for (int s = 0; s < kMailSlots; ++s) {
            unread = unread || (Link(mailIndex, s) & (kFreeBit | kUnreadBit)) == kUnreadBit;
        }
    }
    if (unread) Notify(0);
    return 0;
}

int32_t kr_MailAdd(const uint8_t* body, uint32_t length) {
    MailFields mail;
    if (body == nullptr || !ReadMail(body, length, mail)) {
        kr_Print(0x73, "Mail record length error.");
        return kMailRecordCut;
    }
    bool full = false;
    int32_t result = 0;
    {
        SlowLockGuard hold(CardLock());
        result = AddLocked(mail, &full);
    }
    if (full) Notify(1);
    if (result == 0) Notify(0);
    return result;
}

}  // namespace kr

using namespace kr;

int32_t krca_T2CA_GetMailInfoList(void* /*list*/, uint8_t* /*count*/) {
    return kNotOffered;
}

int32_t krca_T2CA_GetMailTitleList(MailTitle* list, uint8_t* count) {
    if (count == nullptr) return KR_NULL_ARG;
    if (!CardReady()) return KR_CARD_NOT_READY;
    SlowLockGuard hold(CardLock());
    uint8_t n = 0;
    WalkList(mailIndex, [&](int slot, int) {
        if (list != nullptr) {
            MailTitle& entry = list[n];
            entry.mailId = ReadBe32(IdBytes(mailIndex, slot), 0);
            entry.read = (Link(mailIndex, slot) & kUnreadBit) == 0 ? 1 : 0;
            std::memcpy(entry.title, titleCache + kTitleSize * slot, kTitleSize);
        }
        ++n;
        return true;
    });
    *count = n;
    return 0;
}

int32_t krca_T2CA_GetMailContent(uint32_t mailId, MailContent* out) {
    if (out == nullptr) return KR_NULL_ARG;
    if (!CardReady()) return KR_CARD_NOT_READY;
    SlowLockGuard hold(CardLock());
    const int slot = FindSlot(mailIndex, mailId);
    if (slot < 0) return KR_FAILED;
    uint8_t record[kRecordSize] = {};
    {
        CardTransaction transaction(kMailFile.df);
        if (transaction.result() != 0) return transaction.result();
        const int32_t result = kr_CardReadRecord(
            kSfiMail, record, static_cast<uint8_t>(kFirstContentRecord + slot), kRecordSize);
        if (result != 0) return result;
    }
    std::memset(out, 0, sizeof *out);
    out->mailId = mailId;
    std::memcpy(&out->infoWord, record + kInfoBytes, 4);
    std::memcpy(out->infoBytes, record, kInfoBytes);
    const uint16_t length = std::min<uint16_t>(record[14], kContentRoom);
    out->length = length;
    std::memcpy(out->content, record + 15, length);
    return 0;
}

int32_t krca_T2CA_SetMailRead(uint32_t mailId) {
    if (!CardReady()) return KR_CARD_NOT_READY;
    SlowLockGuard hold(CardLock());
    const int slot = FindSlot(mailIndex, mailId);
    if (slot < 0) return kUnknownMail;
    Index copy;
    std::memcpy(copy, mailIndex, sizeof copy);
    Link(copy, slot) = static_cast<uint8_t>(Link(copy, slot) & ~kUnreadBit);
    return StoreIndex(copy);
}

int32_t krca_T2CA_DelMail(uint32_t mailId) {
    if (!CardReady()) return KR_CARD_NOT_READY;
    SlowLockGuard hold(CardLock());
    Index copy;
    if (mailId == kAllMails) {
        std::memset(copy, 0xFF, sizeof copy);
        copy[0] = kEmptyHead;
        return StoreIndex(copy);
    }
    int previous = kEndOfList;
    const int slot = FindSlot(mailIndex, mailId, &previous);
    if (slot < 0) return kUnknownMail;
    std::memcpy(copy, mailIndex, sizeof copy);
    uint8_t& before = previous == kEndOfList ? copy[0] : Link(copy, previous);
    before = static_cast<uint8_t>((before & kInitialisedMask) | Next(Link(copy, slot)));
    std::memset(&Link(copy, slot), 0xFF, 5);
    uint8_t* deleted = copy + kDeletedIdsOffset;
    std::memmove(deleted + 4, deleted, 4 * (kDeletedIds - 1));
    WriteBe32(deleted, 0, mailId);
    return StoreIndex(copy);
}
