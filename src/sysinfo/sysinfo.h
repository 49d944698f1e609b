// System information and the EPG download.
#pragma once

#include <cstdint>

namespace kr {

struct SectionNode;

// Start: clears the state, allocates the download buffer, starts the EPG database and sets the
// system-information filter. 0, or -1 when that filter cannot be set.
int32_t SysinfoInit();
int32_t SysinfoFinish();  // safe when system information never started

// Worker routine; returns 0 when the module stops.
uint32_t SysinfoWorker(void* argument);

// What the worker does with one node of its queue: check the datagram, then parse it as system
// information or as an EPG block according to its request type.
void ProcessSysinfoNode(const SectionNode& node);

// What kr_T2K_GetKrdbStatus reports.
struct SysinfoStatus {
    bool present = false;      // datagrams arrive on the system-information queue
    bool downloading = false;  // an EPG download is in progress
    uint32_t receivedBlocks = 0;
    uint32_t totalBlocks = 0;
};

SysinfoStatus ReadSysinfoStatus();

}  // namespace kr
