// A software transport-stream demultiplexer: sections reassembled per PID from 188-byte
// packets, however the bytes are chunked. A section may span packets and one packet may hold
// several sections; a continuity error or a damaged packet drops the section being gathered.
// Packets in, sections out: it never waits. How fast the input is read (in step with the
// library, by a clock or a bit rate) is the reader's business.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
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

    // Called with every whole packet before it is handled (a reader that paces by the stream's
    // clock looks at the packet's PCR there).
    using PacketHook = std::function<void(const uint8_t* packet188)>;
    void OnPacket(PacketHook hook) { packetHook_ = std::move(hook); }

  private:
    struct PidState {
        std::vector<uint8_t> section;  // bytes of the section being gathered
        bool gathering = false;
        bool haveContinuity = false;
        uint8_t continuity = 0;
    };

    void HandlePacket(const uint8_t* packet);
    // The payload of a packet whose headers were read: descrambled when it is scrambled.
    void HandleContent(uint16_t pid, PidState& state, const uint8_t* packet, std::size_t offset,
                       bool unitStart);
    void HandlePayload(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size,
                       bool unitStart);
    // Adds bytes to the section being gathered; returns how many it took.
    std::size_t Gather(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size);
    void DropSection(PidState& state);

    SectionHandler handler_;
    const DescramblerTable* descrambler_ = nullptr;
    PacketHook packetHook_;
    std::array<uint8_t, 188> pending_{};
    std::size_t pendingSize_ = 0;
    std::vector<PidState> pids_;
    Stats stats_;
};

}  // namespace krtools
