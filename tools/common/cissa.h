// DVB-CISSA scrambling of transport packets: AES-128-CBC over the whole 16-byte blocks of the
// payload under a fixed IV; the residue shorter than a block and every header stay clear, so a
// demultiplexer reads the headers and adaptation field of a scrambled packet as usual.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "common/aes128.h"

namespace krtools {

// transport_scrambling_control, bits 7..6 of packet byte 3.
constexpr uint8_t kScramblingEven = 0x02;
constexpr uint8_t kScramblingOdd = 0x03;

inline uint8_t ScramblingControl(const uint8_t* packet188) {
    return static_cast<uint8_t>(packet188[3] >> 6);
}

// Marks the packet even or odd and encrypts its payload. A packet without payload is left
// alone: there is nothing to hide and a terminal must not take it for one it cannot read.
void ScramblePacket(uint8_t* packet188, const AesKey& key, bool odd);

// A packet marked even or odd is decrypted with the key of its parity and marked clear (true);
// any other packet is left as it is (false).
bool DescramblePacket(uint8_t* packet188, const AesKey& even, const AesKey& odd);

// Every packet of pid in a run of whole packets, as a head end scrambles one service.
void ScramblePid(std::span<uint8_t> packets, uint16_t pid, const AesKey& key, bool odd);

// The control words a terminal's descrambler holds, per PID. Set from the library's workers
// while the demultiplexer's thread descrambles, hence the lock; a descrambling thread takes it
// only after a change, to copy the table and key its own decryption contexts, and otherwise
// decrypts packet after packet with those.
class DescramblerTable {
  public:
    static constexpr std::size_t kCapacity = 32;

    // False when the table is full (the PID keeps no keys).
    bool Set(uint16_t pid, const AesKey& even, const AesKey& odd);
    void Clear(uint16_t pid);

    // Decrypts a scrambled packet with its PID's keys; false when the PID has none.
    bool Descramble(uint8_t* packet188) const;

    DescramblerTable();

  private:
    struct Entry {
        bool used = false;
        uint16_t pid = 0;
        AesKey even{};
        AesKey odd{};
    };

    // A descrambling thread's copy of one table, with a keyed context per key.
    struct ThreadCopy;
    void Refresh(ThreadCopy& copy) const;

    mutable std::mutex mutex_;
    std::array<Entry, kCapacity> entries_{};
    // Written under the lock; read without it to tell whether a thread's copy is still current.
    std::atomic<uint64_t> changes_{0};
    // Tells tables apart for those copies, even one made where another was.
    const uint64_t serial_;
};

}  // namespace krtools
