#include "support/fake_host.h"

#include <algorithm>
#include <concepts>
#include <cstring>
#include <shared_mutex>
#include <type_traits>
#include <utility>

namespace krtest {
namespace {

// Slot functions hold it shared for the length of a call; a host being destroyed takes it
// exclusively, so no slot function ever runs on a host that is gone.
std::shared_mutex& CurrentMutex() {
    static std::shared_mutex mutex;
    return mutex;
}
FakeHost* currentHost = nullptr;

template <typename Fn>
int32_t WithHost(Fn&& fn) {
    std::shared_lock<std::shared_mutex> hold(CurrentMutex());
    return currentHost != nullptr ? fn(*currentHost) : -1;
}

// What a call keeps of each argument: integers in order, the text, records as their bytes.
// Out-arguments are the answer's to fill.
void Keep(HostCall& call, std::integral auto value) {
    call.words.push_back(static_cast<uint32_t>(value));
}
void Keep(HostCall& call, const char* text) {
    if (text != nullptr) call.text = text;
}
template <typename Record>
requires std::is_class_v<Record>
void Keep(HostCall& call, const Record& record) {
    if constexpr (std::is_same_v<Record, SectionFilterParams>) call.filter = record;
    const auto* raw = reinterpret_cast<const uint8_t*>(&record);
    call.bytes.assign(raw, raw + sizeof record);
}
template <typename T>
void Keep(HostCall&, T*) {}

template <typename... Args>
HostCall MakeCall(Slot slot, const Args&... args) {
    HostCall call;
    call.slot = slot;
    (Keep(call, args), ...);
    return call;
}

}  // namespace

template <typename Answer>
int32_t FakeHost::Record(HostCall call, Answer answer) {
    std::lock_guard<std::mutex> hold(mutex_);
    const int32_t result = answer(call);
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return result;
}

struct FakeHost::Slots {
    // Records the call on the current host; answer(host, call) as for Record.
    template <typename Answer>
    static int32_t Take(HostCall call, Answer answer) {
        return WithHost([&](FakeHost& host) {
            return host.Record(std::move(call), [&](HostCall& kept) { return answer(host, kept); });
        });
    }

    // A slot that keeps its arguments and answers without looking at them: the filter result the
    // test set, -1 from the card slots (there is no card), 0 from the others.
    template <Slot S, typename... Args>
    static int32_t Kept(Args... args) {
        return Take(MakeCall(S, args...), [](FakeHost& host, HostCall&) -> int32_t {
            if constexpr (S == Slot::SetSectionFilter) return host.filterResult_;
            return S == Slot::SmartcardApdu || S == Slot::SmartcardReset ? -1 : 0;
        });
    }
    template <Slot S, typename... Args>
    static void Set(int32_t (*&slot)(Args...)) {
        slot = Kept<S, Args...>;
    }

    static int32_t GetCurrentFrequency(uint32_t* frequency) {
        return Take(MakeCall(Slot::GetCurrentFrequency), [&](FakeHost& host, HostCall&) {
            if (frequency != nullptr) *frequency = host.frequency_;
            return 0;
        });
    }

    static int32_t GetStoreBuffer(uint32_t* size, uintptr_t* handle) {
        return Take(MakeCall(Slot::GetStoreBuffer), [&](FakeHost& host, HostCall&) {
            if (host.store_.empty()) return -1;
            if (size != nullptr) *size = static_cast<uint32_t>(host.store_.size());
            if (handle != nullptr) *handle = reinterpret_cast<uintptr_t>(host.store_.data());
            return 0;
        });
    }

    // Both store slots copy only to or from the buffer GetStoreBuffer named.
    static int32_t CopyStore(Slot slot, uintptr_t handle, uint32_t* length, uint8_t* destination,
                             const uint8_t* source) {
        const uint32_t asked = length != nullptr ? *length : 0;
        return Take(MakeCall(slot, asked), [&](FakeHost& host, HostCall& call) {
            std::vector<uint8_t>& store = host.store_;
            if (length == nullptr || handle != reinterpret_cast<uintptr_t>(store.data())) return 0;
            const uint32_t n = std::min<uint32_t>(asked, static_cast<uint32_t>(store.size()));
            if (destination != nullptr) std::memcpy(destination, store.data(), n);
            if (source != nullptr) {
                // The module may hand the store buffer itself as the source.
                std::memmove(store.data(), source, n);
                call.bytes.assign(store.begin(), store.begin() + static_cast<std::ptrdiff_t>(n));
            }
            *length = n;
            return 0;
        });
    }
    static int32_t ReadStore(uintptr_t handle, uint32_t* length, uint8_t* destination) {
        return CopyStore(Slot::ReadStore, handle, length, destination, nullptr);
    }
    static int32_t WriteStore(uintptr_t handle, uint32_t* length, const uint8_t* source) {
        return CopyStore(Slot::WriteStore, handle, length, nullptr, source);
    }

    static int32_t DebugPrint(const char* text) {
        return WithHost([&](FakeHost& host) {
            const std::string line = text != nullptr ? text : "";
            // Outside the host's lock: the hook may hold the module up as long as it likes.
            if (const auto hook = host.Copy(host.debugHook_)) hook(line);
            return host.Record(MakeCall(Slot::DebugPrint, line.c_str()),
                               [](HostCall&) { return 0; });
        });
    }
};

FakeHost::FakeHost() {
    std::unique_lock<std::shared_mutex> hold(CurrentMutex());
    previous_ = std::exchange(currentHost, this);
}

FakeHost::~FakeHost() {
    std::unique_lock<std::shared_mutex> hold(CurrentMutex());
    if (currentHost == this) currentHost = previous_;
}

HostCallbacks FakeHost::AllSlots() {
    HostCallbacks slots{};
    Slots::Set<Slot::EpgUpdateNotify>(slots.EpgUpdateNotify);
    Slots::Set<Slot::SetSectionFilter>(slots.SetSectionFilter);
    Slots::Set<Slot::StopSectionFilter>(slots.StopSectionFilter);
    Slots::Set<Slot::Reserved4>(slots.Reserved4);
    slots.GetCurrentFrequency = Slots::GetCurrentFrequency;
    Slots::Set<Slot::SetDescrambler>(slots.SetDescrambler);
    Slots::Set<Slot::ShowMessage>(slots.ShowMessage);
    Slots::Set<Slot::HideMessage>(slots.HideMessage);
    Slots::Set<Slot::MailNotify>(slots.MailNotify);
    slots.GetStoreBuffer = Slots::GetStoreBuffer;
    slots.ReadStore = Slots::ReadStore;
    slots.WriteStore = Slots::WriteStore;
    Slots::Set<Slot::Reserved13>(slots.Reserved13);
    slots.DebugPrint = Slots::DebugPrint;
    Slots::Set<Slot::RedirectService>(slots.RedirectService);
    Slots::Set<Slot::Reserved16>(slots.Reserved16);
    Slots::Set<Slot::SmartcardApdu>(slots.SmartcardApdu);
    Slots::Set<Slot::SmartcardReset>(slots.SmartcardReset);
    return slots;
}

InitRecord FakeHost::MakeInitRecord(uint32_t sectionBufferCount) {
    InitRecord record{};
    record.sectionBufferCount = sectionBufferCount;
    record.callbacks = AllSlots();
    return record;
}

std::vector<HostCall> FakeHost::Calls(Slot slot) const {
    std::vector<HostCall> matching = Copy(calls_);
    std::erase_if(matching, [slot](const HostCall& call) { return call.slot != slot; });
    return matching;
}

std::vector<std::string> FakeHost::DebugLines() const {
    std::vector<std::string> lines;
    for (const HostCall& call : Calls(Slot::DebugPrint))
        lines.push_back(call.text);
    return lines;
}

bool FakeHost::HasDebugLine(const std::string& exact) const {
    return std::ranges::count(DebugLines(), exact) > 0;
}

bool FakeHost::HasDebugText(const std::string& substring) const {
    return std::ranges::any_of(DebugLines(), [&](const std::string& line) {
        return line.find(substring) != std::string::npos;
    });
}

bool FakeHost::WaitFor(const std::function<bool()>& condition, Deadline deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (auto now = std::chrono::steady_clock::now(); !condition();
         now = std::chrono::steady_clock::now()) {
        if (now >= until) return false;
        // Re-checks at least every 20 ms for conditions that no host call announces.
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait_for(hold, std::min<std::chrono::steady_clock::duration>(
                                    until - now, std::chrono::milliseconds(20)));
    }
    return true;
}

std::string IndentedLine(const char* tag, int level, const std::string& text) {
    return std::string(tag) + std::string(static_cast<size_t>(2 * (level - 1)), ' ') + text +
           "\r\n";
}

}  // namespace krtest
