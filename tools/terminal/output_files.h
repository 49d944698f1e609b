// Files the terminal writes: replaced atomically, under names that are safe to create.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace krtools {

// Writes bytes to path through a temporary file beside it and a rename, flushing the file and
// then its directory, so that a crash leaves the old file or the new one, never a torn one.
// False with a message on failure; the old file then stays.
bool ReplaceFileAtomically(const std::filesystem::path& path, const uint8_t* data, std::size_t size,
                           std::string& error);

// A file name from the broadcast made safe to create in an output directory: its last path
// component without control characters, never "." or "..", or "resource-ID" when nothing
// usable is left.
std::string SafeFileName(const std::string& name, uint32_t resourceId);

}  // namespace krtools
