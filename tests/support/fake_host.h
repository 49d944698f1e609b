// A terminal for tests: implements all 18 host functions, records every call with its arguments
// copied, answers as the test sets it up, and lets a test wait for a call with a deadline.
//
// The host functions have no context argument, so one FakeHost at a time is the current host:
// the one most recently constructed. Calls that arrive while none exists are dropped. This host
// has no card: both card slots fail.
#pragma once

#include <krmodule/krmodule.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace krtest {

enum class Slot : uint8_t {
    EpgUpdateNotify = 1,
    SetSectionFilter = 2,
    StopSectionFilter = 3,
    Reserved4 = 4,
    GetCurrentFrequency = 5,
    SetDescrambler = 6,
    ShowMessage = 7,
    HideMessage = 8,
    MailNotify = 9,
    GetStoreBuffer = 10,
    ReadStore = 11,
    WriteStore = 12,
    Reserved13 = 13,
    DebugPrint = 14,
    RedirectService = 15,
    Reserved16 = 16,
    SmartcardApdu = 17,
    SmartcardReset = 18,
};

// One recorded call. Which fields are filled depends on the slot.
struct HostCall {
    Slot slot{};
    std::vector<uint32_t> words;  // integer arguments, in order (the store slots: the length)
    std::string text;             // DebugPrint line, ShowMessage text
    std::vector<uint8_t> bytes;   // store data written, filter params, descrambler record
    SectionFilterParams filter{};
};

using Deadline = std::chrono::milliseconds;
inline constexpr Deadline kDefaultDeadline{5000};

class FakeHost {
  public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // A table with all 18 slots set to this host's functions.
    static HostCallbacks AllSlots();
    // An init record with all slots and the given pool size.
    static InitRecord MakeInitRecord(uint32_t sectionBufferCount);

    // ---- Answers ----
    void SetFilterResult(int32_t result) { Assign(filterResult_, result); }
    void SetFrequency(uint32_t frequency) { Assign(frequency_, frequency); }
    // The store buffer the host offers; size 0 makes GetStoreBuffer fail.
    void SetStoreSize(uint32_t size) { Assign(store_, std::vector<uint8_t>(size, 0)); }
    std::vector<uint8_t> StoreContents() const { return Copy(store_); }
    // Replaces the store buffer with these bytes (its size becomes the reported size).
    void SetStoreContents(std::vector<uint8_t> image) { Assign(store_, std::move(image)); }
    // Called from inside DebugPrint, with the line (e.g. to slow the module down).
    void SetDebugHook(std::function<void(const std::string&)> hook) { Assign(debugHook_, hook); }

    // ---- Record ----
    std::vector<HostCall> Calls() const { return Copy(calls_); }
    std::vector<HostCall> Calls(Slot slot) const;
    size_t CallCount(Slot slot) const { return Calls(slot).size(); }
    std::vector<std::string> DebugLines() const;
    bool HasDebugLine(const std::string& exact) const;
    bool HasDebugText(const std::string& substring) const;
    void Clear() { Assign(calls_, {}); }

    // ---- Waits (never a fixed sleep) ----
    bool WaitFor(const std::function<bool()>& condition, Deadline deadline = kDefaultDeadline);
    bool WaitForCalls(Slot slot, size_t count, Deadline deadline = kDefaultDeadline) {
        return WaitFor([&] { return CallCount(slot) >= count; }, deadline);
    }
    bool WaitForDebugText(const std::string& substring, Deadline deadline = kDefaultDeadline) {
        return WaitFor([&] { return HasDebugText(substring); }, deadline);
    }

  private:
    struct Slots;  // the host functions
    template <typename T>
    void Assign(T& member, T value) {
        std::lock_guard<std::mutex> hold(mutex_);
        member = std::move(value);
    }
    template <typename T>
    T Copy(const T& member) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return member;
    }
    // Records the call; answer runs under the lock first, gives the slot's result and may fill
    // the call and the slot's out-arguments.
    template <typename Answer>
    int32_t Record(HostCall call, Answer answer);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HostCall> calls_;
    int32_t filterResult_ = 0;
    uint32_t frequency_ = 0;
    std::vector<uint8_t> store_;
    std::function<void(const std::string&)> debugHook_;
    FakeHost* previous_ = nullptr;
};

// Formats a DebugPrint line the way kr_Print lays out levels 2 to 5, for exact comparisons.
std::string IndentedLine(const char* tag, int level, const std::string& text);

}  // namespace krtest
