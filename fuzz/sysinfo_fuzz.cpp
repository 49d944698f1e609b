// Fuzz target: arbitrary system-information and block payloads through the SYS path, with a
// host that accepts every filter, so announcements start downloads and complete files reach the
// EPG parsers.
#include <krmodule/krmodule.h>

#include <cstddef>
#include <cstdint>

#include "core/host.h"
#include "intake/intake.h"
#include "sysinfo/sysinfo.h"
#include "sysinfo_run.h"

namespace {

int32_t AcceptFilter(uint32_t /*requestId*/, SectionFilterParams /*params*/) {
    return 0;
}

bool Start() {
    HostCallbacks host{};
    host.SetSectionFilter = AcceptFilter;
    kr::SetHostCallbacks(host);
    return kr::IntakeInit(16) == 0 && kr::SysinfoInit() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = Start();
    if (!started) return 0;
    krfuzz::RunSysinfoInput(data, size);
    return 0;
}
