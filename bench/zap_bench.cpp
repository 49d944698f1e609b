// Zapping: from kr_T2K_StartProgram to the first whole video frame at broadcast pace, for a
// clear and a scrambled program, at random instants of the broadcast. The time is split into
// what the broadcast decides (the next frame start; for a scrambled program, the next ECM) and
// what the library and the card take. The scrambled program's packets reach the library only
// once the host's descrambler holds the word of their crypto period, as in a terminal, and the
// card is the virtual one: at once, and as slow as a real card on T=0 at 9600 baud.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "card/card_profile.h"
#include "card/card_slot.h"
#include "card/virtual_card.h"
#include "common/ecm_section.h"
#include "common/epg_container.h"
#include "common/service_map_section.h"
#include "core/platform.h"
#include "epg/epg_container.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"

namespace zap_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kProgram = 31;
constexpr uint32_t kGroup = 0xEF030301;  // 239.3.3.1
constexpr uint16_t kChannelPort = 5000;
constexpr uint16_t kPid = 0x0501;
constexpr uint16_t kEmmPid = 0x1FF1;
constexpr uint16_t kEcmPid = 0x0601;
constexpr uint16_t kServiceId = 12;
constexpr krtools::AesKey kOperatorKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
// The RTP payload is a 12-byte header, 6 bytes of payload header and the media.
constexpr std::size_t kMediaBytes = 1400 - 18;

// 25 frames a second, each of kPackets datagrams sent evenly over the frame's 40 ms, the first
// beginning with a frame start code; control words change every 2 s and an ECM comes four
// times a period, as the head end sends them.
constexpr uint32_t kPackets = 12;
constexpr auto kFrameInterval = std::chrono::milliseconds(40);
constexpr uint32_t kFrameBytes = kPackets * kMediaBytes;
constexpr uint64_t kDatagramsPerPeriod = 50 * kPackets;
constexpr uint64_t kDatagramsPerEcm = kDatagramsPerPeriod / 4;
constexpr std::size_t kSentRing = 1024;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int64_t Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}

// The word of a crypto period: 16 times one byte, never all zero (zero words clear a service).
uint8_t WordByte(uint64_t period) {
    return static_cast<uint8_t>(1 + period % 255);
}

// What the sender, the host slots and the zapping loop share.
struct Zap {
    bool scrambled = false;
    std::mutex hostMutex;  // held for each send and for each start and stop
    std::atomic<uint32_t> programFilter{0};
    std::atomic<uint32_t> ecmFilter{0};
    std::atomic<uint32_t> serviceMapFilter{0};
    std::atomic<bool> running{true};
    std::atomic<int32_t> refusal{KR_OK};
    // The descrambler: the first byte of the two words the library set (0: none).
    std::atomic<uint8_t> wordA{0};
    std::atomic<uint8_t> wordB{0};
    std::atomic<uint64_t> period{0};
    // Instants of one start, 0 until they happen.
    std::atomic<int64_t> firstEcmNs{0};
    std::atomic<int64_t> keysNs{0};
    std::atomic<int64_t> firstFrameNs{0};
    std::atomic<uint32_t> firstFrameTimestamp{0};
    // When the last datagram of each frame went to the library, by frame number.
    std::array<std::atomic<int64_t>, kSentRing> lastSentNs{};
    std::atomic<uint32_t> partialFrames{0};
};
Zap* zap = nullptr;

int32_t OnSetFilter(uint32_t requestId, SectionFilterParams params) {
    if (params.pid == kPid) zap->programFilter.store(requestId);
    if (params.pid == kEcmPid) zap->ecmFilter.store(requestId);
    if (params.pid == kEmmPid && params.match[0] == 0x84) zap->serviceMapFilter.store(requestId);
    return 0;
}

int32_t OnStopFilter(uint32_t requestId) {
    uint32_t id = requestId;
    zap->ecmFilter.compare_exchange_strong(id, 0);
    return 0;
}

bool HoldsWordOf(uint64_t period) {
    const uint8_t word = WordByte(period);
    return zap->wordA.load() == word || zap->wordB.load() == word;
}

int32_t OnSetDescrambler(DescramblerRecord record, uint32_t) {
    zap->wordA.store(record.controlWordA[0]);
    zap->wordB.store(record.controlWordB[0]);
    int64_t none = 0;
    if (HoldsWordOf(zap->period.load())) zap->keysNs.compare_exchange_strong(none, NowNs());
    return 0;
}

int32_t OnFrame(const void* record) {
    const int64_t now = NowNs();
    const auto& d = *static_cast<const StreamDelivery*>(record);
    if (d.kind != KR_FRAME_VIDEO) return 0;
    if (d.videoLength != kFrameBytes) {
        zap->partialFrames.fetch_add(1);
        return 0;
    }
    int64_t none = 0;
    if (zap->firstFrameNs.compare_exchange_strong(none, now))
        zap->firstFrameTimestamp.store(d.videoTimestamp);
    return 0;
}

std::vector<uint8_t> FrameDatagram(uint64_t n) {
    const uint64_t frame = n / kPackets;
    krtest::RtpPacketFields packet;
    packet.seq = static_cast<uint16_t>(n);
    packet.timestamp = static_cast<uint32_t>(3600 * (frame + 1));
    packet.marker = n % kPackets == kPackets - 1;
    packet.media = n % kPackets == 0 ? krtest::FrameStart(0xB6, kMediaBytes)
                                     : std::vector<uint8_t>(kMediaBytes, static_cast<uint8_t>(n));
    krtest::Datagram d;
    d.destinationAddress = kGroup;
    // A scrambled program's video comes 1000 above the port its description names.
    d.destinationPort = zap->scrambled ? kChannelPort + 1000 : kChannelPort;
    d.payload = krtest::BuildRtpPayload(packet);
    return krtest::BuildDatagramSection(d);
}

std::vector<uint8_t> EcmOf(uint64_t period) {
    krtools::EcmFields f;
    f.svid = kServiceId;
    f.version = static_cast<uint8_t>(period);
    f.entitlementId = kServiceId;
    f.broadcastTime = 1796000000;
    for (const uint64_t p : {period, period + 1}) {
        krtools::ControlWordBlock block;
        block.parity = static_cast<uint8_t>(p % 2);
        block.period = static_cast<uint16_t>(p);
        block.controlWord.fill(WordByte(p));
        f.blocks.push_back(block);
    }
    return krtools::BuildEcmSection(f, kOperatorKey);
}

void Send(uint32_t to, const std::vector<uint8_t>& section) {
    const int32_t result =
        kr_T2K_SendRetrieved(static_cast<int32_t>(to), 0, section.data(),
                             static_cast<int32_t>(section.size()));
    // The pool cannot fill at this pace: a full one is lost work too.
    int32_t ok = KR_OK;
    if (result != KR_OK) zap->refusal.compare_exchange_strong(ok, result);
}

// The broadcast: goes on whether or not the program runs; sections reach the library only
// while its filters run, and a scrambled program's only while the descrambler has their word.
void Sender() {
    const auto interval =
        std::chrono::duration_cast<std::chrono::nanoseconds>(kFrameInterval) / kPackets;
    auto next = Clock::now();
    for (uint64_t n = 0; zap->running.load(); ++n) {
        const uint64_t period = n / kDatagramsPerPeriod;
        const std::vector<uint8_t> ecm =
            zap->scrambled && n % kDatagramsPerEcm == 0 ? EcmOf(period) : std::vector<uint8_t>{};
        const std::vector<uint8_t> section = FrameDatagram(n);
        std::this_thread::sleep_until(next);
        next += interval;
        std::lock_guard hold(zap->hostMutex);
        zap->period.store(period);
        if (!ecm.empty() && zap->ecmFilter.load() != 0) {
            int64_t none = 0;
            zap->firstEcmNs.compare_exchange_strong(none, NowNs());
            Send(zap->ecmFilter.load(), ecm);
        }
        const uint32_t to = zap->programFilter.load();
        if (to == 0 || (zap->scrambled && !HoldsWordOf(period))) continue;
        if (n % kPackets == kPackets - 1)
            zap->lastSentNs[(n / kPackets) % kSentRing].store(NowNs());
        Send(to, section);
    }
}

// The module with a live EPG that has the program and, for a scrambled one, the card in the
// slot and the service map naming the program's ECM PID.
bool StartModule(krtools::VirtualCard* card) {
    InitRecord record{};
    record.sectionBufferCount = 1024;
    record.callbacks.SetSectionFilter = OnSetFilter;
    record.callbacks.StopSectionFilter = OnStopFilter;
    if (card != nullptr) {
        krtools::InsertIntoSlot(card);
        record.callbacks.SetDescrambler = OnSetDescrambler;
        record.callbacks.SmartcardReset = krtools::CardSlotReset;
        record.callbacks.SmartcardApdu = krtools::CardSlotApdu;
    }
    if (kr_T2K_Init(&record) != KR_OK) return false;
    const std::string live =
        "[LIVE_EPG]\nCOUNT=1\nVERSION=20261206120000\n[PROGRAM1]\nProgramID=" +
        std::to_string(kProgram) + "\nCA=" + (card != nullptr ? "1" : "0") +
        "\nChannel=239.3.3.1:" + std::to_string(kChannelPort) + "\nPid=" + std::to_string(kPid) +
        "\nProgramSort=4\n#STARTSDP\nm=video " + std::to_string(kChannelPort) +
        " RTP/AVP 96\nm=audio 5002 RTP/AVP 97\n#ENDSDP\n";
    const std::vector<uint8_t> container =
        krtools::BuildEpgContainer({{"LiveEPG.txt", std::vector<uint8_t>(live.begin(), live.end())}});
    {
        // The EPG download's own entry: the container as if every block had come.
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    }
    if (card == nullptr) return true;
    (void)krca_T2CA_SetEmmPids(1, &kEmmPid);
    krtools::ServiceMapEntry entry;
    entry.svid = kServiceId;
    entry.ecmPid = kEcmPid;
    entry.addresses = {{kGroup, kChannelPort}};
    const std::vector<uint8_t> map = krtools::BuildServiceMapSection(1, {entry});
    return kr_T2K_SendRetrieved(static_cast<int32_t>(zap->serviceMapFilter.load()), 0, map.data(),
                                static_cast<int32_t>(map.size())) == KR_OK;
}

void Zapping(benchmark::State& state, krtools::VirtualCard* card) {
    const auto starts = static_cast<std::size_t>(state.range(0));
    Zap shared;
    shared.scrambled = card != nullptr;
    zap = &shared;
    std::vector<int64_t> zapNs, broadcastNs, cardNs, libraryNs;
    uint64_t lost = 0;
    // Starts fall at random instants of the cycle that decides the wait: the frame for a clear
    // program, the ECM interval for a scrambled one.
    const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
        kFrameInterval * (shared.scrambled ? kDatagramsPerEcm / kPackets : 1));
    std::mt19937 random(31);
    std::uniform_int_distribution<int64_t> pause(0, cycle.count());
    for (auto _ : state) {
        if (!StartModule(card)) {
            state.SkipWithError("start failed");
            break;
        }
        std::thread sender(Sender);
        for (std::size_t i = 0; i < starts && shared.refusal.load() == KR_OK; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
            int64_t begin = 0;
            {
                std::lock_guard hold(shared.hostMutex);
                shared.firstEcmNs.store(0);
                shared.keysNs.store(0);
                shared.firstFrameNs.store(0);
                begin = NowNs();
                if (kr_T2K_StartProgram(kProgram, KR_DELIVER_FRAMES, OnFrame) != KR_OK) {
                    ++lost;
                    continue;
                }
            }
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (shared.firstFrameNs.load() == 0 && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            {
                std::lock_guard hold(shared.hostMutex);
                (void)kr_T2K_StopProgram(kProgram);
                shared.programFilter.store(0);
                // The terminal forgets a PID's words once nothing is received from it.
                shared.wordA.store(0);
                shared.wordB.store(0);
            }
            const int64_t frameAt = shared.firstFrameNs.load();
            if (frameAt == 0) {
                ++lost;
                continue;
            }
            const uint32_t frame = shared.firstFrameTimestamp.load() / 3600 - 1;
            const int64_t frameSentNs = shared.lastSentNs[frame % kSentRing].load();
            zapNs.push_back(frameAt - begin);
            libraryNs.push_back(frameAt - frameSentNs);
            if (card != nullptr) {
                // The broadcast's share: until the first ECM and, once the words are there,
                // until the frame's last datagram; the card's: from the ECM to the words.
                const int64_t ecmAt = shared.firstEcmNs.load();
                const int64_t keysAt = shared.keysNs.load();
                cardNs.push_back(keysAt - ecmAt);
                broadcastNs.push_back((ecmAt - begin) + (frameSentNs - keysAt));
            } else {
                broadcastNs.push_back(frameSentNs - begin);
            }
        }
        shared.running.store(false);
        sender.join();
        kr_T2K_Finish();
        if (card != nullptr) krtools::InsertIntoSlot(nullptr);
    }
    zap = nullptr;
    state.counters["zap_p50_ms"] = static_cast<double>(Percentile(zapNs, 0.50)) / 1e6;
    state.counters["zap_p99_ms"] = static_cast<double>(Percentile(zapNs, 0.99)) / 1e6;
    state.counters["broadcast_p50_ms"] = static_cast<double>(Percentile(broadcastNs, 0.50)) / 1e6;
    if (card != nullptr) {
        state.counters["card_p50_ms"] = static_cast<double>(Percentile(cardNs, 0.50)) / 1e6;
        state.counters["card_p99_ms"] = static_cast<double>(Percentile(cardNs, 0.99)) / 1e6;
    }
    state.counters["library_p50_us"] = static_cast<double>(Percentile(libraryNs, 0.50)) / 1e3;
    state.counters["library_p99_us"] = static_cast<double>(Percentile(libraryNs, 0.99)) / 1e3;
    state.counters["starts"] = static_cast<double>(zapNs.size());
    state.counters["partial_frames"] = static_cast<double>(shared.partialFrames.load());
    state.counters["lost"] = static_cast<double>(lost);
    const int32_t refusal = shared.refusal.load();
    if (refusal != KR_OK) {
        state.SkipWithError(("kr_T2K_SendRetrieved answered " + std::to_string(refusal)).c_str());
    } else if (lost != 0) {
        state.SkipWithError("a start gave no whole frame");
    }
}

void BM_ZapClear(benchmark::State& state) {
    Zapping(state, nullptr);
}
BENCHMARK(BM_ZapClear)->Arg(40)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

constexpr char kCard[] = "operator-key = 0102030405060708090A0B0C0D0E0F10\nentitlements = 12\n";

void BM_ZapScrambled(benchmark::State& state) {
    krtools::VirtualCard card(krtools::ParseCardProfile(kCard));
    Zapping(state, &card);
}
BENCHMARK(BM_ZapScrambled)->Arg(16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same card as slow as a real one: 30 ms a command and T=0 at 9600 baud, so the card's share
// is what a box's reader would give.
void BM_ZapScrambledSlowCard(benchmark::State& state) {
    krtools::VirtualCard card(
        krtools::ParseCardProfile(std::string(kCard) + "command-ms = 30\nbyte-us = 1042\n"));
    Zapping(state, &card);
}
BENCHMARK(BM_ZapScrambledSlowCard)
    ->Arg(12)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zap_bench
