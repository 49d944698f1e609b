// The EPG download: a filter on the announced destination, its blocks stored by number in the
// download buffer, and the finished container handed to the EPG parsers.
#pragma once

#include <cstdint>
#include <span>

#include "sysinfo/sysinfo_state.h"

namespace kr {

// Clears the buffer's header and data for a new file.
void ResetDownloadBuffer(EpgDownloadBuffer* buffer);

// Resets the buffer and sets the filter for the EPG's destination. 0 = filter running;
// -1 = no request or the filter was refused; -2 = a null argument.
int32_t StartEpgDownload(const EpgInfo* epgInfo, EpgDownloadBuffer* buffer);

// Stores one block (the UDP payload of a datagram of the download's request); when every block
// of the file is in, stops the download and hands the container to the EPG parsers.
void ParseEpgBlock(std::span<const uint8_t> payload, EpgDownloadBuffer* buffer);

// Stops a running download (holding the EPG lock). Used by a new announcement and by
// kr_T2K_ClearEpg.
void StopEpgDownload();

}  // namespace kr
