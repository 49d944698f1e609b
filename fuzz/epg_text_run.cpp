#include "epg_text_run.h"

#include <krmodule/krmodule.h>

#include <array>
#include <cstring>

#include "epg/epg_database.h"
#include "epg/file_epg.h"
#include "epg/program_epg.h"
#include "epg/resource_tree.h"

namespace krfuzz {
namespace {

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

// Every node reached from the root is one of the buffer's nodes in use, reached once.
bool TreeHolds(const DownloadEpg& epg) {
    if (epg.root == nullptr) return true;
    std::array<bool, kr::kMaxNodes> seen{};
    std::array<const CategoryNode*, kr::kMaxNodes> stack{};
    std::size_t depth = 0;
    stack[depth++] = epg.root;
    while (depth > 0) {
        const CategoryNode* node = stack[--depth];
        const std::ptrdiff_t index = node - epg.node;
        if (index < 0 || index >= kr::kMaxNodes) return false;
        const auto i = static_cast<std::size_t>(index);
        if (seen[i] || epg.nodeInUse[i] != 1) return false;
        seen[i] = true;
        if (!Terminated(node->name) || !Terminated(node->path)) return false;
        // Directories may be nameless ("//" or "$12" in a path); the root is always "/".
        if (node == epg.root && std::strcmp(node->name, "/") != 0) return false;
        for (const CategoryNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
            if (depth == stack.size()) return false;  // more children than nodes: a cycle
            if (node->isResource != 0) return false;  // resources have no children
            stack[depth++] = c;
        }
    }
    return true;
}

bool DownloadHolds() {
    const kr::DownloadBuffer* current = kr::Epg().currentDownload;
    if (current == nullptr) return true;
    const DownloadEpg& epg = current->epg;
    return epg.resourceCount >= 1 && epg.resourceCount <= kr::kMaxResources && TreeHolds(epg);
}

bool EventHolds() {
    const EventEpg* current = kr::Epg().currentEvent;
    if (current == nullptr) return true;
    if (current->eventCount > static_cast<uint32_t>(kr::kMaxEvents)) return false;
    for (const EventInfo& e : current->events) {
        for (int d = 0; d < 7; ++d) {
            if (!Terminated(e.day[d])) return false;
            if (e.contentPtr[d] == nullptr) continue;
            if (e.contentPtr[d] != e.content[d] || !Terminated(e.content[d])) return false;
        }
    }
    return true;
}

}  // namespace

bool RunFileEpg(const uint8_t* data, std::size_t size) {
    if (size > UINT32_MAX) return true;
    bool held = true;
    for (int pass = 0; pass < 2 && held; ++pass) {
        const int32_t result = kr::kr_ParseFileEpg(data, static_cast<uint32_t>(size));
        held = (result == 0 || result == 1 || result == kr::kFileEpgNoCount || result == -1) &&
               DownloadHolds();
    }
    kr::kr_EpgReset();
    return held;
}

bool RunProgramEpg(const uint8_t* data, std::size_t size) {
    if (size > UINT32_MAX) return true;
    bool held = true;
    for (int pass = 0; pass < 2 && held; ++pass) {
        const int32_t result = kr::kr_ParseProgramEpg(data, static_cast<uint32_t>(size));
        held = (result == 0 || result == 1 || result == -1) && EventHolds();
    }
    kr::kr_EpgReset();
    return held;
}

}  // namespace krfuzz
