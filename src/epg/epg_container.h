// The EPG container: a directory of named files followed by their contents. Each known file
// goes to its parser, icons go into the current live EPG.
#pragma once

#include <cstdint>

namespace kr {

// Magic of an EPG container (bytes D0 C0 B0 A0).
constexpr uint32_t kEpgContainerMagic = 0xA0B0C0D0;
constexpr int kContainerSlots = 10;

// Slot types.
enum : uint8_t {
    kSlotEmpty = 0,
    kSlotLive = 1,
    kSlotFile = 2,
    kSlotProgram = 4,
    kSlotIconIni = 5,
    kSlotIcon = 6,
};

struct ContainerSlot {
    uint8_t type;
    uint32_t iconId;
    char name[64];
    uint32_t offset;  // from the start of the file contents
    uint32_t length;
};

// Reads the directory into a zeroed ten-slot table: slots 0..3 for "LiveEPG.txt",
// "FileEPG.txt", "ProgramEPG.txt" and "ico\ico.ini", slots 4..9 for icons in order of appearance.
// An entry whose name or file does not lie inside the size bytes received is skipped.
// 0, or 1 when the magic is wrong (no files). *contentBase = offset of the file contents.
int32_t kr_ParseContainerDirectory(const uint8_t* container, uint32_t size,
                                   ContainerSlot (&slots)[kContainerSlots], uint64_t* contentBase);

// "ico\<n>.bmp": 0 with *number = n, or -7 when the directory or extension does not match.
int32_t kr_ParseIconName(const char* name, uint32_t* number);

// Processes a reassembled container of size bytes. -2 when the directory cannot be read (bad
// magic), else 1. Sets the update flags that kr_NotifyEpgUpdate reports.
int32_t kr_ProcessEpgContainer(const uint8_t* container, uint32_t size);

}  // namespace kr
