// BCD, Modified Julian Date and the packed version stamp of system information and EPG files.
#pragma once

#include <cstdint>

namespace kr {

// 59 -> 0x59 (v up to 99).
uint8_t ToBcd(uint8_t v);
// 0x59 -> 59.
uint8_t FromBcd(uint8_t v);

// Writes the Modified Julian Date of the day, or 0 unless 1900 <= year <= 2099,
// 1 <= month <= 12 and 1 <= day <= 31 (a day beyond the month's end rolls into the next).
void MjdFromDate(int32_t year, int32_t month, int32_t day, uint16_t* mjd);

// A 14-digit YYYYMMDDhhmmss stamp packed as MJD << 16 | hour << 11 | minute << 5 | second / 2.
// Reads no further than the text's terminating NUL: missing characters count as absent digits.
uint32_t kr_ParseVersionStamp(const char* text);

}  // namespace kr
