// The live EPG parser: "LiveEPG.txt" into a fresh live buffer, which then becomes current.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

#include "epg/epg_database.h"

namespace kr {

// Result of a live file whose version is already current.
constexpr int32_t kLiveSameVersion = 230;

// 0 = a new live EPG is current; 230 = same version as the current one, not parsed; -1 =
// invalid file, no programs, or no live buffer free of the host. Call with the module lock held.
int32_t kr_ParseLiveEpg(const uint8_t* data, uint32_t length);

// The same without the publication: after 0, *built holds the filled buffer (and the service
// links are staged), for the caller to complete and publish with PublishLive(*built, LiveSource::File).
int32_t kr_BuildLiveEpg(const uint8_t* data, uint32_t length, LiveBuffer** built);

// Applies one compact key line to the open program. link is the service link under
// construction, or null when the link table is full. 1 when the key was recognised, else -1.
int32_t kr_ParseProgramKey(const char* line, ProgramInfo* program, StreamInfo* stream,
                           ServiceLink* link);

// Blocks inside a program section; each reads lines from *pos and leaves *pos after the last
// line it consumed.
void kr_ParseSdpBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream);
void kr_ParsePidBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream);
void kr_ParseAvsInfoBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream);

// "a.b.c.d:port" into an address (first octet most significant) and a port. Without ':' the
// port is 0.
void kr_ParseChannel(const char* text, uint32_t* address, uint16_t* port);

}  // namespace kr
