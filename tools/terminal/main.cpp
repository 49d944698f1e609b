// krterminal: a console terminal that hosts the library. It starts the module with a console
// DebugPrint, reports the version and status, and shuts the module down.
#include <krmodule/krmodule.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int32_t ConsoleDebugPrint(const char* text) {
    std::fputs(text, stdout);
    return 0;
}

int32_t RefuseFilter(uint32_t requestId, SectionFilterParams params) {
    std::printf("[terminal] filter request %u on PID 0x%04X (no demultiplexer attached)\n",
                requestId, params.pid);
    return -1;
}

void Usage() {
    std::puts(
        "usage: krterminal [--nodes N] [--verbose]\n"
        "  Starts the library, prints its version and status, and finishes it.\n"
        "  --nodes N   section nodes for the intake pool (default 256)\n"
        "  --verbose   keep all diagnostics on while the module runs");
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t nodes = 256;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) {
            nodes = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else {
            Usage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }

    InitRecord record{};
    record.sectionBufferCount = nodes;
    record.callbacks.DebugPrint = ConsoleDebugPrint;
    record.callbacks.SetSectionFilter = RefuseFilter;

    const int32_t started = kr_T2K_Init(&record);
    if (started != KR_OK) {
        std::fprintf(stderr, "krterminal: kr_T2K_Init failed with %d\n", started);
        return 1;
    }
    if (verbose) kr_T2K_SetDebugFlag(0x00, 1);

    uint8_t version[4] = {};
    uint8_t status[3] = {};
    kr_T2K_GetVersion(version);
    kr_T2K_GetKrdbStatus(status);
    std::printf("[terminal] krmodule %u.%u.%u.%u\n", version[0], version[1], version[2],
                version[3]);
    std::printf("[terminal] system information %s, EPG download %s\n",
                status[0] ? "present" : "absent", status[1] ? "running" : "idle");

    kr_T2K_SetDebugFlag(0x11, 1);
    kr_T2K_Finish();
    std::puts("[terminal] finished");
    return 0;
}
