// The terminal's software demultiplexer over a megabyte of 4 KB sections on one PID, clear and
// scrambled under DVB-CISSA with the PID's keys set: the difference is what descrambling costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/cissa.h"
#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "common/ts_packetiser.h"

namespace cissa_bench {
namespace {

constexpr uint16_t kPid = 0x300;

std::vector<uint8_t> Megabyte() {
    krtools::TsPacketiser packetiser;
    std::vector<uint8_t> stream;
    const std::vector<uint8_t> section =
        krtools::BuildTableSection(0x80, std::vector<uint8_t>(4000, 0x3C));
    while (stream.size() < (1u << 20))
        packetiser.PutSection(kPid, section, stream);
    return stream;
}

void Demux(benchmark::State& state, bool scrambled) {
    std::vector<uint8_t> stream = Megabyte();
    const krtools::AesKey even = {1, 2, 3}, odd = {4, 5, 6};
    krtools::DescramblerTable table;
    if (scrambled) {
        krtools::ScramblePid(stream, kPid, even, false);
        (void)table.Set(kPid, even, odd);
    }
    uint64_t sections = 0;
    krtools::TsDemux demux([&](uint16_t, std::span<const uint8_t>) { ++sections; });
    demux.UseDescrambler(&table);
    for (auto _ : state)
        demux.Feed(stream);
    benchmark::DoNotOptimize(sections);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_DemuxClear(benchmark::State& state) {
    Demux(state, false);
}
void BM_DemuxScrambled(benchmark::State& state) {
    Demux(state, true);
}
BENCHMARK(BM_DemuxClear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DemuxScrambled)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace cissa_bench
