// The file EPG parser: "FileEPG.txt" into a fresh download buffer (the resources and their
// category tree), which then becomes current.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

// Result of a file EPG without a resource count.
constexpr int32_t kFileEpgNoCount = 136;

// 0 = a new download EPG is current; 1 = same version as the current one (only when the file
// has a VERSION); 136 = COUNT missing, 0 or negative; -1 = no "[FILE_EPG]" line or no download
// buffer free of the host. Call with the module lock held.
int32_t kr_ParseFileEpg(const uint8_t* data, uint32_t length);

// Applies one compact key line to the open resource. 1 when the key was recognised, -1 for an
// empty line or any other key. Every line marks the node as a resource.
int32_t kr_ParseResourceKey(const char* line, CategoryNode* node, ResourceInfo* entry);

// The category type of a "ProgramSort" value (255 when it names no category).
uint32_t kr_CategoryType(const char* value);

}  // namespace kr
