#include "headend/sysinfo_payload.h"

#include <algorithm>

#include "common/byte_writer.h"

namespace krtools {
namespace {

constexpr uint32_t kSysinfoMagic = 0x0000BDBDu;

uint32_t Digits(const std::string& text, std::size_t at, std::size_t count) {
    uint32_t value = 0;
    for (std::size_t i = at; i < at + count; ++i)
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    return value;
}

// Days since 1970-01-01 of a civil date, and back (Howard Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, uint32_t m, uint32_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, HeadEndTime& t) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<uint32_t>(yoe + era * 400 + (m <= 2));
    t.month = static_cast<uint32_t>(m);
    t.day = static_cast<uint32_t>(d);
}

}  // namespace

bool IsVersionStamp(const std::string& stamp) {
    return stamp.size() == 14 &&
           std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; });
}

HeadEndTime TimeAfter(const std::string& stamp, uint64_t seconds) {
    HeadEndTime t;
    if (!IsVersionStamp(stamp)) return t;
    const uint32_t month = std::clamp(Digits(stamp, 4, 2), 1u, 12u);
    const uint32_t day = std::clamp(Digits(stamp, 6, 2), 1u, 31u);
    const uint64_t start =
        uint64_t{Digits(stamp, 8, 2)} * 3600 + Digits(stamp, 10, 2) * 60ull + Digits(stamp, 12, 2);
    const uint64_t total = start + seconds;
    CivilFromDays(
        DaysFromCivil(Digits(stamp, 0, 4), month, day) + static_cast<int64_t>(total / 86400), t);
    const uint64_t inDay = total % 86400;
    t.hour = static_cast<uint32_t>(inDay / 3600);
    t.minute = static_cast<uint32_t>(inDay / 60 % 60);
    t.second = static_cast<uint32_t>(inDay % 60);
    return t;
}

uint32_t StampSeconds(const std::string& stamp) {
    if (!IsVersionStamp(stamp)) return 0;
    const uint32_t month = std::clamp(Digits(stamp, 4, 2), 1u, 12u);
    const uint32_t day = std::clamp(Digits(stamp, 6, 2), 1u, 31u);
    const int64_t days = DaysFromCivil(Digits(stamp, 0, 4), month, day);
    const int64_t seconds = days * 86400 + int64_t{Digits(stamp, 8, 2)} * 3600 +
                            int64_t{Digits(stamp, 10, 2)} * 60 + Digits(stamp, 12, 2);
    return seconds < 0 ? 0 : static_cast<uint32_t>(seconds);
}

std::vector<uint8_t> BuildSysinfoPayload(const SysinfoPayload& s) {
    std::vector<uint8_t> out;
    out.reserve(kSysinfoHeaderSize + s.message.size());
    AppendLe32(out, kSysinfoMagic);
    for (uint32_t v :
         {s.time.year, s.time.month, s.time.day, s.time.hour, s.time.minute, s.time.second, 0u})
        AppendLe32(out, v);
    std::string stamp = s.epgVersion;
    stamp.resize(14, '0');
    AppendText(out, stamp);
    out.push_back(0);
    out.push_back(0);
    AppendLe32(out, 0);
    AppendLe32(out, s.epgPid);
    AppendLe32(out, s.epgAddress);
    AppendLe32(out, s.epgPort);
    AppendLe32(out, static_cast<uint32_t>(s.message.size()));
    AppendText(out, s.message);
    return out;
}

bool ParseSysinfoPayload(const uint8_t* p, std::size_t size, SysinfoPayload& out) {
    if (p == nullptr || size < kSysinfoHeaderSize || ReadLe32(p) != kSysinfoMagic) return false;
    out.time = {ReadLe32(p + 4),  ReadLe32(p + 8),  ReadLe32(p + 12),
                ReadLe32(p + 16), ReadLe32(p + 20), ReadLe32(p + 24)};
    out.epgVersion.assign(reinterpret_cast<const char*>(p + 32), 14);
    out.epgPid = static_cast<uint16_t>(ReadLe32(p + 52));
    out.epgAddress = ReadLe32(p + 56);
    out.epgPort = static_cast<uint16_t>(ReadLe32(p + 60));
    const uint32_t length = ReadLe32(p + 64);
    if (length > size - kSysinfoHeaderSize) return false;
    out.message.assign(reinterpret_cast<const char*>(p + kSysinfoHeaderSize), length);
    return true;
}

}  // namespace krtools
