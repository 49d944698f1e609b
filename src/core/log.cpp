#include "core/log.h"

#include <krmodule/krmodule.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "core/host.h"

namespace kr {
namespace {

constexpr uint8_t kOn = 0x10;

// One setting per module, read by every thread without a lock.
std::array<std::atomic<uint8_t>, 16> settings{};

// Tags in front of indented lines. Modules 12 to 15 print no messages; they share module 0's
// blank tag so that a line never carries garbage.
constexpr std::array<const char*, 16> kTags = {"  ", "--", "==", "**", "++", "##", "::", "~~",
                                               "!!", "@@", "%%", "$$", "  ", "  ", "  ", "  "};

bool Wanted(uint8_t module, uint8_t level) {
    if (module == 0) return true;
    const uint8_t setting = settings[module].load(std::memory_order_relaxed);
    if ((setting & 0xF0) != kOn) return false;
    const uint8_t maxLevel = setting & 0x0F;
    return maxLevel == 0 || level <= maxLevel;
}

void SetAll(uint8_t value) {
    for (std::atomic<uint8_t>& setting : settings)
        setting.store(value, std::memory_order_relaxed);
}

}  // namespace

void ResetLogSettings() {
    SetAll(0);
}

uint8_t LogSetting(uint8_t module) {
    return module < settings.size() ? settings[module].load(std::memory_order_relaxed) : 0;
}

void kr_Print(uint8_t code, const char* format, ...) {
    const uint8_t module = code >> 4;
    const uint8_t level = code & 0x0F;
    if (!Wanted(module, level) || format == nullptr) return;
    const KrDebugPrintFn print = Host().DebugPrint;
    if (print == nullptr) return;

    // Both buffers live on the caller's stack; vsnprintf cuts a longer text at 127 characters.
    char text[kLogTextMax + 1] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    // The longest layout adds 18 characters to a 127-character text, so a line is never cut.
    char line[kLogLineMax + 1] = {};
    const char* tag = kTags[module];
    switch (level) {
        case 0:
            std::snprintf(line, sizeof line, "\r\n%s\r\n", text);
            break;
        case 1:
            std::snprintf(line, sizeof line, "\r\n%s%s%s %s %s%s%s\r\n", "==", "==", "==", text,
                          "==", "==", "==");
            break;
        case 2:
            std::snprintf(line, sizeof line, "%s  %s\r\n", tag, text);
            break;
        case 3:
            std::snprintf(line, sizeof line, "%s    %s\r\n", tag, text);
            break;
        case 4:
            std::snprintf(line, sizeof line, "%s      %s\r\n", tag, text);
            break;
        case 5:
            std::snprintf(line, sizeof line, "%s        %s\r\n", tag, text);
            break;
        default:
            std::snprintf(line, sizeof line, "%s", text);
            break;
    }
    print(line);
}

}  // namespace kr

int32_t kr_T2K_SetDebugFlag(uint32_t code, uint8_t on) {
    const uint8_t module = static_cast<uint8_t>((code & 0xFF) >> 4);
    const uint8_t level = static_cast<uint8_t>(code & 0x0F);
    const uint8_t setting = static_cast<uint8_t>(kr::kOn | level);
    if (on != 0) {
        if (module == 0) {
            kr::SetAll(setting);
            kr::kr_Print(0, "KRMODULE Debug on level %d", level);
        } else {
            kr::settings[module].store(setting, std::memory_order_relaxed);
            kr::kr_Print(0, "KRMODULE %d Debug on level %d", module, level);
        }
    } else {
        if (module == 0) {
            kr::kr_Print(0, "KRMODULE Debug off");
            kr::SetAll(0);
        } else {
            kr::kr_Print(0, "KRMODULE %d Debug off", module);
            kr::settings[module].store(0, std::memory_order_relaxed);
        }
    }
    return 0;
}
