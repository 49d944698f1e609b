#include "mpeg4_format.h"

namespace krgst {
namespace {

// Bits from a span, most significant first; reading past the end sets the sticky failure.
class Bits {
  public:
    explicit Bits(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint32_t Read(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (at_ >= bytes_.size() * 8) {
                failed_ = true;
                return 0;
            }
            value = value << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u);
            ++at_;
        }
        return value;
    }
    bool failed() const { return failed_; }

  private:
    std::span<const uint8_t> bytes_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

constexpr unsigned kExtendedPar = 15;
constexpr uint32_t kRectangular = 0;
constexpr uint32_t kGrayscale = 3;

}  // namespace

std::optional<Mpeg4Format> ReadVolHeader(std::span<const uint8_t> bytes) {
    // A video object layer starts with 00 00 01 2x.
    std::size_t start = 0;
    for (;; ++start) {
        if (start + 4 > bytes.size()) return std::nullopt;
        if (bytes[start] == 0 && bytes[start + 1] == 0 && bytes[start + 2] == 1 &&
            (bytes[start + 3] & 0xF0) == 0x20)
            break;
    }
    Bits b(bytes.subspan(start + 4));
    (void)b.Read(1);  // random accessible
    (void)b.Read(8);  // object type
    uint32_t verid = 1;
    if (b.Read(1) != 0) {
        verid = b.Read(4);
        (void)b.Read(3);
    }
    if (b.Read(4) == kExtendedPar) (void)b.Read(16);
    if (b.Read(1) != 0) {  // control parameters
        (void)b.Read(3);   // chroma format, low delay
        if (b.Read(1) != 0) (void)b.Read(79);  // buffering parameters with their markers
    }
    const uint32_t shape = b.Read(2);
    if (shape == kGrayscale && verid != 1) (void)b.Read(4);
    (void)b.Read(1);
    const uint32_t resolution = b.Read(16);
    (void)b.Read(1);
    Mpeg4Format format;
    if (b.Read(1) != 0) {  // fixed rate: the increment takes as many bits as resolution - 1
        unsigned width = 1;
        while (resolution > 1 && ((resolution - 1) >> width) != 0)
            ++width;
        const uint32_t increment = b.Read(width);
        if (increment != 0) {
            format.rateNumerator = resolution;
            format.rateDenominator = increment;
        }
    }
    if (shape != kRectangular) return std::nullopt;
    (void)b.Read(1);
    format.width = b.Read(13);
    (void)b.Read(1);
    format.height = b.Read(13);
    if (b.failed() || format.width == 0 || format.height == 0 || resolution == 0)
        return std::nullopt;
    return format;
}

}  // namespace krgst
