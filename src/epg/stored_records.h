// The EPG records as the persistent store keeps them: the layout a 32-bit terminal has in
// memory, pointer fields as 0 and padding as 0, numbers in the store's (native) byte order.
// Every build writes and reads this layout, so a store moves between 32- and 64-bit builds.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>
#include <span>

namespace kr {

constexpr uint32_t kStoredProgramSize = 444;
constexpr uint32_t kStoredStreamSize = 280;
constexpr uint32_t kStoredLinkSize = 140;
constexpr uint32_t kStoredIconSize = 8204;

void EncodeProgram(const ProgramInfo& program, std::span<uint8_t, kStoredProgramSize> out);
void EncodeStream(const StreamInfo& stream, std::span<uint8_t, kStoredStreamSize> out);
void EncodeLink(const ServiceLink& link, std::span<uint8_t, kStoredLinkSize> out);
void EncodeIcon(const IconInfo& icon, std::span<uint8_t, kStoredIconSize> out);

// false when the record cannot be used as it stands (an icon or an RTP program's video
// configuration longer than its field). The pointer fields of a program come back null; text
// fields come back NUL-terminated.
bool DecodeProgram(std::span<const uint8_t, kStoredProgramSize> in, ProgramInfo* program);
bool DecodeStream(std::span<const uint8_t, kStoredStreamSize> in, StreamInfo* stream);
bool DecodeLink(std::span<const uint8_t, kStoredLinkSize> in, ServiceLink* link);
bool DecodeIcon(std::span<const uint8_t, kStoredIconSize> in, IconInfo* icon);

}  // namespace kr
