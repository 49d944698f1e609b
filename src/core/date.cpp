#include "core/date.h"

#include <cstdlib>

namespace kr {
namespace {

// Decimal conversion of exactly `width` characters from text (fewer when the text ends).
int32_t FieldValue(const char* text, int width) {
    char field[5] = {};
    for (int i = 0; i < width && text[i] != '\0'; ++i)
        field[i] = text[i];
    return static_cast<int32_t>(std::strtol(field, nullptr, 10));
}

}  // namespace

uint8_t ToBcd(uint8_t v) {
    return static_cast<uint8_t>((v / 10) * 16 + v % 10);
}

uint8_t FromBcd(uint8_t v) {
    return static_cast<uint8_t>((v & 0x0F) + (v >> 4) * 10);
}

void MjdFromDate(int32_t year, int32_t month, int32_t day, uint16_t* mjd) {
    if (mjd == nullptr) return;
    if (year < 1900 || year > 2099 || month < 1 || month > 12 || day < 1 || day > 31) {
        *mjd = 0;
        return;
    }
    const int32_t y = year - 1900;
    const int32_t l = (month == 1 || month == 2) ? 1 : 0;
    const auto value = 14956 + day + static_cast<int32_t>((y - l) * 365.25) +
                       static_cast<int32_t>((month + 1 + l * 12) * 30.6001);
    *mjd = static_cast<uint16_t>(value);
}

uint32_t kr_ParseVersionStamp(const char* text) {
    if (text == nullptr) return 0;
    // Each field starts only where every earlier character exists, so a short text never
    // makes a read past its end.
    static constexpr int kWidths[6] = {4, 2, 2, 2, 2, 2};
    int32_t values[6] = {};
    const char* cursor = text;
    bool ended = false;
    for (int i = 0; i < 6; ++i) {
        if (!ended) values[i] = FieldValue(cursor, kWidths[i]);
        for (int c = 0; c < kWidths[i] && !ended; ++c) {
            if (*cursor == '\0') {
                ended = true;
            } else {
                ++cursor;
            }
        }
    }
    uint16_t mjd = 0;
    MjdFromDate(values[0], values[1], values[2], &mjd);
    const uint32_t time =
        static_cast<uint32_t>(values[3] * 2048 + (values[4] & 63) * 32 + ((values[5] / 2) & 31));
    return (uint32_t{mjd} << 16) | (time & 0xFFFF);
}

}  // namespace kr
