#include "epg/file_epg.h"

#include <cstring>

#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "epg/live_epg.h"
#include "epg/resource_tree.h"
#include "epg/text_syntax.h"

namespace kr {
namespace {

struct Category {
    const char* prefix;
    uint32_t type;
};

// Compared by prefix in this order, so "BI" must come before "B".
constexpr Category kCategories[] = {
    {"E", 255}, {"JN", 7},  {"01SI", 9}, {"01CA", 10}, {"BI", 8}, {"B", 6}, {"CJ", 11}, {"RC", 12},
    {"KT", 13}, {"KX", 16}, {"ZN", 15},  {"A", 1},     {"V", 0},  {"N", 4}, {"P", 2},   {"T", 3},
};

constexpr uint32_t kMiscCategory = 255;
// The longest "Channel" value that is taken.
constexpr std::size_t kChannelMax = 25;

}  // namespace

uint32_t kr_CategoryType(const char* value) {
    if (value == nullptr) return kMiscCategory;
    for (const Category& category : kCategories) {
        if (StartsWith(value, category.prefix)) return category.type;
    }
    return kMiscCategory;
}

int32_t kr_ParseResourceKey(const char* line, CategoryNode* node, ResourceInfo* entry) {
    if (line == nullptr || line[0] == '\0' || node == nullptr || entry == nullptr) return -1;
    node->isResource = 1;
    char key[kCompactLineSize];
    char value[kCompactLineSize];
    value[0] = '\0';  // a known key without '=' takes the empty value
    if (kr_SplitKeyValue(line, key, sizeof key, value, sizeof value) < 0) return -1;

    if (std::strcmp(key, "ProgramID") == 0) {
        node->id = kr_DecimalValue(value);
        entry->programId = node->id;
    } else if (std::strcmp(key, "ProgramName") == 0) {
        std::memset(node->name, 0, sizeof node->name);
        CopyText(node->name, sizeof node->name, value);
    } else if (std::strcmp(key, "FileName") == 0) {
        std::memset(node->path, 0, sizeof node->path);
        CopyText(node->path, sizeof node->path - 1, value);
    } else if (std::strcmp(key, "ProgramSort") == 0) {
        node->categoryType = kr_CategoryType(value);
        if (value[0] != 'E') {
            kr_Print(0x54, "ID:%d, type:%d", static_cast<int>(node->id),
                     static_cast<int>(node->categoryType));
        }
    } else if (std::strcmp(key, "Freq") == 0) {
        entry->frequency = kr_DecimalValue(value) * 1000u;
        const KrGetCurrentFrequencyFn current = Host().GetCurrentFrequency;
        if (entry->frequency == 0 && current != nullptr) current(&entry->frequency);
    } else if (std::strcmp(key, "Size") == 0) {
        node->size = kr_DecimalValue(value);
    } else if (std::strcmp(key, "Bandwidth") == 0) {
        entry->bandwidth = static_cast<uint16_t>(kr_DecimalValue(value) & 0xFFFF);
    } else if (std::strcmp(key, "Pid") == 0) {
        entry->pid = static_cast<uint16_t>(kr_DecimalValue(value) & 0xFFFF);
    } else if (std::strcmp(key, "CA") == 0) {
        const bool scrambled = kr_DecimalValue(value) != 0;
        entry->ca = scrambled ? 1 : 0;
        node->free = scrambled ? 0 : 1;
        node->caGiven = 1;
    } else if (std::strcmp(key, "DRM") == 0) {
        node->drm = value[0] == '1' ? 1 : 0;
    } else if (std::strcmp(key, "FORCE") == 0) {
        node->force = value[0] == 'Y' ? 1 : 0;
    } else if (std::strcmp(key, "Channel") == 0) {
        if (std::strlen(value) <= kChannelMax) {
            kr_ParseChannel(value, &entry->address, &entry->port);
        }
    } else {
        return -1;
    }
    return 1;
}

int32_t kr_ParseFileEpg(const uint8_t* data, uint32_t length) {
    ModuleLockGuard hold;
    kr_Print(0x53, "Parse file epg ...");
    if (data == nullptr || kr_FindKeyLine(data, length, "[FILE_EPG]", 10) > length) {
        kr_Print(0x53, "Invalid file epg.");
        return -1;
    }
    uint32_t version = kNoVersion;
    const int32_t count = kr_ReadCountVersion(data, length, &version);
    // A negative COUNT would become a resource count far beyond the 64 records the host has.
    if (count <= 0) {
        kr_Print(0x53, "No program in this file.");
        return kFileEpgNoCount;
    }
    kr_Print(0x53, "%d program(s) in file epg.", count);
    uint32_t current = 0;
    if (version != kNoVersion && CurrentDownloadVersion(&current) && current == version) {
        kr_Print(0x53, "Received resource EPG.");
        return 1;
    }
    DownloadBuffer* buffer = nullptr;
    if (kr_TakeDownloadBuffer(&buffer) != 0) {
        kr_Print(0x52, "No unlock resource EPG.");
        return -1;
    }
    DownloadEpg& epg = buffer->epg;
    epg.version = version;
    // The count stays what the file announces; the records it covers but the file does not fill
    // are cleared, so that none of them shows a resource of an older file.
    epg.resourceCount = static_cast<uint32_t>(count < kMaxResources ? count : kMaxResources);
    std::memset(epg.resource, 0, sizeof epg.resource);

    char line[kCompactLineSize];
    int index = -1;
    CategoryNode* node = nullptr;  // the open resource, if any
    bool stopped = false;
    uint32_t pos = 0;
    while (kr_ReadCompactLine(data, &pos, length, line, sizeof line) >= 0) {
        if (!kr_IsProgramHeader(line)) {
            // Lines before the first section belong to no resource.
            if (node != nullptr) kr_ParseResourceKey(line, node, &epg.resource[index]);
            continue;
        }
        if (node != nullptr) kr_InsertResource(&epg, node);
        node = nullptr;
        // Resources beyond the 64th, or beyond the free nodes, are dropped; those placed stay.
        if (index + 1 == kMaxResources || kr_AllocNode(&epg, &node) != 0) {
            stopped = true;
            break;
        }
        ++index;
    }
    if (!stopped && node != nullptr) kr_InsertResource(&epg, node);
    PublishDownload(buffer);
    return 0;
}

}  // namespace kr
