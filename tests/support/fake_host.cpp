#include "support/fake_host.h"

#include <algorithm>
#include <cstring>
#include <shared_mutex>

namespace krtest {
namespace {

// Dispatchers hold it shared for the length of a call; a host being destroyed takes it
// exclusively, so no slot function ever runs on a host that is gone.
std::shared_mutex& CurrentMutex() {
    static std::shared_mutex mutex;
    return mutex;
}
FakeHost* current = nullptr;

template <typename Fn>
int32_t WithHost(Fn&& fn) {
    std::shared_lock<std::shared_mutex> hold(CurrentMutex());
    if (current == nullptr) return -1;
    return fn(*current);
}

HostCall MakeCall(Slot slot, std::vector<uint32_t> words = {}) {
    HostCall call;
    call.slot = slot;
    call.words = std::move(words);
    return call;
}

int32_t EpgUpdateNotify(uint32_t what) {
    return WithHost([&](FakeHost& host) {
        host.Record(MakeCall(Slot::EpgUpdateNotify, {what}));
        return 0;
    });
}

int32_t SetSectionFilter(uint32_t requestId, SectionFilterParams params) {
    return WithHost([&](FakeHost& host) {
        HostCall call = MakeCall(Slot::SetSectionFilter, {requestId});
        call.filter = params;
        const auto* raw = reinterpret_cast<const uint8_t*>(&params);
        call.bytes.assign(raw, raw + sizeof params);
        const int32_t result = host.filterResult();
        call.words.push_back(static_cast<uint32_t>(result));
        host.Record(std::move(call));
        return result;
    });
}

int32_t StopSectionFilter(uint32_t requestId) {
    return WithHost([&](FakeHost& host) {
        host.Record(MakeCall(Slot::StopSectionFilter, {requestId}));
        return 0;
    });
}

int32_t Reserved4() {
    return WithHost([](FakeHost& host) {
        host.Record(MakeCall(Slot::Reserved4));
        return 0;
    });
}

int32_t Reserved13() {
    return WithHost([](FakeHost& host) {
        host.Record(MakeCall(Slot::Reserved13));
        return 0;
    });
}

int32_t Reserved16() {
    return WithHost([](FakeHost& host) {
        host.Record(MakeCall(Slot::Reserved16));
        return 0;
    });
}

int32_t GetCurrentFrequency(uint32_t* frequency) {
    return WithHost([&](FakeHost& host) {
        if (frequency != nullptr) *frequency = host.frequency();
        host.Record(MakeCall(Slot::GetCurrentFrequency));
        return 0;
    });
}

int32_t SetDescrambler(DescramblerRecord record, uint32_t always1) {
    return WithHost([&](FakeHost& host) {
        HostCall call = MakeCall(Slot::SetDescrambler, {always1});
        call.descrambler = record;
        const auto* raw = reinterpret_cast<const uint8_t*>(&record);
        call.bytes.assign(raw, raw + sizeof record);
        host.Record(std::move(call));
        return 0;
    });
}

int32_t ShowMessage(uint32_t messageId, const char* text, uint32_t always0, uint32_t hideLater) {
    return WithHost([&](FakeHost& host) {
        HostCall call = MakeCall(Slot::ShowMessage, {messageId, always0, hideLater});
        if (text != nullptr) call.text = text;
        host.Record(std::move(call));
        return 0;
    });
}

int32_t HideMessage() {
    return WithHost([](FakeHost& host) {
        host.Record(MakeCall(Slot::HideMessage));
        return 0;
    });
}

int32_t MailNotify(uint32_t state) {
    return WithHost([&](FakeHost& host) {
        host.Record(MakeCall(Slot::MailNotify, {state}));
        return 0;
    });
}

int32_t GetStoreBuffer(uint32_t* size, uintptr_t* storeHandle) {
    return WithHost([&](FakeHost& host) { return host.StoreBuffer(size, storeHandle); });
}

int32_t ReadStore(uintptr_t storeHandle, uint32_t* length, uint8_t* destination) {
    return WithHost([&](FakeHost& host) {
        host.StoreRead(storeHandle, length, destination);
        return 0;
    });
}

int32_t WriteStore(uintptr_t storeHandle, uint32_t* length, const uint8_t* source) {
    return WithHost([&](FakeHost& host) {
        host.StoreWrite(storeHandle, length, source);
        return 0;
    });
}

int32_t DebugPrint(const char* text) {
    return WithHost([&](FakeHost& host) {
        host.OnDebugLine(text != nullptr ? text : "");
        return 0;
    });
}

int32_t RedirectService(uint16_t first, uint16_t second, uint16_t third) {
    return WithHost([&](FakeHost& host) {
        host.Record(MakeCall(Slot::RedirectService, {first, second, third}));
        return 0;
    });
}

int32_t SmartcardApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    return WithHost([&](FakeHost& host) { return host.Apdu(length, command, response); });
}

int32_t SmartcardReset(uint8_t* answerToReset, uint32_t* length) {
    return WithHost([&](FakeHost& host) { return host.Reset(answerToReset, length); });
}

}  // namespace

FakeHost::FakeHost() {
    std::unique_lock<std::shared_mutex> hold(CurrentMutex());
    previous_ = current;
    current = this;
}

FakeHost::~FakeHost() {
    std::unique_lock<std::shared_mutex> hold(CurrentMutex());
    if (current == this) current = previous_;
}

FakeHost* FakeHost::Current() {
    std::shared_lock<std::shared_mutex> hold(CurrentMutex());
    return current;
}

HostCallbacks FakeHost::AllSlots() {
    HostCallbacks slots{};
    slots.EpgUpdateNotify = EpgUpdateNotify;
    slots.SetSectionFilter = SetSectionFilter;
    slots.StopSectionFilter = StopSectionFilter;
    slots.Reserved4 = Reserved4;
    slots.GetCurrentFrequency = GetCurrentFrequency;
    slots.SetDescrambler = SetDescrambler;
    slots.ShowMessage = ShowMessage;
    slots.HideMessage = HideMessage;
    slots.MailNotify = MailNotify;
    slots.GetStoreBuffer = GetStoreBuffer;
    slots.ReadStore = ReadStore;
    slots.WriteStore = WriteStore;
    slots.Reserved13 = Reserved13;
    slots.DebugPrint = DebugPrint;
    slots.RedirectService = RedirectService;
    slots.Reserved16 = Reserved16;
    slots.SmartcardApdu = SmartcardApdu;
    slots.SmartcardReset = SmartcardReset;
    return slots;
}

InitRecord FakeHost::MakeInitRecord(uint32_t sectionBufferCount) {
    InitRecord record{};
    record.sectionBufferCount = sectionBufferCount;
    record.callbacks = AllSlots();
    return record;
}

void FakeHost::SetFilterResult(int32_t result) {
    std::lock_guard<std::mutex> hold(mutex_);
    filterResult_ = result;
}

void FakeHost::SetFrequency(uint32_t frequency) {
    std::lock_guard<std::mutex> hold(mutex_);
    frequency_ = frequency;
}

void FakeHost::SetStoreSize(uint32_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    store_.assign(size, 0);
}

void FakeHost::SetStoreContents(std::vector<uint8_t> image) {
    std::lock_guard<std::mutex> hold(mutex_);
    store_ = std::move(image);
}

std::vector<uint8_t> FakeHost::StoreContents() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return store_;
}

void FakeHost::SetSmartcard(
    std::function<int32_t(const std::vector<uint8_t>&, std::vector<uint8_t>&)> apdu) {
    std::lock_guard<std::mutex> hold(mutex_);
    apdu_ = std::move(apdu);
}

void FakeHost::SetSmartcardReset(int32_t result, std::vector<uint8_t> answerToReset) {
    std::lock_guard<std::mutex> hold(mutex_);
    resetResult_ = result;
    answerToReset_ = std::move(answerToReset);
}

void FakeHost::SetDebugHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    debugHook_ = std::move(hook);
}

std::vector<HostCall> FakeHost::Calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
}

std::vector<HostCall> FakeHost::Calls(Slot slot) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<HostCall> matching;
    for (const HostCall& call : calls_) {
        if (call.slot == slot) matching.push_back(call);
    }
    return matching;
}

size_t FakeHost::CallCount(Slot slot) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                             [slot](const HostCall& c) { return c.slot == slot; }));
}

std::vector<std::string> FakeHost::DebugLines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::string> lines;
    for (const HostCall& call : calls_) {
        if (call.slot == Slot::DebugPrint) lines.push_back(call.text);
    }
    return lines;
}

bool FakeHost::HasDebugLine(const std::string& exact) const {
    for (const std::string& line : DebugLines()) {
        if (line == exact) return true;
    }
    return false;
}

bool FakeHost::HasDebugText(const std::string& substring) const {
    for (const std::string& line : DebugLines()) {
        if (line.find(substring) != std::string::npos) return true;
    }
    return false;
}

void FakeHost::Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.clear();
}

bool FakeHost::WaitFor(const std::function<bool()>& condition, Deadline deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::unique_lock<std::mutex> hold(mutex_);
    while (true) {
        hold.unlock();
        const bool met = condition();
        hold.lock();
        if (met) return true;
        // Re-checks at least every 20 ms for conditions that no host call announces.
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return false;
        changed_.wait_for(hold, std::min<std::chrono::steady_clock::duration>(
                                    until - now, std::chrono::milliseconds(20)));
    }
}

bool FakeHost::WaitForCalls(Slot slot, size_t count, Deadline deadline) {
    return WaitFor([&] { return CallCount(slot) >= count; }, deadline);
}

bool FakeHost::WaitForDebugText(const std::string& substring, Deadline deadline) {
    return WaitFor([&] { return HasDebugText(substring); }, deadline);
}

void FakeHost::Record(HostCall call) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        calls_.push_back(std::move(call));
    }
    changed_.notify_all();
}

int32_t FakeHost::filterResult() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return filterResult_;
}

uint32_t FakeHost::frequency() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return frequency_;
}

int32_t FakeHost::StoreBuffer(uint32_t* size, uintptr_t* handle) {
    std::lock_guard<std::mutex> hold(mutex_);
    HostCall call = MakeCall(Slot::GetStoreBuffer);
    const int32_t result = store_.empty() ? -1 : 0;
    if (result == 0) {
        if (size != nullptr) *size = static_cast<uint32_t>(store_.size());
        if (handle != nullptr) *handle = reinterpret_cast<uintptr_t>(store_.data());
    }
    call.words.push_back(static_cast<uint32_t>(result));
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return result;
}

void FakeHost::StoreRead(uintptr_t handle, uint32_t* length, uint8_t* destination) {
    std::lock_guard<std::mutex> hold(mutex_);
    HostCall call = MakeCall(Slot::ReadStore, {length != nullptr ? *length : 0});
    if (length != nullptr && destination != nullptr &&
        handle == reinterpret_cast<uintptr_t>(store_.data())) {
        const uint32_t n = std::min<uint32_t>(*length, static_cast<uint32_t>(store_.size()));
        std::memcpy(destination, store_.data(), n);
        *length = n;
    }
    calls_.push_back(std::move(call));
    changed_.notify_all();
}

void FakeHost::StoreWrite(uintptr_t handle, uint32_t* length, const uint8_t* source) {
    std::lock_guard<std::mutex> hold(mutex_);
    HostCall call = MakeCall(Slot::WriteStore, {length != nullptr ? *length : 0});
    if (length != nullptr && source != nullptr &&
        handle == reinterpret_cast<uintptr_t>(store_.data())) {
        const uint32_t n = std::min<uint32_t>(*length, static_cast<uint32_t>(store_.size()));
        // The module may hand the store buffer itself as the source.
        std::memmove(store_.data(), source, n);
        call.bytes.assign(source, source + n);
        *length = n;
    }
    calls_.push_back(std::move(call));
    changed_.notify_all();
}

int32_t FakeHost::Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    std::function<int32_t(const std::vector<uint8_t>&, std::vector<uint8_t>&)> apdu;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        apdu = apdu_;
    }
    HostCall call = MakeCall(Slot::SmartcardApdu);
    if (length == nullptr || command == nullptr || response == nullptr) {
        Record(std::move(call));
        return -1;
    }
    call.bytes.assign(command, command + *length);
    std::vector<uint8_t> answer;
    const int32_t result = apdu ? apdu(call.bytes, answer) : -1;
    if (result == 0) {
        std::memcpy(response, answer.data(), answer.size());
        *length = static_cast<uint32_t>(answer.size());
    }
    call.words.push_back(static_cast<uint32_t>(result));
    Record(std::move(call));
    return result;
}

int32_t FakeHost::Reset(uint8_t* answerToReset, uint32_t* length) {
    std::lock_guard<std::mutex> hold(mutex_);
    HostCall call = MakeCall(Slot::SmartcardReset, {static_cast<uint32_t>(resetResult_)});
    if (resetResult_ == 0 && answerToReset != nullptr && length != nullptr) {
        const size_t n = std::min<size_t>(answerToReset_.size(), 64);
        std::memcpy(answerToReset, answerToReset_.data(), n);
        *length = static_cast<uint32_t>(n);
    }
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return resetResult_;
}

void FakeHost::OnDebugLine(const std::string& line) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        hook = debugHook_;
    }
    if (hook) hook(line);
    HostCall call = MakeCall(Slot::DebugPrint);
    call.text = line;
    Record(std::move(call));
}

std::string IndentedLine(const char* tag, int level, const std::string& text) {
    return std::string(tag) + std::string(static_cast<size_t>(2 * (level - 1)), ' ') + text +
           "\r\n";
}

}  // namespace krtest
