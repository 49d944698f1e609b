// The text the tools read and write besides streams: KEY = VALUE settings files (scenarios, card
// profiles, card state), numbers and hex bytes in them and on command lines.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace krtools {

// text without the blanks, tabs and carriage returns around it.
std::string Trim(std::string_view text);

enum class RepeatedKeys { kRefused, kAllowed };

// KEY = VALUE lines with # comments and blank lines between them: apply sees each key and value,
// trimmed. A ToolError from apply, a line without '=' or (unless allowed) a key given twice is
// thrown as a ToolError that names source and the line.
void ReadSettings(
    std::string_view text, const std::string& source,
    const std::function<void(const std::string& key, const std::string& value)>& apply,
    RepeatedKeys repeated = RepeatedKeys::kRefused);

// Decimal digits alone (no sign, no blanks) making at most max; nullopt for anything else.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max);

// The same, or hexadecimal after 0x.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

// ParseNumber of a setting's value; a ToolError naming the key when it is not a number up to max.
uint64_t NumberSetting(const std::string& key, const std::string& text, uint64_t max);

// Hex bytes, written together or with blanks between whole bytes; false for anything else.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes);

// Upper-case hex digits, two a byte, with separator between bytes unless it is '\0'.
std::string HexText(std::span<const uint8_t> bytes, char separator = '\0');

}  // namespace krtools
