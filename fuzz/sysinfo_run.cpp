#include "sysinfo_run.h"

#include <krmodule/krmodule.h>

#include <span>

#include "sysinfo/epg_download.h"
#include "sysinfo/sysinfo_parse.h"
#include "sysinfo/sysinfo_state.h"

namespace krfuzz {

void RunSysinfoInput(const uint8_t* data, std::size_t size) {
    kr_T2K_ClearEpg();
    std::size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t selector = data[at];
        std::size_t length = data[at + 1] | (std::size_t{data[at + 2]} << 8);
        at += 3;
        if (length > size - at) length = size - at;
        const std::span<const uint8_t> payload(data + at, length);
        at += length;
        if (selector % 2 == 0) {
            kr::ParseSysinfo(payload, kr::Sysinfo().buffer);
        } else {
            kr::ParseEpgBlock(payload, kr::Sysinfo().buffer);
        }
    }
}

}  // namespace krfuzz
