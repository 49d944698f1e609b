// Section intake throughput: sections through kr_T2K_SendRetrieved (shared-filter path) to the
// stream worker and on to the host's data function, intake alone, and the datagram check, each
// beside a memcpy of the same bytes. The consumer request is made the way program start makes
// it, so every node passes the worker's live-request check and is delivered.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/section_builder.h"
#include "core/host.h"
#include "core/platform.h"
#include "intake/datagram.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "playback/stream_request.h"

namespace intake_bench {
namespace {

constexpr uint32_t kGroup = 0xE1000001;
constexpr uint16_t kPort = 1000;
constexpr uint16_t kPid = 0x0401;

std::atomic<uint32_t> lastFilterId{0};
int32_t AcceptFilter(uint32_t requestId, SectionFilterParams) {
    lastFilterId.store(requestId);
    return 0;
}

// UDP payloads the stream worker handed to the host, and those of another length.
std::atomic<uint64_t> delivered{0};
std::atomic<uint64_t> damaged{0};
constexpr uint32_t kPayloadBytes = 1400;

int32_t OnPayload(const void* record) {
    const auto& d = *static_cast<const StreamDelivery*>(record);
    (d.length == kPayloadBytes ? delivered : damaged).fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::vector<uint8_t> StreamSection() {
    krtools::Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = kPort;
    d.payload.assign(kPayloadBytes, 0x5A);
    return krtools::BuildDatagramSection(d);
}

// Attaches a consumer for the stream destination that takes UDP payloads, as a program started in
// that delivery mode does; returns the shared host filter's id (0 when refused).
int32_t AttachStream() {
    lastFilterId.store(0);
    kr::StreamRequest request;
    request.type = kr::kTypeVideo;
    request.pid = kPid;
    request.ipAddress = kGroup;
    request.udpPort = kPort;
    request.ownerId = 1;
    request.dataProcess = OnPayload;
    request.deliveryMode = KR_DELIVER_UDP_PAYLOAD;
    kr::ModuleLockGuard hold;
    if (kr::StartStreamRequest(request) != kr::StreamRequestResult::Attached) return 0;
    return static_cast<int32_t>(lastFilterId.load());
}

bool WaitForDeliveries(uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (delivered.load() + damaged.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

void BM_SendRetrievedToWorker(benchmark::State& state) {
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    if (kr_T2K_Init(&record) != KR_OK) {
        state.SkipWithError("init failed");
        return;
    }
    const int32_t hostId = AttachStream();
    if (hostId == 0) {
        kr_T2K_Finish();
        state.SkipWithError("stream request refused");
        return;
    }
    delivered.store(0);
    damaged.store(0);
    const std::vector<uint8_t> section = StreamSection();
    const auto length = static_cast<int32_t>(section.size());
    int64_t refused = 0;
    uint64_t sent = 0;
    int32_t refusal = KR_OK;
    for (auto _ : state) {
        // A full pool pushes back: wait for the worker instead of dropping.
        int32_t result;
        while ((result = kr_T2K_SendRetrieved(hostId, 0, section.data(), length)) == KR_NO_NODE) {
            ++refused;
            std::this_thread::yield();
        }
        if (result != KR_OK) {
            refusal = result;
            break;
        }
        ++sent;
    }
    WaitForDeliveries(sent);
    kr_T2K_Finish();
    const uint64_t good = delivered.load();
    state.SetItemsProcessed(static_cast<int64_t>(good));
    state.SetBytesProcessed(static_cast<int64_t>(good) * length);
    state.counters["pool_full_retries"] = static_cast<double>(refused);
    state.counters["lost"] = static_cast<double>(sent - std::min(sent, good));
    if (refusal != KR_OK) {
        state.SkipWithError(("kr_T2K_SendRetrieved answered " + std::to_string(refusal)).c_str());
    } else if (good < sent) {
        state.SkipWithError("sections were lost on the way to the host");
    }
}
BENCHMARK(BM_SendRetrievedToWorker)->UseRealTime();

// The intake's own share: no worker runs, so each node is taken from the stream queue and given
// back here.
void BM_SendRetrievedIntakeOnly(benchmark::State& state) {
    HostCallbacks callbacks{};
    callbacks.SetSectionFilter = AcceptFilter;
    kr::SetHostCallbacks(callbacks);
    if (kr::IntakeInit(64) != 0) {
        kr::ClearHostCallbacks();
        state.SkipWithError("intake init failed");
        return;
    }
    const int32_t hostId = AttachStream();
    const std::vector<uint8_t> section = StreamSection();
    const auto length = static_cast<int32_t>(section.size());
    kr::SectionQueue* stream = kr::GetQueue(kr::QueueId::Stream);
    uint64_t lost = 0;
    if (hostId != 0) {
        for (auto _ : state) {
            if (kr_T2K_SendRetrieved(hostId, 0, section.data(), length) != KR_OK) ++lost;
            kr::SectionNode* node = nullptr;
            if (kr::QueueTake(stream, &node) == 0) {
                kr::ReturnNode(node);
            } else {
                ++lost;
            }
        }
    }
    kr::StopRequestsByType(kr::kTypeVideo);
    kr::IntakeFinish();
    kr::ClearHostCallbacks();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * length);
    state.counters["lost"] = static_cast<double>(lost);
    if (hostId == 0) {
        state.SkipWithError("stream request refused");
    } else if (lost != 0) {
        state.SkipWithError("sections did not reach the stream queue");
    }
}
BENCHMARK(BM_SendRetrievedIntakeOnly);

void BM_ValidateDatagram1400(benchmark::State& state) {
    const std::vector<uint8_t> section = StreamSection();
    auto node = std::make_unique<kr::SectionNode>();
    std::memcpy(node->data, section.data(), section.size());
    node->length = static_cast<uint16_t>(section.size());
    // Timing the refusal of a datagram would say nothing about the check of a good one.
    if (kr::ValidateDatagram(node.get()) != KR_YES) {
        state.SkipWithError("the datagram was refused");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(kr::ValidateDatagram(node.get()));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(section.size()));
}
BENCHMARK(BM_ValidateDatagram1400);

void BM_MemcpySection(benchmark::State& state) {
    const std::vector<uint8_t> section = StreamSection();
    std::vector<uint8_t> out(section.size());
    for (auto _ : state) {
        std::memcpy(out.data(), section.data(), section.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(section.size()));
}
BENCHMARK(BM_MemcpySection);

}  // namespace
}  // namespace intake_bench
