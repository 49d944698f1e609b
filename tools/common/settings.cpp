#include "common/settings.h"

#include <charconv>
#include <set>

#include "common/file_io.h"

namespace krtools {

std::string Trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return "";
    const auto end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

void ReadSettings(
    std::string_view text, const std::string& source,
    const std::function<void(const std::string& key, const std::string& value)>& apply,
    RepeatedKeys repeated) {
    std::set<std::string> given;
    std::size_t lineNumber = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const std::string where = source + " line " + std::to_string(lineNumber) + ": ";
        const auto equals = line.find('=');
        if (equals == std::string::npos) throw ToolError(where + "expected KEY = VALUE");
        const std::string key = Trim(std::string_view(line).substr(0, equals));
        if (repeated == RepeatedKeys::kRefused && !given.insert(key).second)
            throw ToolError(where + "'" + key + "' given twice");
        try {
            apply(key, Trim(std::string_view(line).substr(equals + 1)));
        } catch (const ToolError& error) {
            throw ToolError(where + error.what());
        }
    }
}

namespace {

std::optional<uint64_t> DigitsOf(std::string_view text, int base, uint64_t max) {
    uint64_t value = 0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value, base);
    if (text.empty() || error != std::errc() || end != last || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max) {
    return DigitsOf(text, 10, max);
}

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return DigitsOf(text.substr(2), 16, max);
    return DigitsOf(text, 10, max);
}

uint64_t NumberSetting(const std::string& key, const std::string& text, uint64_t max) {
    const auto value = ParseNumber(text, max);
    if (!value)
        throw ToolError("bad value for '" + key + "': '" + text + "' (a number up to " +
                        std::to_string(max) + ")");
    return *value;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\t') {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            ++end;
        if ((end - at) % 2 != 0) return false;
        for (; at < end; at += 2) {
            const auto byte = DigitsOf(text.substr(at, 2), 16, 0xFF);
            if (!byte) return false;
            bytes.push_back(static_cast<uint8_t>(*byte));
        }
    }
    return true;
}

std::string HexText(std::span<const uint8_t> bytes, char separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t b : bytes) {
        if (separator != '\0' && !text.empty()) text.push_back(separator);
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

}  // namespace krtools
