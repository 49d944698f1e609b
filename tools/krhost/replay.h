// How fast the terminal reads its input. A file (or standard input) is read in step with the
// library: after every section it hands over, the reader waits until the library has handled it
// with all it led to, and the terminal's commands have reacted to what the library told them,
// before it demultiplexes another packet. No section a filter set in reaction to an earlier one
// would have caught is lost, and no packet is read before the keys that open it are set,
// whatever the speed of the machine. On top of that a file may be paced by a bit rate or by the
// stream's own clock (its PCR), as a tuner would deliver it. A live source comes at its own pace
// and is never held.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace krhost {

struct ReplayOptions {
    double rateMbps = 0;    // bit-rate pacing of a file; 0: none
    bool realtime = false;  // pacing of a file by its PCR
};

class Replay {
  public:
    using Clock = std::chrono::steady_clock;
    // Waits until the terminal has reacted to every notice the library gave it; true when it
    // had one to react to (the reaction may have given the library more to do).
    using AwaitHost = std::function<bool()>;

    Replay(ReplayOptions options, bool live, const std::atomic<bool>& stop, AwaitHost awaitHost);

    // Before the first packet: in step, the terminal has reacted to what was current at the
    // start.
    void AtStart();
    // Before each packet: bit-rate and clock pacing.
    void BeforePacket(const uint8_t* packet188);
    // After a section went to the library: in step, returns once the library and the terminal
    // caught up with it (or the reader is told to stop); a live source goes on at once.
    void AfterSection();
    // After a section of a started program's datagrams: the wait for it is left to the end of
    // the chunk, or to the next section that needs one, since its frames change nothing the
    // reader filters or descrambles by. One wait for a chunk's frames instead of one per frame.
    void AfterProgramData() { programDataPending_ = !live_; }
    // After each chunk of input: catches up with the program data given in it.
    void AfterChunk();
    // At the end of the input, live or not: everything given has been handled.
    void AtEnd();
    // The library has no free buffer: in step, waits for it to catch up and says to try again.
    bool OnNoBuffer();

    // True when --realtime found no clock in the stream (said once by the caller).
    bool clockMissing() const { return options_.realtime && !pcrPid_ && packetsSeen_ > kPcrSearch; }

  private:
    void CatchUp();
    void PaceByRate();

    // Packets after which a stream without a PCR counts as having none.
    static constexpr uint64_t kPcrSearch = 10000;

    ReplayOptions options_;
    bool live_;
    bool programDataPending_ = false;
    const std::atomic<bool>& stop_;
    AwaitHost awaitHost_;
    // Bit-rate pacing.
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastPause_ = start_;
    uint64_t pacedBytes_ = 0;
    // Clock pacing: the PID whose PCR paces, and the PCR read at anchor_.
    std::optional<uint16_t> pcrPid_;
    uint64_t anchorPcr_ = 0;
    Clock::time_point anchor_;
    uint64_t packetsSeen_ = 0;
};

}  // namespace krhost
