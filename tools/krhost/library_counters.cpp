#include "library_counters.h"

#include <krmodule/krmodule_ext.h>

#include "json_writer.h"
#include "progress.h"

namespace krhost {
namespace {

struct CounterField {
    const char* name;
    uint64_t KrxCounters::*member;
};

constexpr CounterField kFields[] = {
    {"sectionsTaken", &KrxCounters::sectionsTaken},
    {"sectionsNotRunning", &KrxCounters::sectionsNotRunning},
    {"sectionsTimedOut", &KrxCounters::sectionsTimedOut},
    {"sectionsBadLength", &KrxCounters::sectionsBadLength},
    {"sectionsNoRequest", &KrxCounters::sectionsNoRequest},
    {"sectionsNoNode", &KrxCounters::sectionsNoNode},
    {"sectionsUnmatched", &KrxCounters::sectionsUnmatched},
    {"sectionsLengthMismatch", &KrxCounters::sectionsLengthMismatch},
    {"sectionsStopped", &KrxCounters::sectionsStopped},
    {"datagramsShort", &KrxCounters::datagramsShort},
    {"datagramsIpChecksum", &KrxCounters::datagramsIpChecksum},
    {"datagramsIpLength", &KrxCounters::datagramsIpLength},
    {"datagramsUdpChecksum", &KrxCounters::datagramsUdpChecksum},
    {"sysinfoInvalid", &KrxCounters::sysinfoInvalid},
    {"blocksNotMulticast", &KrxCounters::blocksNotMulticast},
    {"epgBlocksInvalid", &KrxCounters::epgBlocksInvalid},
    {"epgBlocksRepeated", &KrxCounters::epgBlocksRepeated},
    {"epgContainersRefused", &KrxCounters::epgContainersRefused},
    {"resourceBlocksInvalid", &KrxCounters::resourceBlocksInvalid},
    {"streamPacketsShort", &KrxCounters::streamPacketsShort},
    {"rtpRefused", &KrxCounters::rtpRefused},
    {"framesDelivered", &KrxCounters::framesDelivered},
    {"framesLostPacket", &KrxCounters::framesLostPacket},
    {"framesUnfinished", &KrxCounters::framesUnfinished},
    {"framesTooLarge", &KrxCounters::framesTooLarge},
    {"framesNotWhole", &KrxCounters::framesNotWhole},
    {"packetsOfDroppedFrames", &KrxCounters::packetsOfDroppedFrames},
    {"caSectionsCrc", &KrxCounters::caSectionsCrc},
    {"ecmsCrc", &KrxCounters::ecmsCrc},
    {"ecmsNoCard", &KrxCounters::ecmsNoCard},
    {"ecmsBadLength", &KrxCounters::ecmsBadLength},
    {"ecmsUnknownService", &KrxCounters::ecmsUnknownService},
    {"ecmsRepeated", &KrxCounters::ecmsRepeated},
    {"ecmsWorkTime", &KrxCounters::ecmsWorkTime},
    {"ecmsRating", &KrxCounters::ecmsRating},
    {"ecmsRefused", &KrxCounters::ecmsRefused},
    {"ecmsCardFailed", &KrxCounters::ecmsCardFailed},
    {"controlWordsSet", &KrxCounters::controlWordsSet},
    {"emmsNoCard", &KrxCounters::emmsNoCard},
    {"emmsBadLength", &KrxCounters::emmsBadLength},
    {"emmsOtherCard", &KrxCounters::emmsOtherCard},
    {"emmsRepeated", &KrxCounters::emmsRepeated},
    {"emmsRecordCut", &KrxCounters::emmsRecordCut},
    {"emmsCardFailed", &KrxCounters::emmsCardFailed},
    {"serviceMapsBadLength", &KrxCounters::serviceMapsBadLength},
    {"serviceMapsRepeated", &KrxCounters::serviceMapsRepeated},
    {"serviceMapsEntryCut", &KrxCounters::serviceMapsEntryCut},
    {"broadcastDataBadLength", &KrxCounters::broadcastDataBadLength},
    {"broadcastDataRepeated", &KrxCounters::broadcastDataRepeated},
    {"broadcastDataDescriptorCut", &KrxCounters::broadcastDataDescriptorCut},
};

}  // namespace

std::vector<std::pair<std::string, uint64_t>> LibraryCounters() {
    KrxCounters counters{};
    counters.size = sizeof counters;
    (void)krx_GetCounters(&counters);
    std::vector<std::pair<std::string, uint64_t>> out;
    for (const CounterField& f : kFields)
        out.emplace_back(f.name, counters.*f.member);
    return out;
}

void ReportCounters(bool json) {
    const auto counters = LibraryCounters();
    if (json) {
        std::string line = "{\"event\":\"stats\",\"counters\":{";
        bool first = true;
        for (const auto& [name, value] : counters) {
            // Appended piece by piece: GCC 12 misjudges `const char* + std::string&&` at -O3.
            if (!first) line += ',';
            line += JsonQuote(name);
            line += ':';
            line += std::to_string(value);
            first = false;
        }
        SayRaw(line + "}}\n");
        return;
    }
    std::string line = "counters:";
    bool any = false;
    for (const auto& [name, value] : counters) {
        if (value == 0) continue;
        line += (any ? ", " : " ") + name + " " + std::to_string(value);
        any = true;
    }
    Say(any ? line : "counters: all 0");
}

}  // namespace krhost
