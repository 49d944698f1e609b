#include "terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "control_words.h"
#include "json_writer.h"
#include "progress.h"

namespace krhost {
namespace {

std::atomic<Terminal*> current{nullptr};

// The store handle is the address of the store image in memory.
uintptr_t StoreHandle(Terminal& t) {
    return t.config().store != nullptr ? reinterpret_cast<uintptr_t>(t.config().store->buffer())
                                       : 0;
}

std::string Text(const char* text, std::size_t max = 1024) {
    if (text == nullptr) return {};
    return std::string(text, strnlen(text, max));
}

int32_t EpgUpdateNotify(uint32_t what) {
    if (Terminal* t = current.load()) t->OnEpgUpdate(what);
    return 0;
}

int32_t SetSectionFilter(uint32_t requestId, SectionFilterParams params) {
    Terminal* t = current.load();
    return t != nullptr ? t->OnSetFilter(requestId, params) : -1;
}

int32_t StopSectionFilter(uint32_t requestId) {
    if (Terminal* t = current.load()) t->OnStopFilter(requestId);
    return 0;
}

int32_t Reserved() {
    return 0;
}

int32_t GetCurrentFrequency(uint32_t* frequency) {
    Terminal* t = current.load();
    if (t != nullptr && frequency != nullptr) *frequency = t->config().frequency;
    return 0;
}

int32_t SetDescrambler(DescramblerRecord record, uint32_t) {
    if (Terminal* t = current.load()) t->OnSetDescrambler(record);
    return 0;
}

// One event on the console, or with --json one JSON line on standard output.
void TellEvent(const char* name, const std::string& line, const std::string& members) {
    // A command may wait for what the library tells (the card's messages).
    if (Terminal* t = current.load()) t->Poke();
    SayEvent(name, line, members);
}

std::string JsonMember(const char* name, const std::string& value) {
    return JsonQuote(name) + ":" + value;
}

// What a numbered message says when the library sends no text with it.
const char* MessageMeaning(uint32_t messageId) {
    switch (messageId) {
        case 0:
            return "the programme's rating is above the card's";
        case 1:
            return "outside the card's viewing hours";
        case 4:
            return "no card";
        case 8:
            return "the card refused the control words";
        case 9:
            return "the card is unusable";
        default:
            return nullptr;
    }
}

constexpr uint32_t kBroadcastMessage = 0xFF;

std::string JsonText(const std::string& text) {
    return text.empty() ? std::string("null") : JsonQuote(text);
}

int32_t ShowMessage(uint32_t messageId, const char* text, uint32_t, uint32_t) {
    const std::string number = std::to_string(messageId);
    if (messageId == kBroadcastMessage && text != nullptr) {
        TellEvent("message", "message: " + Text(text),
                  JsonMember("id", number) + "," + JsonMember("text", JsonQuote(Text(text))) +
                      "," + JsonMember("meaning", "null"));
        return 0;
    }
    const char* meaning = MessageMeaning(messageId);
    const std::string given = text != nullptr ? Text(text) : "";
    const std::string said = !given.empty() ? given : meaning != nullptr ? meaning : "";
    const std::string line = "message " + number + (said.empty() ? "" : ": " + said);
    if (Terminal* t = current.load()) t->NoteMessage(line);
    TellEvent("message", line,
              JsonMember("id", number) + "," + JsonMember("text", JsonText(given)) + "," +
                  JsonMember("meaning", meaning != nullptr ? JsonQuote(meaning) : "null"));
    return 0;
}

int32_t HideMessage() {
    TellEvent("messageHidden", "message hidden", "");
    return 0;
}

int32_t MailNotify(uint32_t state) {
    const std::string meaning = state == 0   ? "new mail"
                                : state == 1 ? "the mail store is full"
                                             : "notice " + std::to_string(state);
    TellEvent("mail", "mail: " + meaning,
              JsonMember("state", std::to_string(state)) + "," +
                  JsonMember("meaning", JsonQuote(meaning)));
    return 0;
}

int32_t GetStoreBuffer(uint32_t* size, uintptr_t* storeHandle) {
    Terminal* t = current.load();
    if (t == nullptr || t->config().store == nullptr || size == nullptr || storeHandle == nullptr)
        return -1;
    *size = kStoreSize;
    *storeHandle = StoreHandle(*t);
    return 0;
}

int32_t ReadStore(uintptr_t storeHandle, uint32_t* length, uint8_t* destination) {
    Terminal* t = current.load();
    if (t != nullptr && storeHandle == StoreHandle(*t)) t->OnReadStore(length, destination);
    return 0;
}

int32_t WriteStore(uintptr_t storeHandle, uint32_t* length, const uint8_t* source) {
    Terminal* t = current.load();
    if (t != nullptr && storeHandle == StoreHandle(*t)) t->OnWriteStore(length, source);
    return 0;
}

int32_t DebugPrint(const char* text) {
    if (Terminal* t = current.load()) t->OnDebugPrint(text);
    return 0;
}

// The card slot: no slot answers as an empty one.
int32_t SmartcardReset(uint8_t* answerToReset, uint32_t* length) {
    Terminal* t = current.load();
    return t != nullptr && t->config().card != nullptr
               ? t->config().card->Reset(answerToReset, length)
               : 1;
}

int32_t SmartcardApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    Terminal* t = current.load();
    return t != nullptr && t->config().card != nullptr
               ? t->config().card->Apdu(length, command, response)
               : 1;
}

int32_t RedirectService(uint16_t first, uint16_t second, uint16_t third) {
    const std::string f = std::to_string(first), s = std::to_string(second),
                      t = std::to_string(third);
    TellEvent("redirect", "redirect: " + f + " " + s + " " + t,
              JsonMember("first", f) + "," + JsonMember("second", s) + "," +
                  JsonMember("third", t));
    return 0;
}

}  // namespace

Terminal::Terminal(TerminalConfig config)
    : config_(config) {
    current.store(this);
}

Terminal::~Terminal() {
    current.store(nullptr);
}

InitRecord Terminal::MakeInitRecord(uint32_t sectionBuffers) const {
    InitRecord record{};
    record.sectionBufferCount = sectionBuffers;
    HostCallbacks& c = record.callbacks;
    c.EpgUpdateNotify = EpgUpdateNotify;
    c.SetSectionFilter = SetSectionFilter;
    c.StopSectionFilter = StopSectionFilter;
    c.Reserved4 = Reserved;
    c.GetCurrentFrequency = GetCurrentFrequency;
    c.SetDescrambler = SetDescrambler;
    c.ShowMessage = ShowMessage;
    c.HideMessage = HideMessage;
    c.MailNotify = MailNotify;
    c.GetStoreBuffer = GetStoreBuffer;
    c.ReadStore = ReadStore;
    c.WriteStore = WriteStore;
    c.Reserved13 = Reserved;
    c.DebugPrint = DebugPrint;
    c.RedirectService = RedirectService;
    c.Reserved16 = Reserved;
    c.SmartcardApdu = SmartcardApdu;
    c.SmartcardReset = SmartcardReset;
    return record;
}

void Terminal::Poke() {
    {
        std::lock_guard hold(mutex_);
        pokedFlag_ = true;
    }
    poked_.notify_all();
}

void Terminal::Wait(Clock::time_point deadline) {
    std::unique_lock hold(mutex_);
    poked_.wait_until(hold, deadline, [this] { return pokedFlag_; });
    pokedFlag_ = false;
}

// Runs on the library's system-information worker, which holds the module lock: only note the
// notice here; the session fetches and releases on its own thread.
void Terminal::OnEpgUpdate(uint32_t what) {
    if (what == KR_EPG_LIVE_CHANGED) liveNotice_.store(true);
    if (what == KR_EPG_DOWNLOAD_CHANGED) downloadNotice_.store(true);
    Poke();
}

int32_t Terminal::OnSetFilter(uint32_t requestId, const SectionFilterParams& params) {
    {
        // Datagram sections only: an ECM filter set in the same call brings keys.
        constexpr uint8_t kDatagramTable = 0x3E;
        std::lock_guard hold(dataFiltersMutex_);
        if (startingOn_ == std::this_thread::get_id() && params.mask[0] == 0xFF &&
            params.match[0] == kDatagramTable)
            programDataFilters_.insert(requestId);
        else
            programDataFilters_.erase(requestId);
    }
    filters_.Set(requestId, params);
    return 0;
}

void Terminal::BeginProgramStart() {
    std::lock_guard hold(dataFiltersMutex_);
    startingOn_ = std::this_thread::get_id();
}

void Terminal::EndProgramStart() {
    std::lock_guard hold(dataFiltersMutex_);
    startingOn_.reset();
}

bool Terminal::IsProgramDataFilter(uint32_t requestId) const {
    std::lock_guard hold(dataFiltersMutex_);
    return programDataFilters_.count(requestId) != 0;
}

void Terminal::OnStopFilter(uint32_t requestId) {
    {
        std::lock_guard hold(dataFiltersMutex_);
        programDataFilters_.erase(requestId);
    }
    const std::optional<uint16_t> pid = filters_.Stop(requestId);
    if (!pid) return;
    // Once nothing is received from a PID, its keys are of no use, and a later service on it
    // must not be opened with them.
    if (!filters_.WantsPid(*pid)) descrambler_.Clear(*pid);
}

void Terminal::OnReadStore(uint32_t* length, uint8_t* destination) {
    if (length == nullptr || destination == nullptr || config_.store == nullptr) return;
    *length = static_cast<uint32_t>(config_.store->Read(destination, *length));
}

void Terminal::OnWriteStore(uint32_t* length, const uint8_t* source) {
    if (length == nullptr || source == nullptr || config_.store == nullptr) return;
    std::string error;
    if (!config_.store->Write(source, *length, error)) {
        // Said once: a store that cannot be written usually stays so.
        if (storeFailures_.fetch_add(1) == 0) Say("warning: store not saved: " + error);
        return;
    }
    *length = static_cast<uint32_t>(std::min<uint32_t>(*length, kStoreSize));
}

std::string Terminal::LastMessage() const {
    std::lock_guard hold(messageMutex_);
    return lastMessage_;
}

void Terminal::NoteMessage(std::string text) {
    std::lock_guard hold(messageMutex_);
    lastMessage_ = std::move(text);
}

void Terminal::Note(Milestone milestone) {
    int64_t unset = 0;
    const int64_t now = std::max<int64_t>(1, Clock::now().time_since_epoch().count());
    milestones_[static_cast<std::size_t>(milestone)].compare_exchange_strong(unset, now);
}

std::optional<Clock::time_point> Terminal::When(Milestone milestone) const {
    const int64_t ticks = milestones_[static_cast<std::size_t>(milestone)].load();
    if (ticks == 0) return std::nullopt;
    return Clock::time_point(Clock::duration(ticks));
}

void Terminal::OnSetDescrambler(const DescramblerRecord& record) {
    const auto words = std::span(record.controlWordA);
    if (std::any_of(words.begin(), words.end(), [](uint8_t b) { return b != 0; }))
        Note(Milestone::FirstKeys);
    const std::string line = ApplyControlWords(descrambler_, record);
    const bool keys =
        std::any_of(words.begin(), words.end(), [](uint8_t b) { return b != 0; }) ||
        std::any_of(std::begin(record.controlWordB), std::end(record.controlWordB),
                    [](uint8_t b) { return b != 0; });
    if (JsonEvents())
        SayEvent("descrambler", line,
                 JsonMember("pid", std::to_string(record.request.pid)) + "," +
                     JsonMember("keys", keys ? "true" : "false"));
    else if (config_.debug)
        Say(line);
}

void Terminal::OnDebugPrint(const char* text) {
    if (!config_.debug || text == nullptr) return;
    std::string line = Text(text, 4096);
    // The library ends its lines with CR LF; a console wants LF alone.
    std::erase(line, '\r');
    if (line.empty() || line.back() != '\n') line += '\n';
    SayRaw(line);
}

}  // namespace krhost
