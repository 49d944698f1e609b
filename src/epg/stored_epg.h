// The copy of the live EPG kept in the persistent store, so that after a restart a live EPG is
// current before the broadcast sends one. The EPG area holds the system frequency (set by the
// host), a head, then the programs, their streams and the service links; the icon area holds
// the icons.
#pragma once

#include <cstdint>

#include "epg/epg_database.h"

namespace kr {

constexpr uint32_t kStoredFrequencyOffset = 0x4000;
constexpr uint32_t kStoredEpgHeadOffset = 0x4004;
constexpr uint32_t kStoredEpgHeadSize = 8;
constexpr uint32_t kStoredProgramsOffset = 0x400C;
constexpr uint32_t kStoredIconsOffset = 0x10000;

// Writes the live EPG and the service links into the store and hands the store to the host.
// 0, or -2 for a null buffer. The store's own results are not examined: without a host store
// only the working copy changes.
int32_t kr_SaveLiveEpg(const LiveBuffer* live);

// Fills live from the store (state valid, icons linked, no event EPG) and the service links.
// 0, or -1 when nothing usable is stored: store not loaded, a read refused, more programs,
// icons or links than the tables hold, or an unusable record. After -1 the buffer is free.
int32_t kr_LoadStoredEpg(LiveBuffer* live);

}  // namespace kr
