// The live and download EPG as the library holds them, printed as tables for a person or as
// JSON for a program. The records are read in place; every text field is read only up to its
// own size and every tree link is checked to point into the tree's pool.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json_writer.h"

namespace krhost {

struct EpgSnapshot {
    const LiveEpg* live = nullptr;          // null: none
    const DownloadEpg* download = nullptr;  // null: none
    std::vector<ServiceLink> links;
};

// The service links of the last live EPG, from the library.
std::vector<ServiceLink> FetchServiceLinks();

std::string FormatEpgTables(const EpgSnapshot& epg);
// The members live, serviceLinks and download, into the open object.
void WriteEpgJson(JsonWriter& w, const EpgSnapshot& epg);

// "YYYYMMDDhhmmss" of a packed version stamp (MJD * 65536 + hour * 2048 + minute * 32 +
// second / 2); "" for 0.
std::string VersionText(uint32_t packed);

// The stream sort of a program carried as RTP.
constexpr int kSortRtp = 4;

// True when node lies in the download EPG's node pool: the only links the tree may follow.
inline bool InPool(const DownloadEpg& epg, const CategoryNode* node) {
    return node >= &epg.node[0] && node < &epg.node[0] + 64;
}

// A resource's node of the category tree, or null.
const CategoryNode* FindResourceNode(const DownloadEpg& epg, uint32_t resourceId);

// A text field up to its NUL or its size.
template <std::size_t N>
std::string Field(const char (&text)[N]) {
    std::size_t n = 0;
    while (n < N && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

}  // namespace krhost
