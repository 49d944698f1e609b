#include "headend/elementary_stream.h"

namespace krtools {
namespace {

bool StartCodeAt(const std::vector<uint8_t>& s, std::size_t i) {
    return i + 3 < s.size() && s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1;
}

constexpr uint8_t kVisualObjectSequence = 0xB0;
constexpr uint8_t kGroupOfVops = 0xB3;
constexpr uint8_t kVop = 0xB6;

constexpr uint32_t kAdtsRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                     16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

std::vector<FrameSpan> SplitMpeg4Video(const std::vector<uint8_t>& s) {
    std::vector<FrameSpan> frames;
    if (s.empty()) return frames;
    std::size_t frameStart = 0;
    bool frameHasVop = false;
    for (std::size_t i = 0; i + 3 < s.size(); ++i) {
        if (!StartCodeAt(s, i)) continue;
        const uint8_t code = s[i + 3];
        const bool opensFrame =
            code == kVisualObjectSequence || code == kGroupOfVops || code == kVop;
        if (opensFrame && frameHasVop) {
            frames.push_back({frameStart, i - frameStart});
            frameStart = i;
            frameHasVop = false;
        }
        if (code == kVop) frameHasVop = true;
        i += 3;  // the code byte cannot begin another start code
    }
    frames.push_back({frameStart, s.size() - frameStart});
    return frames;
}

AdtsInfo SplitAdtsFrames(const std::vector<uint8_t>& s) {
    AdtsInfo info;
    std::size_t at = 0;
    while (at < s.size()) {
        if (s.size() - at < 7 || s[at] != 0xFF || (s[at + 1] & 0xF6) != 0xF0) return {};
        const uint32_t rate = kAdtsRates[(s[at + 2] >> 2) & 0x0F];
        const std::size_t length = (std::size_t{s[at + 3] & 0x03u} << 11) |
                                   (std::size_t{s[at + 4]} << 3) | (s[at + 5] >> 5);
        if (rate == 0 || length < 7 || length > s.size() - at) return {};
        if (info.sampleRate == 0) info.sampleRate = rate;
        info.frames.push_back({at, length});
        at += length;
    }
    return info;
}

}  // namespace krtools
