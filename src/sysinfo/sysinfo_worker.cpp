#include <krmodule/krmodule.h>

#include <span>

#include "core/log.h"
#include "intake/datagram.h"
#include "intake/request_table.h"
#include "intake/worker_loop.h"
#include "sysinfo/epg_download.h"
#include "sysinfo/sysinfo.h"
#include "sysinfo/sysinfo_parse.h"
#include "sysinfo/sysinfo_state.h"

namespace kr {
namespace {

constexpr uint32_t kIdleMs = 300;
// Empty polls after which system information counts as absent.
constexpr int kMissesUntilAbsent = 4;

}  // namespace

void ProcessSysinfoNode(const SectionNode& node) {
    if (ValidateDatagram(&node) == KR_NO) {
        kr_Print(0x24, "Invalid sysinfo retrieve.");
        return;
    }
    std::span<const uint8_t> payload;
    (void)UdpPayload(node, payload);  // a validated datagram always has it
    if (node.type == kTypeSysinfo) {
        ParseSysinfo(payload, Sysinfo().buffer);
    } else if (node.type == kTypeEpgDownload) {
        ParseEpgBlock(payload, Sysinfo().buffer);
    }
}

uint32_t SysinfoWorker(void* /*argument*/) {
    kr_Print(0x21, "start the system info thread");
    WorkerReady();
    SysinfoState& s = Sysinfo();
    int misses = 0;
    RunWorkerLoop(
        QueueId::Sys, kIdleMs,
        [&](SectionNode& node) {
            misses = 0;
            s.sysinfoPresent.store(1);
            ProcessSysinfoNode(node);
        },
        [] { kr_Print(0x25, "No retrieve in sysinfo queue."); },
        [&] {
            // Four empty rounds in a row: system information is absent.
            if (++misses == kMissesUntilAbsent) {
                misses = 0;
                s.sysinfoPresent.store(0);
            }
        });
    kr_Print(0x21, "stop the system info thread");
    return 0;
}

}  // namespace kr
