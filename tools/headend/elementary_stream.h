// Elementary-stream files cut into the frames a head end sends one RTP frame at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krtools {

// A frame as a range of its elementary stream; frames are contiguous and cover the stream.
struct FrameSpan {
    std::size_t offset = 0;
    std::size_t size = 0;
};

// MPEG-4 Part 2 video: a frame begins at a visual object sequence (00 00 01 B0), a group of
// VOPs (B3) or a VOP (B6) start code once the frame so far holds a VOP, so the headers before
// a VOP travel with it and every frame but possibly the first begins with one of those three
// codes. Bytes before the first start code stay with the first frame.
std::vector<FrameSpan> SplitMpeg4Video(const std::vector<uint8_t>& stream);

// AAC in ADTS framing: each frame is one ADTS header with its payload. Empty when the stream
// does not start with an ADTS sync word or a frame runs past the end.
struct AdtsInfo {
    uint32_t sampleRate = 0;
    std::vector<FrameSpan> frames;
};
AdtsInfo SplitAdtsFrames(const std::vector<uint8_t>& stream);

}  // namespace krtools
