#include "epg/program_epg.h"

#include <cstring>

#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "epg/text_syntax.h"

namespace kr {
namespace {

constexpr std::size_t kContentSize = sizeof(EventInfo::content[0]);

// The day a key names by its digit at index at: 0..6, or -1 for anything but '1'..'7'.
int DayIndex(const char* key, std::size_t at) {
    if (std::strlen(key) <= at) return -1;
    const char d = key[at];
    return d >= '1' && d <= '7' ? d - '1' : -1;
}

}  // namespace

int32_t kr_ParseEventKey(EventInfo* record, const char* line) {
    if (record == nullptr || line == nullptr || line[0] == '\0') return -1;
    char key[kLongLineSize];
    char value[kLongLineSize];
    value[0] = '\0';  // a known key without '=' takes the empty value
    if (kr_SplitKeyValue(line, key, sizeof key, value, sizeof value) < 0) return -1;

    if (std::strcmp(key, "ProgramID") == 0) {
        record->programId = kr_DecimalValue(value);
    } else if (std::strncmp(key, "Day", 3) == 0) {
        const int day = DayIndex(key, 3);
        if (day >= 0) CopyText(record->day[day], sizeof record->day[day], value);
    } else if (std::strncmp(key, "Content", 7) == 0) {
        const int day = DayIndex(key, 7);
        if (day >= 0) {
            char* content = record->content[day];
            const std::size_t n = std::strlen(value);
            std::memset(content, 0, n + 1 < kContentSize ? n + 1 : kContentSize);
            CopyText(content, kContentSize, value);
            record->contentPtr[day] = content;
        }
    }
    return 1;
}

int32_t kr_ParseProgramEpg(const uint8_t* data, uint32_t length) {
    ModuleLockGuard hold;
    // The buffer is taken before the file is looked at: a rejected file still resets one free
    // event buffer, which no host reads.
    EventBuffer* buffer = nullptr;
    if (kr_TakeEventBuffer(&buffer) != 0) {
        kr_Print(0x52, "No unlock event EPG.");
        return -1;
    }
    if (data == nullptr || kr_FindKeyLine(data, length, "[Program_EPG]", 13) > length) {
        kr_Print(0x53, "Invalid program epg.");
        return -1;
    }
    uint32_t version = kNoVersion;
    const int32_t count = kr_ReadCountVersion(data, length, &version);
    // A negative COUNT would become an event count far beyond the 32 records the host has.
    if (count < 0) return -1;
    uint32_t current = 0;
    if (CurrentEventVersion(&current) && current == version) {
        kr_Print(0x53, "Received program EPG.");
        return 1;
    }
    buffer->version = version;
    // Taking the buffer cleared the id, the day texts and the content pointers of every record,
    // so the records COUNT covers but the file does not fill show nothing of an older file.
    buffer->eventCount = static_cast<uint32_t>(count < kMaxEvents ? count : kMaxEvents);
    if (count == 0) {
        PublishEvent(buffer);
        return 0;
    }

    char line[kLongLineSize];
    int index = -1;
    uint32_t pos = 0;
    while (pos < length) {
        kr_ReadRawLine(data, &pos, length, line, sizeof line);
        if (kr_IsProgramHeader(line)) {
            if (index + 1 == kMaxEvents) break;  // records beyond the 32nd are dropped
            ++index;
            continue;
        }
        // Lines before the first section belong to no program.
        if (index >= 0) kr_ParseEventKey(&buffer->events[index], line);
    }
    PublishEvent(buffer);
    return 0;
}

}  // namespace kr
