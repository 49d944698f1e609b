// The diagnostic log: one print function, switched per module and level, laid out by level and
// handed to the host's DebugPrint slot.
#pragma once

#include <cstdint>

namespace kr {

// Module numbers: the high nibble of a message code.
enum LogModule : uint8_t {
    kLogAlways = 0,   // printed whatever the settings
    kLogCore = 1,     // start and stop, the exported EPG, program and download calls
    kLogSysinfo = 2,  // system information and EPG download
    kLogIntake = 3,   // section filters and intake
    kLogStream = 4,   // stream, program and resource download
    kLogEpg = 5,      // EPG content
    kLogStore = 6,    // persistent store
    kLogCa = 7,       // conditional access
};

// The message text holds at most this many characters; longer texts are cut.
constexpr int kLogTextMax = 127;
// The finished line holds at most this many characters.
constexpr int kLogLineMax = 255;

// Forgets every module setting (all silent but module 0), as at load.
void ResetLogSettings();

// The current setting of a module: 0 = off, 0x10 | maxLevel = on.
uint8_t LogSetting(uint8_t module);

// Formats a message and, when its module and level are switched on, hands the finished line to
// the host. code = module * 16 + level. Callable from any thread; takes no lock.
void kr_Print(uint8_t code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace kr
