// The terminal's software demultiplexer over a megabyte of 4 KB sections on one PID, clear and
// scrambled under DVB-CISSA with the PID's keys set. The scrambled run also measures, in the same
// run and on the same bytes, the clear demultiplexer and libcrypto's AES-128-CBC decryption of
// every scrambled payload through one long-lived context: the least decryption can cost, so the
// ratio says how close the descrambler comes to it.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cissa.h"
#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "common/ts_packetiser.h"

namespace cissa_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPid = 0x300;
const krtools::AesKey kEven = {1, 2, 3}, kOdd = {4, 5, 6};

struct Stream {
    std::vector<uint8_t> bytes;
    uint64_t sections = 0;
};

Stream Megabyte() {
    krtools::TsPacketiser packetiser;
    Stream stream;
    const std::vector<uint8_t> section =
        krtools::BuildTableSection(0x80, std::vector<uint8_t>(4000, 0x3C));
    while (stream.bytes.size() < (1u << 20)) {
        packetiser.PutSection(kPid, section, stream.bytes);
        ++stream.sections;
    }
    return stream;
}

// Demultiplexes the stream rounds times; the sections that came out.
struct Demux {
    explicit Demux(const krtools::DescramblerTable* table)
        : demux([this](uint16_t, std::span<const uint8_t>) { ++sections; }) {
        demux.UseDescrambler(table);
    }
    uint64_t sections = 0;
    krtools::TsDemux demux;
};

double Seconds(Clock::time_point begin) {
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

// What the descrambler decrypts: the whole 16-byte blocks of each scrambled packet's payload.
struct Payload {
    std::size_t offset;
    std::size_t size;
};

std::vector<Payload> ScrambledPayloads(const std::vector<uint8_t>& stream) {
    std::vector<Payload> out;
    for (std::size_t at = 0; at + 188 <= stream.size(); at += 188) {
        const uint8_t* p = stream.data() + at;
        if (krtools::ScramblingControl(p) < krtools::kScramblingEven) continue;
        std::size_t offset = 4;
        if (p[3] & 0x20) offset = std::min<std::size_t>(188, 5u + p[4]);
        out.push_back({at + offset, (188 - offset) / 16 * 16});
    }
    return out;
}

// Decrypts every payload once with one context keyed once, without setting the IV again for
// each packet, which is the most favourable case for libcrypto (a descrambler must start each
// packet from the fixed IV); false when libcrypto fails.
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

bool EvpDecrypt(EVP_CIPHER_CTX* ctx, const std::vector<uint8_t>& stream,
                const std::vector<Payload>& payloads, std::vector<uint8_t>& out) {
    for (const Payload& p : payloads) {
        int written = 0;
        if (EVP_DecryptUpdate(ctx, out.data() + p.offset, &written, stream.data() + p.offset,
                              static_cast<int>(p.size)) != 1)
            return false;
    }
    return true;
}

void BM_DemuxClear(benchmark::State& state) {
    const Stream stream = Megabyte();
    Demux demux(nullptr);
    for (auto _ : state)
        demux.demux.Feed(stream.bytes);
    const uint64_t expected = stream.sections * state.iterations();
    state.counters["lost"] = static_cast<double>(expected - std::min(expected, demux.sections));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.bytes.size()));
    if (demux.sections < expected) state.SkipWithError("sections were lost");
}
BENCHMARK(BM_DemuxClear)->Unit(benchmark::kMillisecond);

void BM_DemuxScrambled(benchmark::State& state) {
    const Stream clear = Megabyte();
    Stream scrambled = clear;
    krtools::ScramblePid(scrambled.bytes, kPid, kEven, false);
    krtools::DescramblerTable table;
    if (!table.Set(kPid, kEven, kOdd)) {
        state.SkipWithError("no room for the keys");
        return;
    }
    Demux demux(&table);
    for (auto _ : state)
        demux.demux.Feed(scrambled.bytes);
    const uint64_t expected = scrambled.sections * state.iterations();
    state.counters["lost"] = static_cast<double>(expected - std::min(expected, demux.sections)) +
                             static_cast<double>(demux.demux.stats().undescrambled);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * scrambled.bytes.size()));

    // The floors, interleaved with the same scrambled run so that all three see the same
    // machine; the fastest of many rounds of each.
    const std::vector<Payload> payloads = ScrambledPayloads(scrambled.bytes);
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    static constexpr uint8_t kIv[16] = {};
    if (ctx == nullptr ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, kEven.data(), kIv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        state.SkipWithError("libcrypto failed");
        return;
    }
    std::vector<uint8_t> decrypted(scrambled.bytes.size());
    Demux clearDemux(nullptr);
    Demux scrambledDemux(&table);
    double scrambledS = 1e9, clearS = 1e9, evpS = 1e9;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        auto begin = Clock::now();
        scrambledDemux.demux.Feed(scrambled.bytes);
        scrambledS = std::min(scrambledS, Seconds(begin));
        begin = Clock::now();
        clearDemux.demux.Feed(clear.bytes);
        clearS = std::min(clearS, Seconds(begin));
        begin = Clock::now();
        if (!EvpDecrypt(ctx.get(), scrambled.bytes, payloads, decrypted)) {
            state.SkipWithError("libcrypto failed");
            return;
        }
        benchmark::ClobberMemory();
        evpS = std::min(evpS, Seconds(begin));
    }
    const auto gigabytes = static_cast<double>(scrambled.bytes.size()) / 1e9;
    state.counters["scrambled_GBps"] = gigabytes / scrambledS;
    state.counters["clear_GBps"] = gigabytes / clearS;
    state.counters["evp_GBps"] = gigabytes / evpS;
    // The whole scrambled demultiplexer against decryption alone, and the descrambling it adds
    // to the clear demultiplexer against the same decryption.
    state.counters["ratio_to_evp"] = evpS / scrambledS;
    state.counters["descramble_ratio_to_evp"] =
        scrambledS > clearS ? evpS / (scrambledS - clearS) : 0.0;
    if (demux.sections < expected || demux.demux.stats().undescrambled != 0)
        state.SkipWithError("sections were lost");
}
BENCHMARK(BM_DemuxScrambled)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace cissa_bench
