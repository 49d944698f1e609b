// What the host's threads see while a 1 MiB EPG container is parsed and its live EPG saved through
// a WriteStore that takes 100 ms (a flash write on a real box): the latency of every
// kr_T2K_SendRetrieved of a running program, and of every kr_T2K_GetLiveEpg with its release,
// made meanwhile on two other threads.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/epg_container.h"
#include "epg/epg_container.h"
#include "intake/request_table.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kProgram = 1;
constexpr uint16_t kPid = 0x0501;
constexpr uint32_t kGroup = 0xEF030301;
constexpr uint16_t kVideoPort = 5000;
constexpr uint32_t kStoreBytes = 0x20000;

std::vector<uint8_t> store(kStoreBytes);

int32_t AcceptFilter(uint32_t, SectionFilterParams) {
    return 0;
}
int32_t StoreBuffer(uint32_t* size, uintptr_t* handle) {
    *size = kStoreBytes;
    *handle = reinterpret_cast<uintptr_t>(store.data());
    return 0;
}
int32_t ReadStore(uintptr_t, uint32_t*, uint8_t*) {
    return 0;
}
std::atomic<int> storeWrites{0};
int32_t SlowWriteStore(uintptr_t, uint32_t*, const uint8_t*) {
    storeWrites.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
int32_t IgnoreFrame(const void*) {
    return 0;
}

std::string Version(int n) {
    return "202612061200" + std::to_string(100 + n % 60).substr(1);
}

// 32 programs with long abstracts, and seven long schedule texts for each: about 1 MiB.
std::vector<uint8_t> BigContainer(int version) {
    std::string live = "[LIVE_EPG]\nCOUNT=32\nVERSION=" + Version(version) + "\n";
    std::string schedule = "[Program_EPG]\nCOUNT=32\nVERSION=" + Version(version) + "\n";
    const std::string abstract(250, 'a');
    const std::string text(4600, 't');
    for (uint32_t id = kProgram; id < kProgram + 32; ++id) {
        live += "[PROGRAM" + std::to_string(id) + "]\nProgramID=" + std::to_string(id) +
                "\nProgramName=P" + std::to_string(id) + "\nAbstract=" + abstract +
                "\nChannel=239.3.3.1:5000\nPid=" + std::to_string(kPid) +
                "\nProgramSort=4\n#STARTSDP\nm=video " + std::to_string(kVideoPort) +
                " RTP/AVP 96\nm=audio 5002 RTP/AVP 97\n#ENDSDP\n";
        schedule += "[PROGRAM" + std::to_string(id) + "]\nProgramID=" + std::to_string(id) + "\n";
        for (int day = 1; day <= 7; ++day) {
            schedule += "Day" + std::to_string(day) + "=day\nContent" + std::to_string(day) +
                        "=" + text + "\n";
        }
    }
    std::vector<krtools::EpgFile> files = {
        {"LiveEPG.txt", std::vector<uint8_t>(live.begin(), live.end())},
        {"ProgramEPG.txt", std::vector<uint8_t>(schedule.begin(), schedule.end())}};
    for (uint32_t icon = 1; icon <= 6; ++icon)
        files.push_back({"ico\\" + std::to_string(icon) + ".bmp",
                         std::vector<uint8_t>(8000, static_cast<uint8_t>(icon + version))});
    return krtools::BuildEpgContainer(files);
}

std::vector<uint8_t> FrameSection() {
    krtest::RtpPacketFields packet;
    packet.seq = 1;
    packet.timestamp = 1;
    packet.marker = true;
    packet.media = krtest::FrameStart(0xB6, 1382);
    krtest::Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = kVideoPort;
    d.payload = krtest::BuildRtpPayload(packet);
    return krtest::BuildDatagramSection(d);
}

int32_t HostFilterId() {
    for (uint32_t id = 1; id < 200; ++id) {
        kr::RequestEntry* entry = nullptr;
        if (kr::FindRequest(id, &entry) == 0 && entry->type == kr::kTypeSharedFilter &&
            entry->pid == kPid)
            return static_cast<int32_t>(id);
    }
    return 0;
}

double Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return static_cast<double>(values[k]) / 1e3;
}

int64_t NsSince(Clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
}

void BM_HostCallsDuringAParseAndSlowStoreWrite(benchmark::State& state) {
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    record.callbacks.GetStoreBuffer = StoreBuffer;
    record.callbacks.ReadStore = ReadStore;
    record.callbacks.WriteStore = SlowWriteStore;
    if (kr_T2K_Init(&record) != KR_OK) {
        state.SkipWithError("start failed");
        return;
    }
    int version = 0;
    const std::vector<uint8_t> first = BigContainer(version++);
    (void)kr::kr_ProcessEpgContainer(first.data(), static_cast<uint32_t>(first.size()));
    if (kr_T2K_StartProgram(kProgram, 0, IgnoreFrame) != KR_OK) {
        state.SkipWithError("program start failed");
        kr_T2K_Finish();
        return;
    }
    const int32_t hostId = HostFilterId();
    const std::vector<uint8_t> section = FrameSection();
    std::vector<int64_t> sendNs;
    std::vector<int64_t> fetchNs;
    int64_t parseNs = 0;
    for (auto _ : state) {
        const std::vector<uint8_t> container = BigContainer(version++);
        std::atomic<bool> running{true};
        std::thread sender([&] {
            while (running.load()) {
                const auto begin = Clock::now();
                (void)kr_T2K_SendRetrieved(hostId, 0, section.data(),
                                           static_cast<int32_t>(section.size()));
                sendNs.push_back(NsSince(begin));
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        std::thread reader([&] {
            LiveEpg* held = nullptr;
            while (running.load()) {
                const auto begin = Clock::now();
                LiveEpg* live = nullptr;
                if (kr_T2K_GetLiveEpg(&live) == KR_OK && live != held) {
                    if (held != nullptr) (void)kr_T2K_ReleaseLiveEpg(held);
                    held = live;
                }
                fetchNs.push_back(NsSince(begin));
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            if (held != nullptr) (void)kr_T2K_ReleaseLiveEpg(held);
        });
        const auto begin = Clock::now();
        (void)kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
        parseNs += NsSince(begin);
        running = false;
        sender.join();
        reader.join();
    }
    kr_T2K_Finish();
    state.counters["container_bytes"] = static_cast<double>(first.size());
    state.counters["parse_and_save_ms"] =
        static_cast<double>(parseNs) / 1e6 / static_cast<double>(state.iterations());
    state.counters["store_writes"] = storeWrites.load();
    state.counters["sends"] = static_cast<double>(sendNs.size());
    state.counters["send_p99_us"] = Percentile(sendNs, 0.99);
    state.counters["send_max_us"] = Percentile(sendNs, 1.0);
    state.counters["getlive_p99_us"] = Percentile(fetchNs, 0.99);
    state.counters["getlive_max_us"] = Percentile(fetchNs, 1.0);
}
BENCHMARK(BM_HostCallsDuringAParseAndSlowStoreWrite)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
