// The stream path end to end: 1,400-byte RTP datagram sections through kr_T2K_SendRetrieved, the
// shared filter and the stream worker to the program's frame function. Reports sections per
// second flat out, and the latency from kr_T2K_SendRetrieved to the frame function while a
// 30 Mbit/s multiplex is offered, each beside a floor measured in the same run: for the flat-out
// figure the least a single thread can do with each section (copy it, sum its datagram, copy the
// media out), for the latency the wake-up of a thread waiting on a condition variable.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/fault_injection.h"
#include "core/platform.h"
#include "epg/epg_container.h"
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
// The RTP payload is a 12-byte header, 6 bytes of payload header and the media.
constexpr std::size_t kMediaBytes = kRtpBytes - 18;

// The host filter of the program's PID: sections for the program are sent to its request id.
std::atomic<uint32_t> hostFilterId{0};
int32_t AcceptFilter(uint32_t requestId, SectionFilterParams params) {
    if (params.pid == kPid) hostFilterId.store(requestId);
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
// Frames that came but not as sent (another kind or length): they count as lost.
std::atomic<uint32_t> framesDamaged{0};

// Set while frames are timed; flat out the frame function only counts, as a terminal's that hands
// the frame on would cost next to nothing.
std::atomic<bool> timingFrames{false};

int32_t OnFrame(const void* record) {
    const auto now = timingFrames ? Clock::now() : Clock::time_point{};
    const auto& d = *static_cast<const StreamDelivery*>(record);
    if (d.kind != KR_FRAME_VIDEO || d.videoLength != kMediaBytes) {
        framesDamaged.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    const uint32_t index = d.videoTimestamp - 1;
    if (timingFrames && index < latencyNs.size()) {
        latencyNs[index] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - sentAt[index]).count();
    }
    framesSeen.fetch_add(1, std::memory_order_release);
    return 0;
}

// The module started with a live EPG that has the program; false when it did not start.
bool StartModule() {
    hostFilterId.store(0);
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    if (kr_T2K_Init(&record) != KR_OK) return false;
    const std::vector<uint8_t> container = LiveEpgContainer();
    kr::ModuleLockGuard hold;
    kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    return true;
}

// The id sections for the program go to; 0 when the start failed.
int32_t StartModuleWithProgram() {
    if (!StartModule()) return 0;
    if (kr_T2K_StartProgram(kProgram, KR_DELIVER_FRAMES, OnFrame) != KR_OK) {
        kr_T2K_Finish();
        return 0;
    }
    const uint32_t id = hostFilterId.load();
    if (id == 0) kr_T2K_Finish();
    return static_cast<int32_t>(id);
}

// The one's-complement sum of a run of bytes, as fast as plain C++ gets it in any build: 16 bytes
// at a time in four 32-bit lanes, each 16-bit word added to a lane of its own half (no lane can
// carry out of 32 bits for runs under a megabyte), folded at the end. Byte order does not change
// a one's-complement sum, so the words are read as the machine has them.
using Lanes = uint32_t __attribute__((vector_size(16)));

uint16_t OnesComplementSum(const uint8_t* data, std::size_t size) {
    Lanes low{}, high{};
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        Lanes v;
        std::memcpy(&v, data + i, 16);
        low += v & 0xFFFF;
        high += v >> 16;
    }
    uint64_t sum = 0;
    for (int lane = 0; lane < 4; ++lane)
        sum += static_cast<uint64_t>(low[lane]) + high[lane];
    for (; i + 2 <= size; i += 2) {
        uint16_t word;
        std::memcpy(&word, data + i, 2);
        sum += word;
    }
    if (i < size) {
        const uint8_t last[2] = {data[i], 0};
        uint16_t word;
        std::memcpy(&word, last, 2);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// The single-thread floor of the same work: the section copied into a node, its UDP datagram
// summed (pseudo-header addresses, header and payload), the media copied into a frame buffer;
// nanoseconds per section. Only memcpy and the sum above, so the floor is the same in every
// build that optimises. It reads the sections the path is given, in the same order: a floor
// that read fewer would have them in cache where the path does not.
double FloorNsPerSection(const std::vector<std::vector<uint8_t>>& sections) {
    constexpr std::size_t kRounds = 200000;
    constexpr std::size_t kIpOffset = 12;
    constexpr std::size_t kMediaOffset = 12 + 20 + 8 + 18;
    const std::size_t distinct = sections.size();
    std::vector<uint8_t> node(1500);
    std::vector<uint8_t> frame(sections[0].size());
    uint32_t sums = 0;
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < kRounds; ++i) {
        const auto& s = sections[i % distinct];
        std::memcpy(node.data(), s.data(), s.size());
        // Addresses (8 bytes) and the whole datagram after the IP header, CRC excluded.
        sums += OnesComplementSum(node.data() + kIpOffset + 12, 8);
        sums += OnesComplementSum(node.data() + kIpOffset + 20, s.size() - kIpOffset - 20 - 4);
        std::memcpy(frame.data(), node.data() + kMediaOffset, s.size() - kMediaOffset - 4);
        benchmark::DoNotOptimize(sums);
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
    framesDamaged.store(0);
}

void WaitForFrames(uint32_t count) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (framesSeen.load(std::memory_order_acquire) < count && Clock::now() < until)
        std::this_thread::yield();
}

// Flat out: as many sections as the stream worker takes, each a frame for the host; the module
// allocates nothing while they flow. The argument is how many distinct sections are sent in turn:
// 256 (360 KB) stay in the host thread's cache, as the buffer a demultiplexer has just filled
// does; 4,096 (5.6 MB) do not, as sections a demultiplexer's DMA wrote to memory.
void BM_StreamFramesFlatOut(benchmark::State& state) {
    const int32_t hostId = StartModuleWithProgram();
    if (hostId == 0) {
        state.SkipWithError("start failed");
        return;
    }
    std::vector<std::vector<uint8_t>> sections;
    const auto distinct = static_cast<std::size_t>(state.range(0));
    Prepare(distinct, sections);
    uint64_t sent = 0;
    int64_t refused = 0;
    int32_t refusal = KR_OK;
    const uint64_t allocationsBefore = kr::fault::AllocationCount();
    const auto begin = Clock::now();
    for (auto _ : state) {
        // Timestamps repeat after `distinct` sections; a repeat is still a new frame because the
        // neighbouring one differs.
        const auto& s = sections[sent % distinct];
        int32_t result;
        while ((result = kr_T2K_SendRetrieved(hostId, 0, s.data(),
                                              static_cast<int32_t>(s.size()))) == KR_NO_NODE) {
            ++refused;
            std::this_thread::yield();
        }
        if (result != KR_OK) {
            refusal = result;
            break;
        }
        ++sent;
    }
    WaitForFrames(static_cast<uint32_t>(sent));
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const uint32_t seen = framesSeen.load();
    const uint64_t allocations = kr::fault::AllocationCount() - allocationsBefore;
    kr_T2K_Finish();
    state.counters["module_allocs"] = static_cast<double>(allocations);
    state.counters["sections_per_s"] = static_cast<double>(seen) / seconds;
    // Damaged frames are not among those seen.
    state.counters["lost"] = static_cast<double>(sent - std::min<uint64_t>(sent, seen));
    state.counters["damaged"] = static_cast<double>(framesDamaged.load());
    state.counters["pool_full_retries"] = static_cast<double>(refused);
    const double floorNs = FloorNsPerSection(sections);
    state.counters["floor_ns_per_section"] = floorNs;
    // How many times the floor one section costs on the whole path.
    state.counters["ratio_to_floor"] =
        seen == 0 ? 0.0 : (seconds * 1e9 / static_cast<double>(seen)) / floorNs;
    state.SetItemsProcessed(static_cast<int64_t>(seen));
    state.SetBytesProcessed(static_cast<int64_t>(seen) * static_cast<int64_t>(sections[0].size()));
    if (refusal != KR_OK) {
        state.SkipWithError(("kr_T2K_SendRetrieved answered " + std::to_string(refusal)).c_str());
    } else if (seen < sent) {
        state.SkipWithError("frames were lost on the way to the host");
    }
}
BENCHMARK(BM_StreamFramesFlatOut)
    ->ArgName("sections")
    ->Arg(256)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The floor of a hand-off to another thread: a thread waiting on a condition variable is
// notified at the given interval; the time from the notify to its waking, in nanoseconds.
std::vector<int64_t> WakeUpNs(std::size_t count, std::chrono::nanoseconds interval) {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t posted = 0;
    Clock::time_point postedAt{};
    std::vector<int64_t> ns;
    ns.reserve(count);
    std::thread waiter([&] {
        uint64_t seen = 0;
        std::unique_lock hold(mutex);
        while (seen < count) {
            changed.wait(hold, [&] { return posted != seen; });
            ns.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - postedAt)
                    .count());
            seen = posted;
        }
    });
    auto next = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += interval;
        {
            std::lock_guard hold(mutex);
            ++posted;
            postedAt = Clock::now();
        }
        changed.notify_one();
    }
    waiter.join();
    return ns;
}

// A 30 Mbit/s multiplex of 1,400-byte datagrams: one section every 373 us, each timed from
// kr_T2K_SendRetrieved to the frame function.
void BM_StreamFrameLatencyAt30Mbits(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    constexpr double kBitsPerSecond = 30e6;
    const auto interval = std::chrono::nanoseconds(
        static_cast<int64_t>(1e9 * static_cast<double>(kRtpBytes + 28) * 8 / kBitsPerSecond));
    std::vector<std::vector<uint8_t>> sections;
    std::vector<int64_t> sendNs;
    uint64_t lost = 0;
    int32_t refusal = KR_OK;
    timingFrames = true;
    for (auto _ : state) {
        const int32_t hostId = StartModuleWithProgram();
        if (hostId == 0) {
            state.SkipWithError("start failed");
            timingFrames = false;
            return;
        }
        Prepare(count, sections);
        sendNs.assign(count, 0);
        auto next = Clock::now();
        std::vector<uint8_t> demuxBuffer(sections[0].size());
        for (std::size_t i = 0; i < count && refusal == KR_OK; ++i) {
            std::this_thread::sleep_until(next);
            next += interval;
            // A demultiplexer hands over the buffer it has just filled: the section is written
            // here first, so that the time is the library's and not a first read of memory the
            // benchmark wrote seconds ago.
            std::memcpy(demuxBuffer.data(), sections[i].data(), sections[i].size());
            benchmark::ClobberMemory();
            sentAt[i] = Clock::now();
            refusal = kr_T2K_SendRetrieved(hostId, 0, demuxBuffer.data(),
                                           static_cast<int32_t>(sections[i].size()));
            sendNs[i] =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sentAt[i])
                    .count();
        }
        if (refusal == KR_OK) WaitForFrames(static_cast<uint32_t>(count));
        kr_T2K_Finish();
        lost += count - std::min<std::size_t>(count, framesSeen.load());
        if (refusal != KR_OK) break;
    }
    timingFrames = false;
    std::vector<int64_t> seen;
    for (int64_t ns : latencyNs)
        if (ns >= 0) seen.push_back(ns);
    state.counters["frames"] = static_cast<double>(seen.size());
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["p50_us"] = static_cast<double>(Percentile(seen, 0.50)) / 1e3;
    state.counters["p99_us"] = static_cast<double>(Percentile(seen, 0.99)) / 1e3;
    state.counters["max_us"] = static_cast<double>(Percentile(seen, 1.0)) / 1e3;
    state.counters["send_p50_us"] = static_cast<double>(Percentile(sendNs, 0.50)) / 1e3;
    state.counters["offered_sections_per_s"] = 1e9 / static_cast<double>(interval.count());
    // The floor: a bare wake-up at the same pace, and how many times it the path's median takes.
    const std::vector<int64_t> wake = WakeUpNs(std::min<std::size_t>(count, 2000), interval);
    const int64_t wakeP50 = Percentile(wake, 0.50);
    state.counters["wake_p50_us"] = static_cast<double>(wakeP50) / 1e3;
    state.counters["wake_p99_us"] = static_cast<double>(Percentile(wake, 0.99)) / 1e3;
    state.counters["p50_ratio_to_wake"] =
        wakeP50 == 0 ? 0.0
                     : static_cast<double>(Percentile(seen, 0.50)) / static_cast<double>(wakeP50);
    if (refusal != KR_OK) {
        state.SkipWithError(("kr_T2K_SendRetrieved answered " + std::to_string(refusal)).c_str());
    } else if (lost != 0) {
        state.SkipWithError("frames were lost on the way to the host");
    }
}
BENCHMARK(BM_StreamFrameLatencyAt30Mbits)
    ->Arg(8000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace stream_bench
