#include "headend/damage.h"

#include <algorithm>

#include "common/ts_packetiser.h"

namespace krtools {
namespace {

// splitmix64: the same numbers on every platform for a seed.
class SeededRandom {
  public:
    explicit SeededRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    uint64_t state_;
};

uint64_t ShareThreshold(double share) {
    return static_cast<uint64_t>(share * 4294967296.0);
}

}  // namespace

void DamageStream(const MuxOptions& options, MuxResult& result) {
    if (options.dropShare <= 0 && options.corruptShare <= 0) return;
    SeededRandom random(options.seed);
    const uint64_t drop = ShareThreshold(options.dropShare);
    const uint64_t corrupt = drop + ShareThreshold(options.corruptShare);
    std::vector<uint8_t>& stream = result.stream;
    std::vector<uint64_t>& times = result.packetTimesUs;
    // Packets are kept in place, those after a dropped one moving up.
    std::size_t kept = 0;
    for (std::size_t n = 0; n * kTsPacketSize < stream.size(); ++n) {
        const uint64_t draw = random.Next() >> 32;
        if (draw < drop) {
            ++result.droppedPackets;
            continue;
        }
        uint8_t* packet = stream.data() + kept * kTsPacketSize;
        if (kept != n) {
            std::copy_n(stream.data() + n * kTsPacketSize, kTsPacketSize, packet);
            times[kept] = times[n];
        }
        ++kept;
        if (draw < corrupt) {
            const std::size_t where =
                4 + static_cast<std::size_t>(random.Next() % (kTsPacketSize - 4));
            packet[where] ^= static_cast<uint8_t>(1 + random.Next() % 255);
            ++result.corruptedPackets;
        }
    }
    stream.resize(kept * kTsPacketSize);
    times.resize(kept);
}

}  // namespace krtools
