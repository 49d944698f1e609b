// Section intake throughput: sections through kr_T2K_SendRetrieved (shared-filter path) to the
// stream worker, intake alone, and the datagram check, each beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <cstring>
#include <thread>
#include <vector>

#include "common/section_builder.h"
#include "core/host.h"
#include "core/platform.h"
#include "intake/datagram.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "intake/shared_filter.h"

namespace intake_bench {
namespace {

constexpr uint32_t kGroup = 0xE1000001;
constexpr uint16_t kPort = 1000;
constexpr uint16_t kPid = 0x0401;

uint32_t lastFilterId = 0;
int32_t AcceptFilter(uint32_t requestId, SectionFilterParams) {
    lastFilterId = requestId;
    return 0;
}

std::vector<uint8_t> StreamSection() {
    krtools::Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = kPort;
    d.payload.assign(1400, 0x5A);
    return krtools::BuildDatagramSection(d);
}

// Attaches a video consumer for the stream destination; returns the shared host filter's id.
uint32_t AttachStream() {
    kr::ModuleLockGuard hold;
    kr::RequestEntry* entry = nullptr;
    if (kr::AllotRequest(&entry) != 0) return 0;
    entry->type = kr::kTypeVideo;
    kr::QueueForType(kr::kTypeVideo, &entry->queue);
    entry->viaSharedFilter = 1;
    kr::IpFilterRequest filter{};
    filter.pid = kPid;
    filter.requestId = entry->requestId;
    kr::BuildIpUdpFilter(filter.match, filter.mask, kGroup, kPort);
    if (kr::AttachIpFilter(&filter) != 0) return 0;
    entry->state = kr::kRequestActive;
    return lastFilterId;
}

void BM_SendRetrievedToWorker(benchmark::State& state) {
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    if (kr_T2K_Init(&record) != KR_OK) {
        state.SkipWithError("init failed");
        return;
    }
    const int32_t hostId = static_cast<int32_t>(AttachStream());
    const std::vector<uint8_t> section = StreamSection();
    const auto length = static_cast<int32_t>(section.size());
    int64_t refused = 0;
    for (auto _ : state) {
        // A full pool pushes back: wait for the worker instead of dropping.
        while (kr_T2K_SendRetrieved(hostId, 0, section.data(), length) == KR_NO_NODE) {
            ++refused;
            std::this_thread::yield();
        }
    }
    while (kr::FreeNodeCount() != kr::IntakeNodeCount())
        std::this_thread::yield();
    kr_T2K_Finish();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * length);
    state.counters["pool_full_retries"] = static_cast<double>(refused);
}
BENCHMARK(BM_SendRetrievedToWorker)->UseRealTime();

void BM_SendRetrievedIntakeOnly(benchmark::State& state) {
    HostCallbacks callbacks{};
    callbacks.SetSectionFilter = AcceptFilter;
    kr::SetHostCallbacks(callbacks);
    kr::IntakeInit(64);
    const int32_t hostId = static_cast<int32_t>(AttachStream());
    const std::vector<uint8_t> section = StreamSection();
    const auto length = static_cast<int32_t>(section.size());
    kr::SectionQueue* stream = kr::GetQueue(kr::QueueId::Stream);
    for (auto _ : state) {
        kr_T2K_SendRetrieved(hostId, 0, section.data(), length);
        kr::SectionNode* node = nullptr;
        kr::QueueTake(stream, &node);
        kr::ReturnNode(node);
    }
    kr::StopRequestsByType(kr::kTypeVideo);
    kr::IntakeFinish();
    kr::ClearHostCallbacks();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_SendRetrievedIntakeOnly);

void BM_ValidateDatagram1400(benchmark::State& state) {
    const std::vector<uint8_t> section = StreamSection();
    auto node = std::make_unique<kr::SectionNode>();
    std::memcpy(node->data, section.data(), section.size());
    node->length = static_cast<uint16_t>(section.size());
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
