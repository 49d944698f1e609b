#include "epg/resource_tree.h"

#include <cstring>

#include "core/log.h"
#include "epg/text_syntax.h"

namespace kr {
namespace {

constexpr std::size_t kNameSize = sizeof(CategoryNode::name);

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The separator before the last component of the first length characters: the last one at an
// index from length - 2 down to 1, else the leading one at 0.
std::size_t SeparatorBeforeLast(const char* path, std::size_t length) {
    for (std::size_t i = length >= 2 ? length - 2 : 0; i >= 1; --i) {
        if (IsSeparator(path[i])) return i;
    }
    return 0;
}

// One directory component: its name (the characters before a '$') and the number after '$'.
struct Component {
    char name[kNameSize];
    uint16_t number;
};

// An empty component ("//") or one with only a number ("$12") names a directory without a name,
// numbered as given.
void ReadComponent(const char* text, std::size_t length, Component* out) {
    std::memset(out, 0, sizeof *out);
    std::size_t n = 0;
    while (n < length && text[n] != '$')
        ++n;
    std::memcpy(out->name, text, n < kNameSize - 1 ? n : kNameSize - 1);
    if (n < length) {
        char digits[kNameSize] = {};
        const std::size_t rest = length - n - 1;
        std::memcpy(digits, text + n + 1, rest < kNameSize - 1 ? rest : kNameSize - 1);
        out->number = static_cast<uint16_t>(kr_DecimalValue(digits) & 0xFFFF);
    }
}

// The root, created on first use; null (with the caller's message) when no node is free.
CategoryNode* EnsureRoot(DownloadEpg* epg, const char* allocError) {
    if (epg->root != nullptr) return epg->root;
    CategoryNode* root = nullptr;
    if (kr_AllocNode(epg, &root) != 0) {
        kr_Print(0x52, "%s", allocError);
        return nullptr;
    }
    CopyText(root->name, sizeof root->name, "/");
    root->isResource = 0;
    epg->root = root;
    return root;
}

CategoryNode* FindDirectory(CategoryNode* parent, const char* name) {
    // The pool bounds every list: no walk can take more steps than there are nodes.
    int steps = 0;
    for (CategoryNode* child = parent->firstChild; child != nullptr && steps < kMaxNodes;
         child = child->nextSibling, ++steps) {
        if (child->isResource == 0 && std::strcmp(child->name, name) == 0) return child;
    }
    return nullptr;
}

}  // namespace

int32_t kr_AllocNode(DownloadEpg* epg, CategoryNode** out) {
    if (out != nullptr) *out = nullptr;
    if (epg == nullptr || out == nullptr) return -2;
    for (int i = 0; i < kMaxNodes; ++i) {
        if (epg->nodeInUse[i] == 1) continue;
        epg->nodeInUse[i] = 1;
        std::memset(&epg->node[i], 0, sizeof epg->node[i]);
        *out = &epg->node[i];
        return 0;
    }
    return -4;
}

int32_t kr_FindOrCreateDirectory(DownloadEpg* epg, const char* path, uint16_t length,
                                 CategoryNode** out) {
    if (out != nullptr) *out = nullptr;
    if (epg == nullptr || path == nullptr || length == 0 || out == nullptr) return -1;
    if (!IsSeparator(path[0]) || !IsSeparator(path[length - 1])) {
        kr_Print(0x52, "** Invalid path format\r\n");
        return -1;
    }
    Component component;

    // Walks down from the root one component at a time instead of recursing, so a deep path
    // costs no stack; it cannot get deeper than the pool has nodes.
    CategoryNode* directory = EnsureRoot(epg, "** Alloc node error.\r\n");
    if (directory == nullptr) return -1;
    for (std::size_t start = 1, i = 1; i < length; ++i) {
        if (!IsSeparator(path[i])) continue;
        ReadComponent(path + start, i - start, &component);
        start = i + 1;
        CategoryNode* child = FindDirectory(directory, component.name);
        if (child == nullptr) {
            if (kr_AllocNode(epg, &child) != 0) {
                kr_Print(0x52, "** Alloc node error.\r\n");
                return -1;
            }
            std::memcpy(child->name, component.name, sizeof child->name);
            child->isResource = 0;
            child->id = component.number;  // the number only counts when the directory is made
            child->nextSibling = directory->firstChild;
            directory->firstChild = child;
        }
        directory = child;
    }
    *out = directory;
    return 1;
}

void kr_AppendChild(CategoryNode* parent, CategoryNode* node) {
    if (parent == nullptr || node == nullptr) return;
    node->nextSibling = nullptr;
    if (parent->firstChild == nullptr) {
        parent->firstChild = node;
        return;
    }
    CategoryNode* tail = parent->firstChild;
    for (int steps = 1; tail->nextSibling != nullptr && steps < kMaxNodes; ++steps)
        tail = tail->nextSibling;
    tail->nextSibling = node;
}

int32_t kr_InsertResource(DownloadEpg* epg, CategoryNode* node) {
    if (epg == nullptr || node == nullptr) return -1;
    // A section without key lines is still a resource; left at 0 it would show as a nameless
    // directory.
    node->isResource = 1;
    char* path = node->path;
    if (!IsSeparator(path[0])) {
        // A bare name lies directly below the root, its path unchanged.
        CategoryNode* root = EnsureRoot(epg, "Alloc node error.\r\n");
        if (root == nullptr) return -1;
        kr_AppendChild(root, node);
        return 0;
    }
    std::size_t length = 0;
    while (length + 1 < sizeof node->path && path[length] != '\0')
        ++length;
    const std::size_t i = SeparatorBeforeLast(path, length);
    CategoryNode* directory = nullptr;
    if (kr_FindOrCreateDirectory(epg, path, static_cast<uint16_t>(i + 1), &directory) != 1) {
        return -1;
    }
    // The last component (a trailing separator included) moves to the front of the field.
    std::memmove(path, path + i + 1, length - i);
    path[length - i - 1] = '\0';
    kr_AppendChild(directory, node);
    return 0;
}

}  // namespace kr
