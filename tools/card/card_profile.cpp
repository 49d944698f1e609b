#include "card/card_profile.h"

#include <chrono>

#include "common/settings.h"

namespace krtools {

std::vector<uint8_t> CardProfile::DefaultAtr() {
    // Direct convention, TA1 and TD1 present, 15 historical bytes; Fi/Di at their defaults;
    // T=0 first, T=1 offered, so a check byte closes it.
    std::vector<uint8_t> atr = {0x3B, 0x9F, 0x11, 0x80, 0x01, 0x80, 0x6D};
    for (const char c : std::string_view("KR SUBSCRIBER"))
        atr.push_back(static_cast<uint8_t>(c));
    uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        check ^= atr[i];
    atr.push_back(check);
    return atr;
}

namespace {

[[noreturn]] void Bad(const std::string& key, const std::string& value, const char* expected) {
    throw ToolError("bad value for '" + key + "': '" + value + "' (" + expected + ")");
}

// True when text is a decimal number of at most max.
bool Decimal(std::string_view text, uint32_t max, uint32_t& value) {
    const auto number = ParseDecimal(text, max);
    if (number) value = static_cast<uint32_t>(*number);
    return number.has_value();
}

bool Name(const std::string& text) {
    if (text.size() > kCardNameSize) return false;
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// "HH:MM" into hour and minute.
bool Clock(std::string_view text, uint8_t& hour, uint8_t& minute) {
    uint32_t h = 0;
    uint32_t m = 0;
    if (text.size() != 5 || text[2] != ':' || !Decimal(text.substr(0, 2), 23, h) ||
        !Decimal(text.substr(3, 2), 59, m))
        return false;
    hour = static_cast<uint8_t>(h);
    minute = static_cast<uint8_t>(m);
    return true;
}

// "YYYY-MM-DD" as the seconds since 1970 at its 00:00:00 UTC; the day must end within u32.
bool Day(std::string_view text, uint32_t& seconds) {
    uint32_t y = 0;
    uint32_t m = 0;
    uint32_t d = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Decimal(text.substr(0, 4), 9999, y) ||
        !Decimal(text.substr(5, 2), 12, m) || !Decimal(text.substr(8, 2), 31, d))
        return false;
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(y)),
                                           std::chrono::month(m), std::chrono::day(d)};
    if (!date.ok()) return false;
    const long long days = std::chrono::sys_days(date).time_since_epoch().count();
    constexpr long long kDay = 86400;
    if (days < 0 || days * kDay + kDay - 1 > 0xFFFFFFFFLL) return false;
    seconds = static_cast<uint32_t>(days * kDay);
    return true;
}

// "ID" or "ID YYYY-MM-DD..YYYY-MM-DD"; the ID in decimal or 0x-prefixed hex.
bool ParseEntitlement(const std::string& text, Entitlement& e) {
    const auto blank = text.find_first_of(" \t");
    const std::string_view id = std::string_view(text).substr(0, blank);
    const auto number = ParseNumber(id, 0xFFFF);
    if (!number) return false;
    e = {static_cast<uint16_t>(*number), 0, 0};
    if (blank == std::string::npos) return true;
    const std::string period = Trim(std::string_view(text).substr(blank));
    uint32_t last = 0;
    if (period.size() != 22 || period.compare(10, 2, "..") != 0 ||
        !Day(std::string_view(period).substr(0, 10), e.start) ||
        !Day(std::string_view(period).substr(12), last) || last < e.start)
        return false;
    e.end = last + 86399;
    return true;
}

void Apply(CardProfile& p, const std::string& key, const std::string& value) {
    uint32_t number = 0;
    if (key == "card-id") {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(value, bytes) || bytes.size() != p.cardId.size())
            Bad(key, value, "16 hex digits");
        std::copy(bytes.begin(), bytes.end(), p.cardId.begin());
    } else if (key == "manufacturer" || key == "operator") {
        if (!Name(value)) Bad(key, value, "at most 64 bytes of printable ASCII");
        (key == "operator" ? p.operatorName : p.manufacturer) = value;
    } else if (key == "pin") {
        if (value.size() < 4 || value.size() > 8 ||
            value.find_first_not_of("0123456789") != std::string::npos)
            Bad(key, value, "4 to 8 digits");
        p.pin = value;
    } else if (key == "pin-tries") {
        if (!Decimal(value, 15, number) || number == 0) Bad(key, value, "1 to 15");
        p.pinTries = static_cast<uint8_t>(number);
    } else if (key == "rating") {
        if (!Decimal(value, 18, number) || (number > 0 && number < 4))
            Bad(key, value, "0, or 4 to 18");
        p.rating = static_cast<uint8_t>(number);
    } else if (key == "viewing-period") {
        if (value == "none") {
            p.viewingPeriod = {0xFF, 0xFF, 0xFF, 0xFF};
        } else if (value.size() != 11 || value[5] != '-' ||
                   !Clock(std::string_view(value).substr(0, 5), p.viewingPeriod[0],
                          p.viewingPeriod[1]) ||
                   !Clock(std::string_view(value).substr(6), p.viewingPeriod[2],
                          p.viewingPeriod[3])) {
            Bad(key, value, "HH:MM-HH:MM or none");
        }
    } else if (key == "version") {
        const auto dot = value.find('.');
        uint32_t minor = 0;
        if (dot == std::string::npos ||
            !Decimal(std::string_view(value).substr(0, dot), 15, number) ||
            !Decimal(std::string_view(value).substr(dot + 1), 15, minor))
            Bad(key, value, "MAJOR.MINOR, each 0 to 15");
        p.versionMajor = static_cast<uint8_t>(number);
        p.versionMinor = static_cast<uint8_t>(minor);
    } else if (key == "atr") {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(value, bytes) || bytes.size() < 2 || bytes.size() > kMaxAtrSize ||
            (bytes[0] != 0x3B && bytes[0] != 0x3F))
            Bad(key, value, "2 to 33 hex bytes starting with 3B or 3F");
        p.atr = bytes;
    } else if (key == "mail-records") {
        if (!Decimal(value, kMaxMailRecords, number) || number == 0) Bad(key, value, "1 to 254");
        p.mailRecords = number;
    } else if (key == "operator-key") {
        std::vector<uint8_t> bytes;
        AesKey k{};
        if (!ParseHexBytes(value, bytes) || bytes.size() != k.size()) Bad(key, value, "32 hex digits");
        std::copy(bytes.begin(), bytes.end(), k.begin());
        p.operatorKey = k;
    } else if (key == "entitlements") {
        constexpr const char* kExpected =
            "at most 16 of ID or ID YYYY-MM-DD..YYYY-MM-DD, comma-separated";
        p.entitlements.clear();
        std::size_t at = 0;
        while (at <= value.size()) {
            std::size_t comma = value.find(',', at);
            if (comma == std::string::npos) comma = value.size();
            Entitlement e;
            if (!ParseEntitlement(Trim(std::string_view(value).substr(at, comma - at)), e) ||
                p.entitlements.size() == kMaxEntitlements)
                Bad(key, value, kExpected);
            p.entitlements.push_back(e);
            at = comma + 1;
        }
    } else if (key == "command-ms") {
        if (!Decimal(value, 10000, number)) Bad(key, value, "0 to 10000");
        p.commandMs = number;
    } else if (key == "byte-us") {
        if (!Decimal(value, 100000, number)) Bad(key, value, "0 to 100000");
        p.byteUs = number;
    } else if (key == "cw-request") {
        if (value == "both") {
            p.cwRequests = CwRequests::kBoth;
        } else if (value == "older-only") {
            p.cwRequests = CwRequests::kOlderOnly;
        } else {
            Bad(key, value, "both or older-only");
        }
    } else {
        throw ToolError("unknown setting '" + key + "'");
    }
}

CardProfile Parse(std::string_view text, const std::string& source) {
    CardProfile profile;
    ReadSettings(text, source, [&](const std::string& key, const std::string& value) {
        Apply(profile, key, value);
    });
    return profile;
}

}  // namespace

CardProfile ParseCardProfile(std::string_view text) {
    return Parse(text, "card profile");
}

CardProfile ReadCardProfile(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    return Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                 path.string());
}

}  // namespace krtools
