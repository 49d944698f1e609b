#include "headend/damage.h"

#include <algorithm>

#include "common/ts_packetiser.h"

namespace krtools {
namespace {

uint64_t ShareThreshold(double share) {
    return static_cast<uint64_t>(share * 4294967296.0);
}

}  // namespace

StreamDamage::StreamDamage(const MuxOptions& options)
    : state_(options.seed),
      drop_(ShareThreshold(options.dropShare)),
      corrupt_(drop_ + ShareThreshold(options.corruptShare)),
      active_(options.dropShare > 0 || options.corruptShare > 0) {}

void StreamDamage::Apply(MuxResult& result, std::size_t first) {
    if (!active_) return;
    // splitmix64: the same numbers on every platform for a seed.
    const auto next = [this] {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    std::vector<uint8_t>& stream = result.stream;
    std::vector<uint64_t>& times = result.packetTimesUs;
    // Packets are kept in place, those after a dropped one moving up.
    std::size_t kept = first;
    for (std::size_t n = first; n * kTsPacketSize < stream.size(); ++n) {
        const uint64_t draw = next() >> 32;
        if (draw < drop_) {
            ++result.droppedPackets;
            continue;
        }
        uint8_t* packet = stream.data() + kept * kTsPacketSize;
        if (kept != n) {
            std::copy_n(stream.data() + n * kTsPacketSize, kTsPacketSize, packet);
            times[kept] = times[n];
        }
        ++kept;
        if (draw < corrupt_) {
            const std::size_t where = 4 + static_cast<std::size_t>(next() % (kTsPacketSize - 4));
            packet[where] ^= static_cast<uint8_t>(1 + next() % 255);
            ++result.corruptedPackets;
        }
    }
    stream.resize(kept * kTsPacketSize);
    times.resize(kept);
}

void DamageStream(const MuxOptions& options, MuxResult& result) {
    StreamDamage(options).Apply(result);
}

}  // namespace krtools
