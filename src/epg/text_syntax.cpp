#include "epg/text_syntax.h"

#include <cstring>

#include "core/date.h"
#include "core/log.h"

namespace kr {
namespace {

int32_t ReadLine(const uint8_t* data, uint32_t* pos, uint32_t length, char* out,
                 std::size_t outSize, bool compact) {
    if (data == nullptr || pos == nullptr || out == nullptr || outSize == 0) return -1;
    if (*pos >= length) return -1;
    std::size_t stored = 0;
    uint32_t p = *pos;
    while (p < length) {
        const uint8_t c = data[p++];
        if (c == '\n') break;
        if (c == '\r' || c == '\0') continue;
        if (compact && (c == ' ' || c == '\t')) continue;
        // Long lines keep their first characters; the rest of the line is dropped.
        if (stored + 1 < outSize) out[stored++] = static_cast<char>(c);
    }
    out[stored] = '\0';
    *pos = p;
    return static_cast<int32_t>(stored + 1);
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

void CopyText(char* field, std::size_t size, const char* text) {
    if (field == nullptr || size == 0) return;
    std::size_t n = 0;
    if (text != nullptr) {
        while (n + 1 < size && text[n] != '\0') {
            field[n] = text[n];
            ++n;
        }
    }
    field[n] = '\0';
}

int32_t kr_ReadCompactLine(const uint8_t* data, uint32_t* pos, uint32_t length, char* out,
                           std::size_t outSize) {
    return ReadLine(data, pos, length, out, outSize, true);
}

int32_t kr_ReadRawLine(const uint8_t* data, uint32_t* pos, uint32_t length, char* out,
                       std::size_t outSize) {
    return ReadLine(data, pos, length, out, outSize, false);
}

uint32_t kr_FindKeyLine(const uint8_t* data, uint32_t length, const char* key, uint32_t keyLength) {
    if (data == nullptr || key == nullptr || length <= keyLength) return length + 1;
    for (uint32_t i = 0; i < length - keyLength; ++i) {
        if (i != 0 && data[i - 1] != '\n') continue;
        if (std::memcmp(data + i, key, keyLength) == 0) return i;
    }
    return length + 1;
}

int32_t kr_SplitKeyValue(const char* line, char* key, std::size_t keySize, char* value,
                         std::size_t valueSize) {
    if (line == nullptr || line[0] == '\0' || key == nullptr || value == nullptr || keySize == 0 ||
        valueSize == 0) {
        return -1;
    }
    std::size_t i = 0;
    std::size_t k = 0;
    while (line[i] != '\0' && line[i] != '=') {
        if (k + 1 < keySize) key[k++] = line[i];
        ++i;
    }
    key[k] = '\0';
    if (line[i] != '=') return 0;
    ++i;
    std::size_t v = 0;
    while (line[i] != '\0' && line[i] != '=') {
        if (v + 1 < valueSize) value[v++] = line[i];
        ++i;
    }
    value[v] = '\0';
    return 1;
}

int32_t kr_SplitAtLast(const char* s, char c, char* left, std::size_t leftSize, char* right,
                       std::size_t rightSize) {
    if (s == nullptr || left == nullptr || right == nullptr) return -1;
    const char* last = std::strrchr(s, c);
    if (c == '\0' || last == nullptr || last == s || last[1] == '\0') return 0;
    const auto leftLength = static_cast<std::size_t>(last - s);
    const std::size_t rightLength = std::strlen(last + 1);
    // A part that does not fit its field cannot be a valid name part.
    if (leftLength > leftSize || rightLength + 1 > rightSize) return 0;
    std::memcpy(left, s, leftLength);
    std::memcpy(right, last + 1, rightLength + 1);
    return 1;
}

bool kr_IsProgramHeader(const char* line) {
    if (line == nullptr) return false;
    // Compared byte by byte: the loop stops at the line's end as strncmp would, without GCC
    // judging the call by an empty string some other caller in a unity build passes.
    static constexpr char kHeader[] = "[PROGRAM";
    for (std::size_t i = 0; i + 1 < sizeof kHeader; ++i) {
        if (line[i] != kHeader[i]) return false;
    }
    return true;
}

uint32_t kr_DecimalValue(const char* text) {
    if (text == nullptr) return 0;
    while (IsSpace(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint32_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10u + static_cast<uint32_t>(*text - '0');
        ++text;
    }
    return negative ? 0u - value : value;
}

int32_t kr_ReadCountVersion(const uint8_t* data, uint32_t length, uint32_t* version) {
    uint32_t ignored = 0;
    if (version == nullptr) version = &ignored;
    *version = kNoVersion;
    int32_t count = 0;
    char line[kCompactLineSize];
    char key[kCompactLineSize];
    char value[kCompactLineSize];

    uint32_t p = kr_FindKeyLine(data, length, "COUNT", 5);
    if (p > length) return -1;
    if (kr_ReadCompactLine(data, &p, length, line, sizeof line) > 1) {
        value[0] = '\0';  // a COUNT line without '=' reads as an empty value
        kr_SplitKeyValue(line, key, sizeof key, value, sizeof value);
        if (std::strcmp(key, "COUNT") == 0) count = static_cast<int32_t>(kr_DecimalValue(value));
    }

    uint32_t q = kr_FindKeyLine(data, length, "VERSION", 7);
    if (q <= length && kr_ReadCompactLine(data, &q, length, line, sizeof line) > 1) {
        value[0] = '\0';
        kr_SplitKeyValue(line, key, sizeof key, value, sizeof value);
        if (std::strcmp(key, "VERSION") == 0) {
            // A stamp shorter than 14 characters is padded with '0' digits.
            char stamp[15] = "00000000000000";
            for (std::size_t i = 0; i < 14 && value[i] != '\0'; ++i)
                stamp[i] = value[i];
            *version = kr_ParseVersionStamp(stamp);
        }
    }
    return count;
}

uint8_t kr_HexToBytes(const char* hex, uint16_t length, uint8_t* out, uint16_t outCapacity,
                      uint16_t* outLength) {
    uint16_t written = 0;
    if (hex == nullptr || out == nullptr) {
        if (outLength != nullptr) *outLength = 0;
        return 0;
    }
    bool full = true;
    if (length % 2 != 0) {
        kr_Print(0x52, "warming : strConfig's len is odd number \n");
        full = false;
        --length;
    }
    // More digits than the output holds: the bytes that fit are kept, the rest is not decoded.
    if (length / 2 > outCapacity) {
        length = static_cast<uint16_t>(outCapacity * 2);
        full = false;
    }
    for (uint16_t i = 0; i < length; i += 2) {
        const auto h = static_cast<unsigned char>(hex[i]);
        const auto l = static_cast<unsigned char>(hex[i + 1]);
        int high = 0;
        int low = 0;
        if (h >= '0' && h <= '9') {
            high = h - '0';
        } else if ((h >= 'a' && h <= 'z') || (h >= 'A' && h <= 'Z')) {
            high = (h + 9) & 0x0F;
        } else {
            high = -1;
        }
        if (l >= '0' && l <= '9') {
            low = l - '0';
        } else if (l >= 'a' && l <= 'z') {
            low = l - 0x57;
        } else if (l >= 'A' && l <= 'Z') {
            low = l - 0x37;
        } else {
            low = -1;
        }
        if (high < 0 || low < 0) {
            kr_Print(0x52, "warning :find abnormal character . \n");
            if (outLength != nullptr) *outLength = written;
            return 0;
        }
        out[written++] = static_cast<uint8_t>((high << 4) | low);
    }
    if (outLength != nullptr) *outLength = written;
    return full ? 1 : 0;
}

}  // namespace kr
