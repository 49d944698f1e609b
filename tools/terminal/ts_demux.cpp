#include "terminal/ts_demux.h"

#include <algorithm>
#include <cstring>

#include "common/cissa.h"
#include "common/ts_packetiser.h"

namespace krtools {
namespace {

constexpr std::size_t kSectionHeaderSize = 3;
constexpr uint8_t kStuffingByte = 0xFF;

}  // namespace

TsDemux::TsDemux(SectionHandler handler) : handler_(std::move(handler)), pids_(8192) {}

void TsDemux::Feed(std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        if (pendingSize_ == 0) {
            // Look for a packet start; whole packets are handled in place.
            if (*data != kTsSyncByte) {
                ++stats_.skippedBytes;
                ++data;
                --size;
                continue;
            }
            if (size >= kTsPacketSize) {
                HandlePacket(data);
                data += kTsPacketSize;
                size -= kTsPacketSize;
                continue;
            }
        }
        const std::size_t take = std::min(size, kTsPacketSize - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, data, take);
        pendingSize_ += take;
        data += take;
        size -= take;
        if (pendingSize_ == kTsPacketSize) {
            HandlePacket(pending_.data());
            pendingSize_ = 0;
        }
    }
}

void TsDemux::Finish() {
    pendingSize_ = 0;
    for (PidState& state : pids_)
        DropSection(state);
}

void TsDemux::DropSection(PidState& state) {
    if (state.gathering) ++stats_.droppedSections;
    state.gathering = false;
    state.section.clear();
}

void TsDemux::HandlePacket(const uint8_t* p) {
    ++stats_.packets;
    if (packetHook_) packetHook_(p);
    const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    if (pid == kNullPid) return;
    PidState& state = pids_[pid];
    const bool transportError = (p[1] & 0x80) != 0;
    const bool unitStart = (p[1] & 0x40) != 0;
    const uint8_t control = static_cast<uint8_t>((p[3] >> 4) & 0x03);
    const uint8_t continuity = static_cast<uint8_t>(p[3] & 0x0F);
    // A damaged packet is treated as lost; the next packet's counter shows the gap.
    if (transportError || control == 0) {
        ++stats_.damagedPackets;
        return;
    }
    std::size_t offset = 4;
    bool discontinuity = false;
    if (control & 0x02) {
        const std::size_t length = p[4];
        if (length > (control == 0x03 ? kTsPacketSize - 6 : kTsPacketSize - 5)) {
            ++stats_.damagedPackets;
            return;
        }
        discontinuity = length > 0 && (p[5] & 0x80) != 0;
        offset = 5 + length;
    }
    if (!(control & 0x01)) return;  // no payload: the counter does not advance
    bool lost = false;
    if (state.haveContinuity && !discontinuity) {
        if (continuity == state.continuity) return;  // a repeated packet
        if (continuity != ((state.continuity + 1) & 0x0F)) {
            ++stats_.continuityErrors;
            lost = true;
        }
    }
    state.haveContinuity = true;
    state.continuity = continuity;
    if (lost) DropSection(state);
    HandleContent(pid, state, p, offset, unitStart);
}

void TsDemux::HandleContent(uint16_t pid, PidState& state, const uint8_t* p, std::size_t offset,
                            bool unitStart) {
    const uint8_t scrambling = ScramblingControl(p);
    if (scrambling == kScramblingEven || scrambling == kScramblingOdd) {
        // The headers are clear, so the counter above holds; the payload is readable only
        // with the PID's keys, and a section cannot go on across a packet that is not.
        std::array<uint8_t, kTsPacketSize> clear;
        std::memcpy(clear.data(), p, kTsPacketSize);
        if (descrambler_ == nullptr || !descrambler_->Descramble(clear.data())) {
            ++stats_.undescrambled;
            DropSection(state);
            return;
        }
        HandlePayload(pid, state, clear.data() + offset, kTsPacketSize - offset, unitStart);
        return;
    }
    HandlePayload(pid, state, p + offset, kTsPacketSize - offset, unitStart);
}

void TsDemux::HandlePayload(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size,
                            bool unitStart) {
    if (!unitStart) {
        // Bytes after the end of a section in such a packet are stuffing.
        if (state.gathering) Gather(pid, state, data, size);
        return;
    }
    if (size == 0) return;
    // A PES packet (the head end's clock packets carry one) holds no sections: no section
    // syntax puts 00 00 01 after a pointer field.
    if (size >= 3 && data[0] == 0x00 && data[1] == 0x00 && data[2] == 0x01) {
        DropSection(state);
        return;
    }
    const std::size_t pointer = data[0];
    if (pointer + 1 > size) {
        ++stats_.damagedPackets;
        DropSection(state);
        return;
    }
    if (state.gathering) {
        Gather(pid, state, data + 1, pointer);
        // The next section begins here, so the one gathered cannot be completed any more.
        DropSection(state);
    }
    std::size_t at = 1 + pointer;
    while (at < size && data[at] != kStuffingByte) {
        state.gathering = true;
        state.section.clear();
        at += Gather(pid, state, data + at, size - at);
        if (state.gathering) return;  // continues in the next packet
    }
}

std::size_t TsDemux::Gather(uint16_t pid, PidState& state, const uint8_t* data, std::size_t size) {
    std::size_t taken = 0;
    auto append = [&](std::size_t wanted) {
        const std::size_t take = std::min(wanted, size - taken);
        state.section.insert(state.section.end(), data + taken, data + taken + take);
        taken += take;
    };
    while (taken < size && state.gathering) {
        if (state.section.size() < kSectionHeaderSize) {
            append(kSectionHeaderSize - state.section.size());
            if (state.section.size() < kSectionHeaderSize) break;
        }
        const std::size_t total =
            kSectionHeaderSize +
            static_cast<std::size_t>(((state.section[1] & 0x0F) << 8) | state.section[2]);
        append(total - state.section.size());
        if (state.section.size() == total) {
            ++stats_.sections;
            state.gathering = false;
            handler_(pid, state.section);
            state.section.clear();
        }
    }
    return taken;
}

}  // namespace krtools
