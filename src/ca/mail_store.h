// The operator's mails, kept on the subscriber's card (the record file of SFI 12 in the CA
// application): an index in record 1, the titles in records 2 to 4 and one content record per
// slot. The module keeps copies of the index and the titles so that the host can list mails
// without card traffic; every change goes to the card first and is taken over once the card
// accepted it. The copies are read and changed under the card lock.
#pragma once

#include <cstdint>

namespace kr {

constexpr int kMailSlots = 20;
// kr_MailAdd's answer for a mail record whose fields run past its length.
constexpr int32_t kMailRecordCut = -3;

// The copy of the index emptied (CA start, card removal).
void kr_MailClear();

// Reads the titles and the index from the card, mends an index that is not usable, and tells
// the host of unread mail. 0 or the card layer's result.
int32_t kr_MailLoad();

// The body of a mail record of an EMM and its length. 0 stored; KR_NO_UPDATE stored before or
// deleted; -4 the store is full; -1 the card failed; kMailRecordCut.
int32_t kr_MailAdd(const uint8_t* body, uint32_t length);

}  // namespace kr
