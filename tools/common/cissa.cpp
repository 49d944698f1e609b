#include "common/cissa.h"

#include <algorithm>

#include "common/ts_packetiser.h"

namespace krtools {
namespace {

constexpr AesBlock kCissaIv = {'D', 'V', 'B', 'T', 'M', 'C', 'P', 'T',
                               'A', 'E', 'S', 'C', 'I', 'S', 'S', 'A'};

uint16_t PacketPid(const uint8_t* packet188) {
    return static_cast<uint16_t>(((packet188[1] & 0x1F) << 8) | packet188[2]);
}

// The whole blocks of the payload, empty when the packet has none. An adaptation field
// longer than the packet leaves nothing to touch, so a damaged packet is never read past.
std::span<uint8_t> PayloadBlocks(uint8_t* packet188) {
    const uint8_t adaptation = static_cast<uint8_t>((packet188[3] >> 4) & 0x03);
    if ((adaptation & 0x01) == 0) return {};
    std::size_t offset = 4;
    if (adaptation & 0x02) offset = std::min<std::size_t>(kTsPacketSize, 5u + packet188[4]);
    const std::size_t size = (kTsPacketSize - offset) / 16 * 16;
    return {packet188 + offset, size};
}

bool HasPayload(const uint8_t* packet188) {
    return (packet188[3] & 0x10) != 0;
}

void Mark(uint8_t* packet188, uint8_t control) {
    packet188[3] = static_cast<uint8_t>((packet188[3] & 0x3F) | (control << 6));
}

}  // namespace

void ScramblePacket(uint8_t* packet188, const AesKey& key, bool odd) {
    if (!HasPayload(packet188)) return;
    AesCbcEncrypt(key, kCissaIv, PayloadBlocks(packet188));
    Mark(packet188, odd ? kScramblingOdd : kScramblingEven);
}

bool DescramblePacket(uint8_t* packet188, const AesKey& even, const AesKey& odd) {
    const uint8_t control = ScramblingControl(packet188);
    if (control != kScramblingEven && control != kScramblingOdd) return false;
    AesCbcDecrypt(control == kScramblingOdd ? odd : even, kCissaIv, PayloadBlocks(packet188));
    Mark(packet188, 0);
    return true;
}

void ScramblePid(std::span<uint8_t> packets, uint16_t pid, const AesKey& key, bool odd) {
    for (std::size_t at = 0; at + kTsPacketSize <= packets.size(); at += kTsPacketSize) {
        uint8_t* packet = packets.data() + at;
        if (packet[0] == kTsSyncByte && PacketPid(packet) == pid) ScramblePacket(packet, key, odd);
    }
}

bool DescramblerTable::Set(uint16_t pid, const AesKey& even, const AesKey& odd) {
    {
        std::lock_guard hold(mutex_);
        Entry* slot = nullptr;
        for (Entry& e : entries_) {
            if (e.used && e.pid == pid) {
                slot = &e;
                break;
            }
            if (!e.used && slot == nullptr) slot = &e;
        }
        if (slot == nullptr) return false;
        const bool known = slot->used;
        if (!known || slot->even != even) slot->evenGeneration = ++generations_;
        if (!known || slot->odd != odd) slot->oddGeneration = ++generations_;
        slot->used = true;
        slot->pid = pid;
        slot->even = even;
        slot->odd = odd;
        ++changes_;
    }
    changed_.notify_all();
    return true;
}

void DescramblerTable::Clear(uint16_t pid) {
    {
        std::lock_guard hold(mutex_);
        for (Entry& e : entries_)
            if (e.used && e.pid == pid) e = Entry{};
        ++changes_;
    }
    changed_.notify_all();
}

bool DescramblerTable::Descramble(uint8_t* packet188, uint64_t* generation) const {
    const uint16_t pid = PacketPid(packet188);
    AesKey even, odd;
    {
        std::lock_guard hold(mutex_);
        const auto found = std::find_if(entries_.begin(), entries_.end(),
                                        [pid](const Entry& e) { return e.used && e.pid == pid; });
        if (found == entries_.end()) return false;
        even = found->even;
        odd = found->odd;
        if (generation != nullptr)
            *generation = ScramblingControl(packet188) == kScramblingOdd ? found->oddGeneration
                                                                         : found->evenGeneration;
    }
    return DescramblePacket(packet188, even, odd);
}

std::optional<uint64_t> DescramblerTable::Generation(uint16_t pid, bool odd) const {
    std::lock_guard hold(mutex_);
    for (const Entry& e : entries_)
        if (e.used && e.pid == pid) return odd ? e.oddGeneration : e.evenGeneration;
    return std::nullopt;
}

bool DescramblerTable::AwaitChange(uint64_t changes, Clock::time_point deadline) const {
    std::unique_lock hold(mutex_);
    return changed_.wait_until(hold, deadline, [&] { return changes_ != changes; });
}

uint64_t DescramblerTable::Changes() const {
    std::lock_guard hold(mutex_);
    return changes_;
}

}  // namespace krtools
