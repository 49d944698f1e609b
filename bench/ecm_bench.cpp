// From an ECM section handed in through kr_T2K_SendRetrieved to the control words at the host's
// SetDescrambler, with a card that answers at once (the virtual card, AES included). Each ECM
// carries a new version, so each one costs the full card conversation: the request, its 61 20
// and the GET RESPONSE. The median and the 99th percentile are the figures to watch; the
// module's allocations while ECMs flow must stay at zero, and every ECM must give its own
// control words: one that gives none, or words other than its own, counts as lost.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "card/card_profile.h"
#include "card/card_slot.h"
#include "card/virtual_card.h"
#include "common/ecm_section.h"
#include "common/service_map_section.h"
#include "core/fault_injection.h"

namespace ecm_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kEmmPid = 0x1FF1;
constexpr uint16_t kEcmPid = 0x0501;
constexpr krtools::AesKey kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::atomic<uint32_t> serviceMapFilter{0};
std::atomic<uint32_t> ecmFilter{0};
std::atomic<uint32_t> wordsSet{0};
// Each ECM's even control word is 16 times one byte; words set without it are wrong.
std::atomic<int> expectedWord{-1};
std::atomic<uint32_t> wordsWrong{0};

int32_t AcceptFilter(uint32_t requestId, SectionFilterParams params) {
    if (params.pid == kEmmPid && params.match[0] == 0x84) serviceMapFilter.store(requestId);
    if (params.pid == kEcmPid) ecmFilter.store(requestId);
    return 0;
}

int32_t SetDescrambler(DescramblerRecord record, uint32_t) {
    const int expected = expectedWord.load();
    auto isExpected = [expected](const uint8_t(&word)[16]) {
        return std::all_of(std::begin(word), std::end(word),
                           [expected](uint8_t b) { return b == expected; });
    };
    const bool right = isExpected(record.controlWordA) || isExpected(record.controlWordB);
    if (expected >= 0 && !right) wordsWrong.fetch_add(1);
    wordsSet.fetch_add(1);
    return 0;
}

bool WaitFor(const std::atomic<uint32_t>& value, uint32_t atLeast) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (value.load() < atLeast) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

int32_t Deliver(uint32_t requestId, const std::vector<uint8_t>& section) {
    return kr_T2K_SendRetrieved(static_cast<int32_t>(requestId), 0, section.data(),
                                static_cast<int32_t>(section.size()));
}

void BM_EcmToDescrambler(benchmark::State& state) {
    krtools::VirtualCard card(krtools::ParseCardProfile(
        "operator-key = 0102030405060708090A0B0C0D0E0F10\nentitlements = 12\n"));
    krtools::InsertIntoSlot(&card);
    serviceMapFilter.store(0);
    ecmFilter.store(0);
    expectedWord.store(-1);
    wordsWrong.store(0);
    InitRecord init{};
    init.sectionBufferCount = 64;
    init.callbacks.SetSectionFilter = AcceptFilter;
    init.callbacks.SetDescrambler = SetDescrambler;
    init.callbacks.SmartcardReset = krtools::CardSlotReset;
    init.callbacks.SmartcardApdu = krtools::CardSlotApdu;
    if (kr_T2K_Init(&init) != KR_OK) {
        state.SkipWithError("init failed");
        return;
    }
    (void)krca_T2CA_SetEmmPids(1, &kEmmPid);
    krtools::ServiceMapEntry entry;
    entry.svid = 12;
    entry.ecmPid = kEcmPid;
    const ServiceRequest service{0, kEcmPid, 0, 0, 0, 0};
    if (Deliver(serviceMapFilter.load(), krtools::BuildServiceMapSection(1, {entry})) != KR_OK ||
        krca_T2CA_StartServices(1, &service) != KR_OK || !WaitFor(ecmFilter, 1)) {
        kr_T2K_Finish();
        krtools::InsertIntoSlot(nullptr);
        state.SkipWithError("no ECM filter");
        return;
    }

    // 256 versions, prepared beforehand; the version byte wraps, so every ECM is new.
    std::vector<std::vector<uint8_t>> ecms;
    for (uint32_t v = 0; v < 256; ++v) {
        krtools::EcmFields f;
        f.svid = 12;
        f.version = static_cast<uint8_t>(v);
        f.entitlementId = 12;
        f.blocks = {{0, 0, {}}, {1, 0, {}}};
        f.blocks[0].controlWord.fill(static_cast<uint8_t>(v));
        ecms.push_back(krtools::BuildEcmSection(f, kKey));
    }
    std::vector<double> latencies;
    latencies.reserve(1 << 16);
    const uint32_t wordsBefore = wordsSet.load();
    uint32_t sent = wordsBefore;
    uint32_t next = 0;
    uint32_t ecmsSent = 0;
    std::string failure;
    const uint64_t allocationsBefore = kr::fault::AllocationCount();
    for (auto _ : state) {
        const auto start = Clock::now();
        const uint32_t index = next++ % static_cast<uint32_t>(ecms.size());
        expectedWord.store(static_cast<int>(index));
        const int32_t result = Deliver(ecmFilter.load(), ecms[index]);
        if (result != KR_OK) {
            failure = "kr_T2K_SendRetrieved answered " + std::to_string(result);
            break;
        }
        ++ecmsSent;
        if (!WaitFor(wordsSet, ++sent)) {
            failure = "no control words";
            break;
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const uint64_t allocations = kr::fault::AllocationCount() - allocationsBefore;
    kr_T2K_Finish();
    krtools::InsertIntoSlot(nullptr);
    const uint32_t words = wordsSet.load() - wordsBefore;
    // More words than ECMs would time each ECM against its predecessor's words.
    if (failure.empty() && words != ecmsSent)
        failure =
            std::to_string(words) + " control words for " + std::to_string(ecmsSent) + " ECMs";
    state.counters["lost"] = static_cast<double>(ecmsSent - std::min(ecmsSent, words)) +
                             static_cast<double>(wordsWrong.load());
    if (failure.empty() && wordsWrong.load() != 0) failure = "control words of another ECM";
    if (!failure.empty()) state.SkipWithError(failure.c_str());
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["module_allocs"] = static_cast<double>(allocations);
}
BENCHMARK(BM_EcmToDescrambler)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace ecm_bench
