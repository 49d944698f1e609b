// Parses arbitrary text as "FileEPG.txt" or "ProgramEPG.txt" into a started EPG database and
// checks what must hold for any text: counts stay inside their tables, the category tree is a
// tree of the buffer's own nodes, texts end inside their fields, and content pointers point at
// their own day. Each input is parsed twice (a second arrival of the same file) and the database
// is then reset, so that every input replays alone. Shared by the fuzz targets and the unit
// tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// Call with the database started (kr_EpgInit). true when every property held.
bool RunFileEpg(const uint8_t* data, std::size_t size);
bool RunProgramEpg(const uint8_t* data, std::size_t size);

}  // namespace krfuzz
