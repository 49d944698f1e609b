// Presentation times of a program's frames from their RTP timestamps: counted from the stream's
// first frame at the stream's clock rate, with the 32-bit timestamp unwrapped, so that times run
// on across a wrap, a change of control words or a new EPG version.
#pragma once

#include <cstdint>
#include <optional>

namespace krgst {

class RtpClock {
  public:
    explicit RtpClock(uint32_t rate = 90000) : rate_(rate == 0 ? 90000 : rate) {}

    // Nanoseconds since the first timestamp. A timestamp behind the one before (a frame out of
    // order, within half the 32-bit range) gives an earlier time, never one 13 hours later;
    // times before the first frame are clamped to 0.
    uint64_t Nanoseconds(uint32_t timestamp) {
        if (!last_) {
            last_ = timestamp;
            return 0;
        }
        ticks_ += static_cast<int32_t>(timestamp - *last_);
        last_ = timestamp;
        if (ticks_ <= 0) return 0;
        const auto t = static_cast<uint64_t>(ticks_);
        return t / rate_ * 1000000000ull + t % rate_ * 1000000000ull / rate_;
    }

    uint32_t rate() const { return rate_; }

  private:
    uint32_t rate_;
    std::optional<uint32_t> last_;
    int64_t ticks_ = 0;  // since the first timestamp
};

}  // namespace krgst
