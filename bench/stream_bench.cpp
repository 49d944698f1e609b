// The stream path end to end: 1,400-byte RTP datagram sections through kr_T2K_SendRetrieved, the
// shared filter and the stream worker to the program's frame function. Reports sections per
// second flat out, and the latency from kr_T2K_SendRetrieved to the frame function while a
// 30 Mbit/s multiplex is offered, each beside a memcpy of the same bytes in the same run.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/checksum.h"
#include "core/platform.h"
#include "epg/epg_container.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"

namespace stream_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kProgram = 31;
constexpr uint32_t kGroup = 0xEF030301;
constexpr uint16_t kVideoPort = 5000;
constexpr uint16_t kPid = 0x0501;
constexpr std::size_t kRtpBytes = 1400;

int32_t AcceptFilter(uint32_t, SectionFilterParams) {
    return 0;
}

// A live EPG with the one program, in the container the EPG download hands over.
std::vector<uint8_t> LiveEpgContainer() {
    const std::string text = "[LIVE_EPG]\nCOUNT=1\nVERSION=20261206120000\n[PROGRAM1]\nProgramID=" +
                             std::to_string(kProgram) +
                             "\nChannel=239.3.3.1:5000\nPid=" + std::to_string(kPid) +
                             "\nProgramSort=4\n#STARTSDP\nm=video " + std::to_string(kVideoPort) +
                             " RTP/AVP 96\nm=audio 5002 RTP/AVP 97\n#ENDSDP\n";
    const std::string name = "LiveEPG.txt";
    std::vector<uint8_t> out;
    auto le32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    const auto directory = static_cast<uint32_t>(4 + name.size() + 8);
    le32(0xA0B0C0D0);
    out.push_back(0);
    le32(directory);
    le32(1);
    le32(static_cast<uint32_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    le32(0);
    le32(static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// Each section is a whole one-packet video frame whose RTP timestamp is its index + 1 (a
// program's first frame cannot have timestamp 0: that is the timestamp of a fresh state).
std::vector<uint8_t> FrameSection(uint32_t index) {
    krtest::RtpPacketFields packet;
    packet.seq = static_cast<uint16_t>(index);
    packet.timestamp = index + 1;
    packet.marker = true;
    packet.media = krtest::FrameStart(0xB6, kRtpBytes - 18);
    krtest::Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = kVideoPort;
    d.payload = krtest::BuildRtpPayload(packet);
    return krtest::BuildDatagramSection(d);
}

// Where the frame function finds the send time of each frame and leaves its latency.
std::vector<Clock::time_point> sentAt;
std::vector<int64_t> latencyNs;
std::atomic<uint32_t> framesSeen{0};

int32_t OnFrame(const void* record) {
    const auto now = Clock::now();
    const auto& d = *static_cast<const StreamDelivery*>(record);
    const uint32_t index = d.videoTimestamp - 1;
    if (index < latencyNs.size()) {
        latencyNs[index] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - sentAt[index]).count();
    }
    framesSeen.fetch_add(1, std::memory_order_release);
    return 0;
}

bool StartModuleWithProgram() {
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    if (kr_T2K_Init(&record) != KR_OK) return false;
    const std::vector<uint8_t> container = LiveEpgContainer();
    {
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    }
    return kr_T2K_StartProgram(kProgram, 0, OnFrame) == KR_OK;
}

int32_t HostFilterId() {
    for (uint32_t id = 1; id < 100; ++id) {
        kr::RequestEntry* entry = nullptr;
        if (kr::FindRequest(id, &entry) == 0 && entry->type == kr::kTypeSharedFilter &&
            entry->pid == kPid)
            return static_cast<int32_t>(id);
    }
    return 0;
}

// Nanoseconds per section of a memcpy of the same sections (the first few hundred, over and over,
// so that the figure is the copy and not the cache misses of a cold set).
double MemcpyNsPerSection(const std::vector<std::vector<uint8_t>>& sections) {
    constexpr std::size_t kCopies = 200000;
    const std::size_t distinct = std::min<std::size_t>(sections.size(), 256);
    std::vector<uint8_t> out(sections[0].size() + 16);
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < kCopies; ++i) {
        const auto& s = sections[i % distinct];
        std::memcpy(out.data(), s.data(), s.size());
        benchmark::ClobberMemory();
    }
    const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    return ns / static_cast<double>(kCopies);
}

// The single-thread floor of the same work: the section copied into a node, its datagram's UDP
// checksum verified, the media copied into a frame buffer, nanoseconds per section.
double FloorNsPerSection(const std::vector<std::vector<uint8_t>>& sections) {
    constexpr std::size_t kRounds = 200000;
    constexpr std::size_t kIpOffset = 12;
    constexpr std::size_t kMediaOffset = 12 + 20 + 8 + 18;
    const std::size_t distinct = std::min<std::size_t>(sections.size(), 256);
    std::vector<uint8_t> node(1500);
    std::vector<uint8_t> frame(sections[0].size());
    int32_t valid = 0;
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < kRounds; ++i) {
        const auto& s = sections[i % distinct];
        std::memcpy(node.data(), s.data(), s.size());
        valid += kr::UdpChecksumValid(node.data() + kIpOffset);
        std::memcpy(frame.data(), node.data() + kMediaOffset, s.size() - kMediaOffset - 4);
        benchmark::DoNotOptimize(valid);
        benchmark::ClobberMemory();
    }
    const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    return ns / static_cast<double>(kRounds);
}

int64_t Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}

void Prepare(std::size_t count, std::vector<std::vector<uint8_t>>& sections) {
    sections.clear();
    for (uint32_t i = 0; i < count; ++i)
        sections.push_back(FrameSection(i));
    sentAt.assign(count, Clock::time_point{});
    latencyNs.assign(count, -1);
    framesSeen.store(0);
}

void WaitForFrames(uint32_t count) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (framesSeen.load(std::memory_order_acquire) < count && Clock::now() < until)
        std::this_thread::yield();
}

// Flat out: as many sections as the stream worker takes, each a frame for the host.
void BM_StreamFramesFlatOut(benchmark::State& state) {
    if (!StartModuleWithProgram()) {
        state.SkipWithError("start failed");
        return;
    }
    const int32_t hostId = HostFilterId();
    std::vector<std::vector<uint8_t>> sections;
    constexpr std::size_t kDistinct = 4096;
    Prepare(kDistinct, sections);
    uint64_t sent = 0;
    int64_t refused = 0;
    const auto begin = Clock::now();
    for (auto _ : state) {
        // Timestamps repeat after kDistinct sections; a repeat is still a new frame because the
        // neighbouring one differs.
        const auto& s = sections[sent % kDistinct];
        while (kr_T2K_SendRetrieved(hostId, 0, s.data(), static_cast<int32_t>(s.size())) ==
               KR_NO_NODE) {
            ++refused;
            std::this_thread::yield();
        }
        ++sent;
    }
    WaitForFrames(static_cast<uint32_t>(sent));
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const uint32_t seen = framesSeen.load();
    kr_T2K_Finish();
    state.counters["sections_per_s"] = static_cast<double>(seen) / seconds;
    state.counters["frames_lost"] = static_cast<double>(sent - seen);
    state.counters["pool_full_retries"] = static_cast<double>(refused);
    state.counters["memcpy_ns_per_section"] = MemcpyNsPerSection(sections);
    const double floorNs = FloorNsPerSection(sections);
    state.counters["floor_ns_per_section"] = floorNs;
    // How many times the floor one section costs on the whole path (the target is at most 6).
    state.counters["ratio_to_floor"] =
        seen == 0 ? 0.0 : (seconds * 1e9 / static_cast<double>(seen)) / floorNs;
    state.SetItemsProcessed(static_cast<int64_t>(seen));
    state.SetBytesProcessed(static_cast<int64_t>(seen) * static_cast<int64_t>(sections[0].size()));
    if (seen < sent) state.SkipWithError("frames were lost on the way to the host");
}
BENCHMARK(BM_StreamFramesFlatOut)->UseRealTime()->Unit(benchmark::kMillisecond);

// A 30 Mbit/s multiplex of 1,400-byte datagrams: one section every 373 us, each timed from
// kr_T2K_SendRetrieved to the frame function.
void BM_StreamFrameLatencyAt30Mbits(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    constexpr double kBitsPerSecond = 30e6;
    const auto interval = std::chrono::nanoseconds(
        static_cast<int64_t>(1e9 * static_cast<double>(kRtpBytes + 28) * 8 / kBitsPerSecond));
    std::vector<std::vector<uint8_t>> sections;
    std::vector<int64_t> sendNs;
    for (auto _ : state) {
        if (!StartModuleWithProgram()) {
            state.SkipWithError("start failed");
            return;
        }
        const int32_t hostId = HostFilterId();
        Prepare(count, sections);
        sendNs.assign(count, 0);
        auto next = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(next);
            next += interval;
            sentAt[i] = Clock::now();
            kr_T2K_SendRetrieved(hostId, 0, sections[i].data(),
                                 static_cast<int32_t>(sections[i].size()));
            sendNs[i] =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sentAt[i])
                    .count();
        }
        WaitForFrames(static_cast<uint32_t>(count));
        kr_T2K_Finish();
    }
    std::vector<int64_t> seen;
    for (int64_t ns : latencyNs)
        if (ns >= 0) seen.push_back(ns);
    state.counters["frames"] = static_cast<double>(seen.size());
    state.counters["p50_us"] = static_cast<double>(Percentile(seen, 0.50)) / 1e3;
    state.counters["p99_us"] = static_cast<double>(Percentile(seen, 0.99)) / 1e3;
    state.counters["max_us"] = static_cast<double>(Percentile(seen, 1.0)) / 1e3;
    state.counters["send_p50_us"] = static_cast<double>(Percentile(sendNs, 0.50)) / 1e3;
    state.counters["offered_sections_per_s"] = 1e9 / static_cast<double>(interval.count());
    state.counters["memcpy_ns_per_section"] = MemcpyNsPerSection(sections);
}
BENCHMARK(BM_StreamFrameLatencyAt30Mbits)
    ->Arg(8000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stream_bench
