// A software transport-stream demultiplexer: sections reassembled per PID from 188-byte
// packets, however the bytes are chunked. A section may span packets and one packet may hold
// several sections; a continuity error or a damaged packet drops the section being gathered.
#pragma once

#include <array>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace krtools {

class DescramblerTable;

class TsDemux {
  public:
    using SectionHandler = std::function<void(uint16_t pid, std::span<const uint8_t> section)>;

    struct Stats {
        uint64_t packets = 0;           // whole packets seen
        uint64_t skippedBytes = 0;      // bytes dropped while looking for a sync byte
        uint64_t damagedPackets = 0;    // transport error flag or an impossible header
        uint64_t continuityErrors = 0;  // a packet on a PID went missing
        uint64_t sections = 0;          // sections handed on
        uint64_t droppedSections = 0;   // sections begun but never completed
        uint64_t undescrambled = 0;     // scrambled packets of a PID without control words
    };

    explicit TsDemux(SectionHandler handler);

    // Any number of bytes; a packet split between calls is completed by the next call.
    void Feed(std::span<const uint8_t> bytes);

    // Drops what is being gathered (the end of the input); partial sections count as dropped.
    void Finish();

    const Stats& stats() const { return stats_; }

    // Scrambled packets are decrypted with the table's keys before their sections are
    // gathered; without a table, or for a PID without keys, they are dropped. The table must
    // outlive the demultiplexer.
    void UseDescrambler(const DescramblerTable* table) { descrambler_ = table; }

    // For input read faster than it was broadcast: the keys come from the same input, through
    // the library and the card, and may arrive after the packets they open. When a PID's crypto
    // period begins while its descrambler still holds the key of the period before last, its
    // packets are held until the renewed key comes; at most kMaxHeld packets a PID (the oldest
    // go first). A PID without keys is not held: its packets are dropped, as no later key is
    // known to open them. Only PIDs that wanted says are wanted are held. Finish waits up to
    // finishWait for the keys still awaited.
    void HoldForKeys(std::chrono::milliseconds finishWait, std::function<bool(uint16_t)> wanted) {
        holdFinishWait_ = finishWait;
        holdWanted_ = std::move(wanted);
    }
    static constexpr std::size_t kMaxHeld = 8192;

  private:
    // A packet whose headers were read, waiting for its key.
    struct HeldPacket {
        std::array<uint8_t, 188> bytes;
        uint8_t offset = 0;  // of the payload
        bool unitStart = false;
        bool lostBefore = false;  // a packet went missing just before this one
    };

    struct PidState {
        std::vector<uint8_t> section;  // bytes of the section being gathered
        bool gathering = false;
        bool haveContinuity = false;
        uint8_t continuity = 0;
        // The parity of the last packet descrambled (-1: none yet) and the generation of the
        // key each parity last used.
        int parity = -1;
        std::array<std::optional<uint64_t>, 2> used{};
        std::deque<HeldPacket> held;
    };

    void HandlePacket(const uint8_t* packet);
    // The payload of a packet whose headers were read: descrambled when it is scrambled.
    void HandleContent(uint16_t pid, PidState& state, const uint8_t* packet, std::size_t offset,
                       bool unitStart);
    enum class KeyState : uint8_t { kReady, kStale, kMissing };
    KeyState KeyFor(uint16_t pid, const PidState& state, bool odd) const;
    void Hold(uint16_t pid, PidState& state, const uint8_t* packet, std::size_t offset,
              bool unitStart, bool lostBefore);
    // Hands on the held packets whose keys have come, in their order.
    void ReleaseHeld();
    void DropHeld(PidState& state);
    void HandlePayload(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size,
                       bool unitStart);
    // Adds bytes to the section being gathered; returns how many it took.
    std::size_t Gather(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size);
    void DropSection(PidState& state);

    SectionHandler handler_;
    const DescramblerTable* descrambler_ = nullptr;
    std::optional<std::chrono::milliseconds> holdFinishWait_;
    std::function<bool(uint16_t)> holdWanted_;
    std::vector<uint16_t> holding_;  // PIDs with held packets
    std::array<uint8_t, 188> pending_{};
    std::size_t pendingSize_ = 0;
    std::vector<PidState> pids_;
    Stats stats_;
};

}  // namespace krtools
