#include "replay.h"

#include <krmodule/krmodule_ext.h>

#include <thread>

#include "common/pcr.h"

namespace krhost {

namespace {

using namespace std::chrono_literals;

// A wait for the library is cut in slices so that a stop request is seen.
constexpr uint32_t kCatchUpSliceMs = 100;
// Bit-rate pacing sleeps in steps of a few milliseconds, as a demultiplexer's buffers fill, not
// once per read.
constexpr auto kPaceStep = 4ms;
// A PCR further than this from where the clock expects it is a new start (a discontinuity, a
// spliced or looped file), not a reason to sleep or to hurry.
constexpr uint64_t kPcrJump = 2 * krtools::kPcrHz;

}  // namespace

Replay::Replay(ReplayOptions options, bool live, const std::atomic<bool>& stop,
               AwaitHost awaitHost)
    : options_(options), live_(live), stop_(stop), awaitHost_(std::move(awaitHost)) {}

void Replay::PaceByRate() {
    pacedBytes_ += 188;
    const auto due = start_ + std::chrono::microseconds(static_cast<int64_t>(
                                  static_cast<double>(pacedBytes_) * 8.0 / options_.rateMbps));
    if (due - lastPause_ >= kPaceStep) {
        std::this_thread::sleep_until(due);
        lastPause_ = due;
    }
}

void Replay::BeforePacket(const uint8_t* packet) {
    if (live_) return;
    if (options_.rateMbps > 0) PaceByRate();
    if (!options_.realtime) return;
    ++packetsSeen_;
    const uint16_t pid = static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
    if (pcrPid_ && *pcrPid_ != pid) return;
    const std::optional<uint64_t> pcr = krtools::ReadPcr(std::span<const uint8_t>(packet, 188));
    if (!pcr) return;
    const auto now = Clock::now();
    if (!pcrPid_) {
        pcrPid_ = pid;
        anchorPcr_ = *pcr;
        anchor_ = now;
        return;
    }
    const uint64_t elapsed = krtools::PcrTicksBetween(anchorPcr_, *pcr);
    const auto due = anchor_ + std::chrono::nanoseconds(elapsed * 1000 / 27);
    const auto ahead = due - now;
    if (ahead > std::chrono::nanoseconds(kPcrJump * 1000 / 27) ||
        elapsed > krtools::kPcrWrap / 2) {
        // The clock started again: this packet is due now.
        anchorPcr_ = *pcr;
        anchor_ = now;
        return;
    }
    if (ahead > 1ms) std::this_thread::sleep_until(due);
}

void Replay::CatchUp() {
    programDataPending_ = false;
    for (;;) {
        int32_t result = 1;
        while (result == 1 && !stop_.load())
            result = krx_WaitCaughtUp(kCatchUpSliceMs);
        if (result != 0) return;  // told to stop, or the library does not run
        // What the terminal did about a notice (a program started) is the library's to handle.
        if (!awaitHost_()) return;
    }
}

void Replay::AtStart() {
    if (!live_) CatchUp();
}

void Replay::AfterSection() {
    if (!live_) CatchUp();
}

void Replay::AfterChunk() {
    if (programDataPending_) CatchUp();
}

void Replay::AtEnd() {
    CatchUp();
}

bool Replay::OnNoBuffer() {
    if (live_ || stop_.load()) return false;
    CatchUp();
    return !stop_.load();
}

}  // namespace krhost
