// The lexical rules shared by the EPG text files: lines, key=value splitting, the COUNT and
// VERSION header keys, program section headers, decimal numbers and hexadecimal config strings.
// Every operation works on the caller's buffers, is bounded by the lengths it is given, and keeps
// no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kr {

// Characters a compact line of the live and file EPG keeps (its buffers hold 256 bytes).
constexpr std::size_t kCompactLineSize = 256;
// Characters a line inside an SDP block, or a program EPG line, keeps (5120-byte buffers).
constexpr std::size_t kLongLineSize = 5120;

// Version number of a file without a VERSION line.
constexpr uint32_t kNoVersion = 255;

// Reads the line at *pos, dropping blanks, tabs, CR and NUL, into out (outSize bytes, NUL
// included). -1 when *pos >= length; else characters stored + 1. *pos ends after the LF.
// Characters beyond outSize - 1 are dropped; the line still counts as one line.
int32_t kr_ReadCompactLine(const uint8_t* data, uint32_t* pos, uint32_t length, char* out,
                           std::size_t outSize);

// The same, dropping only CR and NUL.
int32_t kr_ReadRawLine(const uint8_t* data, uint32_t* pos, uint32_t length, char* out,
                       std::size_t outSize);

// Offset of the first line that begins with the keyLength bytes of key; length + 1 when none.
uint32_t kr_FindKeyLine(const uint8_t* data, uint32_t length, const char* key, uint32_t keyLength);

// -1 when line is empty or an output is null; 0 when the line holds no '=' (key = the whole
// line, value untouched); 1 with key before the first '=' and value up to the next '='.
// Outputs are cut to their sizes.
int32_t kr_SplitKeyValue(const char* line, char* key, std::size_t keySize, char* value,
                         std::size_t valueSize);

// Splits s at the last c. -1 on a null argument; 0 when c is absent, first or last, or a part
// does not fit its output; 1 with left = the characters before c (not terminated: callers
// pass zeroed buffers) and right = those after it, terminated.
int32_t kr_SplitAtLast(const char* s, char c, char* left, std::size_t leftSize, char* right,
                       std::size_t rightSize);

// True when s begins with prefix (both NUL-terminated).
inline bool StartsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// True when the line begins with "[PROGRAM".
bool kr_IsProgramHeader(const char* line);

// The COUNT value (-1 when no line begins with "COUNT"); *version = the packed VERSION stamp or
// 255.
int32_t kr_ReadCountVersion(const uint8_t* data, uint32_t length, uint32_t* version);

// Decimal value: leading white space, an optional sign, then digits up to the first other
// character; 0 without digits. Wraps modulo 2^32 like a store into a narrower field.
uint32_t kr_DecimalValue(const char* text);

// Decodes length hexadecimal characters into out (at most outCapacity bytes). 1 on full
// success, 0 otherwise; *outLength = bytes written.
uint8_t kr_HexToBytes(const char* hex, uint16_t length, uint8_t* out, uint16_t outCapacity,
                      uint16_t* outLength);

// Copies the NUL-terminated text into a field of size bytes, cut to size - 1 characters.
void CopyText(char* field, std::size_t size, const char* text);

}  // namespace kr
