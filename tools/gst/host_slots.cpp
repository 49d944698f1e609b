#include "host_slots.h"

#include <algorithm>
#include <cstring>

#include "terminal/control_words.h"
#include "terminal/host_messages.h"

namespace krgst {
namespace {

std::atomic<DemuxHost*> current{nullptr};

std::string Text(const char* text, std::size_t max = 1024) {
    if (text == nullptr) return {};
    return std::string(text, strnlen(text, max));
}

int32_t EpgUpdateNotify(uint32_t what) {
    if (DemuxHost* h = current.load()) h->events().OnEpgNotice(what);
    return 0;
}

int32_t SetSectionFilter(uint32_t requestId, SectionFilterParams params) {
    DemuxHost* h = current.load();
    return h != nullptr ? h->SetFilter(requestId, params) : -1;
}

int32_t StopSectionFilter(uint32_t requestId) {
    if (DemuxHost* h = current.load()) h->StopFilter(requestId);
    return 0;
}

int32_t Reserved() {
    return 0;
}

int32_t GetCurrentFrequency(uint32_t* frequency) {
    DemuxHost* h = current.load();
    if (h != nullptr && frequency != nullptr) *frequency = h->frequency();
    return 0;
}

int32_t SetDescrambler(DescramblerRecord record, uint32_t) {
    if (DemuxHost* h = current.load()) h->SetDescrambler(record);
    return 0;
}

int32_t ShowMessage(uint32_t number, const char* text, uint32_t, uint32_t) {
    DemuxHost* h = current.load();
    if (h == nullptr) return 0;
    const char* meaning = krtools::MessageMeaning(number);
    h->events().OnMessage(number, text != nullptr      ? Text(text)
                                  : meaning != nullptr ? std::string(meaning)
                                                       : std::string());
    return 0;
}

int32_t HideMessage() {
    if (DemuxHost* h = current.load()) h->events().OnMessageHidden();
    return 0;
}

int32_t MailNotify(uint32_t state) {
    DemuxHost* h = current.load();
    if (h == nullptr) return 0;
    h->events().OnMail(state, state == 0   ? "new mail"
                              : state == 1 ? "the mail store is full"
                                           : "notice " + std::to_string(state));
    return 0;
}

int32_t GetStoreBuffer(uint32_t* size, uintptr_t* handle) {
    DemuxHost* h = current.load();
    return h != nullptr ? h->StoreBuffer(size, handle) : -1;
}

int32_t ReadStore(uintptr_t handle, uint32_t* length, uint8_t* destination) {
    if (DemuxHost* h = current.load()) h->ReadStore(handle, length, destination);
    return 0;
}

int32_t WriteStore(uintptr_t handle, uint32_t* length, const uint8_t* source) {
    if (DemuxHost* h = current.load()) h->WriteStore(handle, length, source);
    return 0;
}

int32_t DebugPrint(const char* text) {
    if (DemuxHost* h = current.load(); h != nullptr && text != nullptr) {
        std::string line = Text(text, 4096);
        std::erase(line, '\r');
        std::erase(line, '\n');
        h->events().OnDebug(line);
    }
    return 0;
}

// An empty slot answers as a card that is not there.
int32_t SmartcardReset(uint8_t* answerToReset, uint32_t* length) {
    DemuxHost* h = current.load();
    return h != nullptr && h->card() != nullptr ? h->card()->Reset(answerToReset, length) : 1;
}

int32_t SmartcardApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    DemuxHost* h = current.load();
    return h != nullptr && h->card() != nullptr ? h->card()->Apdu(length, command, response) : 1;
}

int32_t RedirectService(uint16_t first, uint16_t second, uint16_t third) {
    if (DemuxHost* h = current.load()) h->events().OnRedirect(first, second, third);
    return 0;
}

}  // namespace

DemuxHost::DemuxHost(HostEvents& events, std::unique_ptr<krtools::StoreFile> store,
                     std::unique_ptr<krtools::CardReader> card, uint32_t frequency)
    : events_(events), store_(std::move(store)), card_(std::move(card)), frequency_(frequency) {}

DemuxHost::~DemuxHost() {
    if (claimed_) current.store(nullptr);
}

bool DemuxHost::Claim() {
    DemuxHost* none = nullptr;
    claimed_ = current.compare_exchange_strong(none, this);
    return claimed_;
}

InitRecord DemuxHost::MakeInitRecord(uint32_t sectionBuffers) const {
    InitRecord record{};
    record.sectionBufferCount = sectionBuffers;
    HostCallbacks& c = record.callbacks;
    c.EpgUpdateNotify = EpgUpdateNotify;
    c.SetSectionFilter = SetSectionFilter;
    c.StopSectionFilter = StopSectionFilter;
    c.Reserved4 = Reserved;
    c.GetCurrentFrequency = GetCurrentFrequency;
    c.SetDescrambler = krgst::SetDescrambler;
    c.ShowMessage = ShowMessage;
    c.HideMessage = HideMessage;
    c.MailNotify = MailNotify;
    c.GetStoreBuffer = GetStoreBuffer;
    c.ReadStore = krgst::ReadStore;
    c.WriteStore = krgst::WriteStore;
    c.Reserved13 = Reserved;
    c.DebugPrint = DebugPrint;
    c.RedirectService = RedirectService;
    c.Reserved16 = Reserved;
    c.SmartcardApdu = SmartcardApdu;
    c.SmartcardReset = SmartcardReset;
    return record;
}

int32_t DemuxHost::SetFilter(uint32_t requestId, const SectionFilterParams& params) {
    filters_.Set(requestId, params);
    return 0;
}

void DemuxHost::StopFilter(uint32_t requestId) {
    const std::optional<uint16_t> pid = filters_.Stop(requestId);
    // Keys of a PID nothing is received from any more must not open a later service on it.
    if (pid && !filters_.WantsPid(*pid)) descrambler_.Clear(*pid);
}

void DemuxHost::SetDescrambler(const DescramblerRecord& record) {
    events_.OnDebug(krtools::ApplyControlWords(descrambler_, record));
}

// The store handle is the address of the store image in memory.
int32_t DemuxHost::StoreBuffer(uint32_t* size, uintptr_t* handle) {
    if (store_ == nullptr || size == nullptr || handle == nullptr) return -1;
    *size = krtools::kStoreSize;
    *handle = reinterpret_cast<uintptr_t>(store_->buffer());
    return 0;
}

void DemuxHost::ReadStore(uintptr_t handle, uint32_t* length, uint8_t* destination) {
    if (store_ == nullptr || length == nullptr || destination == nullptr ||
        handle != reinterpret_cast<uintptr_t>(store_->buffer()))
        return;
    *length = static_cast<uint32_t>(store_->Read(destination, *length));
}

void DemuxHost::WriteStore(uintptr_t handle, uint32_t* length, const uint8_t* source) {
    if (store_ == nullptr || length == nullptr || source == nullptr ||
        handle != reinterpret_cast<uintptr_t>(store_->buffer()))
        return;
    std::string error;
    if (!store_->Write(source, *length, error)) {
        // Said once: a store that cannot be written usually stays so.
        if (!saidStoreFailure_.exchange(true)) events_.OnWarning("store not saved: " + error);
        return;
    }
    *length = std::min<uint32_t>(*length, krtools::kStoreSize);
}

}  // namespace krgst
