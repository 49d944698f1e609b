// What a virtual subscriber card holds when it leaves the factory: read from a profile file
// (KEY = VALUE lines, see docs/card.md) or filled in by a test.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/aes128.h"
#include "common/file_io.h"

namespace krtools {

// What the card lets a control-word request through for: an entitlement id and, unless both are
// 0, the seconds since 1970 (UTC) from which and up to which it holds.
struct Entitlement {
    uint16_t id = 0;
    uint32_t start = 0;
    uint32_t end = 0;

    bool operator==(const Entitlement&) const = default;
};

// Which control-word requests the card knows: an older card answers only the older form.
enum class CwRequests { kBoth, kOlderOnly };

struct CardProfile {
    std::array<uint8_t, 8> cardId{};
    std::string manufacturer;  // printable ASCII, at most 64 bytes
    std::string operatorName;  // printable ASCII, at most 64 bytes
    std::string pin = "1234";  // 4 to 8 digits, compared byte for byte
    uint8_t pinTries = 3;      // 1..15
    uint8_t rating = 0;        // as the terminal sees it: 0 (none) or 4..18
    // Start hour, start minute, end hour, end minute; all 0xFF: no restriction.
    std::array<uint8_t, 4> viewingPeriod{0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t versionMajor = 1;  // 0..15
    uint8_t versionMinor = 0;  // 0..15
    std::vector<uint8_t> atr = DefaultAtr();
    uint32_t mailRecords = 32;  // 1..254 records of 140 bytes
    std::optional<AesKey> operatorKey;  // none: every control-word request is refused
    std::vector<Entitlement> entitlements;  // at most kMaxEntitlements
    CwRequests cwRequests = CwRequests::kBoth;
    // How long the card takes: per command (or reset), and per byte through the contact (the
    // command's and the answer's). A real card on T=0 at 9600 baud takes tens of milliseconds
    // and about 1042 us a byte; 0 and 0 answer at once.
    uint32_t commandMs = 0;
    uint32_t byteUs = 0;

    // A T=0/T=1 answer to reset whose historical bytes name a subscriber card.
    static std::vector<uint8_t> DefaultAtr();
};

constexpr std::size_t kCardNameSize = 64;  // manufacturer and operator EFs
constexpr std::size_t kMaxAtrSize = 33;
constexpr uint32_t kMaxMailRecords = 254;
constexpr std::size_t kMaxEntitlements = 16;

// Settings over the defaults; a key may be given once. Throws ToolError naming the line.
CardProfile ParseCardProfile(std::string_view text);

// The same from a file; the message names the file and the line.
CardProfile ReadCardProfile(const std::filesystem::path& path);

}  // namespace krtools
