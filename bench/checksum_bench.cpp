// CRC-32 and Internet checksum throughput, each beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/checksum.h"

namespace checksum_bench {
namespace {

std::vector<uint8_t> Data(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

void BM_Crc32(benchmark::State& state) {
    const auto data = Data(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kr::Crc32(data.data(), static_cast<uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(184)->Arg(1500)->Arg(65536);

void BM_InternetChecksum(benchmark::State& state) {
    const auto data = Data(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kr::InternetChecksum(data.data(), static_cast<int32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_InternetChecksum)->Arg(20)->Arg(1500);

void BM_Memcpy(benchmark::State& state) {
    const auto data = Data(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(data.size());
    for (auto _ : state) {
        std::memcpy(out.data(), data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(1500)->Arg(65536);

}  // namespace
}  // namespace checksum_bench
