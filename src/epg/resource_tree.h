// The category tree of the download EPG: a pool of 64 nodes per buffer (root and directories
// included), directories found or created along a resource's path, resources hung below them.
// Directories go to the head of their parent's child list, resources to its tail.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

constexpr int kMaxNodes = 64;

// 0 with *out = a zeroed node of the pool; -4 when all nodes are in use (*out null); -2 on a
// null argument. A node is never given back except by resetting the whole buffer.
int32_t kr_AllocNode(DownloadEpg* epg, CategoryNode** out);

// 1 with *out = the directory named by the first length characters of path (which begin and
// end with '/' or '\\'; "/" is the root), creating the directories that are missing; -1 on an
// invalid path ("** Invalid path format\r\n") or when the pool runs out ("** Alloc node
// error.\r\n"). A component may carry a number after '$', kept as the id of a new directory.
int32_t kr_FindOrCreateDirectory(DownloadEpg* epg, const char* path, uint16_t length,
                                 CategoryNode** out);

// Appends node at the tail of parent's child list.
void kr_AppendChild(CategoryNode* parent, CategoryNode* node);

// Hangs a resource node below the directory its path names (a bare name below the root) and
// cuts its path to the last component. 0 placed, -1 when it could not be placed.
int32_t kr_InsertResource(DownloadEpg* epg, CategoryNode* node);

}  // namespace kr
