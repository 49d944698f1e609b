// System information and the EPG download.
#pragma once

#include <cstdint>

namespace kr {

int32_t SysinfoInit();
int32_t SysinfoFinish();  // safe when system information never started

// Worker routine; returns 0 when the module stops.
uint32_t SysinfoWorker(void* argument);

// What kr_T2K_GetKrdbStatus reports.
struct SysinfoStatus {
    bool present = false;      // datagrams arrive on the system-information queue
    bool downloading = false;  // an EPG download is in progress
    uint32_t receivedBlocks = 0;
    uint32_t totalBlocks = 0;
};

SysinfoStatus ReadSysinfoStatus();

}  // namespace kr
