#include "section_router.h"

#include <krmodule/krmodule.h>

namespace krhost {

bool IsEcm(std::span<const uint8_t> section) {
    // Anything past the table id and the four CRC bytes.
    return section.size() > 4 && (section[0] & 0xFE) == 0x80;
}

SectionRouter::SectionRouter(Terminal& terminal, bool emmPidGiven, NoBuffer noBuffer)
    : terminal_(terminal), emmPidGiven_(emmPidGiven), noBuffer_(std::move(noBuffer)) {}

SectionRouter::Routed SectionRouter::Route(uint16_t pid, std::span<const uint8_t> section) {
    if (!emmPidGiven_) caTable_.OnSection(pid, section);
    Routed routed = Routed::kNowhere;
    for (uint32_t id : terminal_.filters().Match(pid, section)) {
        if (IsEcm(section)) terminal_.Note(Terminal::Milestone::FirstEcm);
        Send(id, section);
        if (routed != Routed::kLibrary)
            routed = terminal_.IsProgramDataFilter(id) ? Routed::kProgramData : Routed::kLibrary;
    }
    return routed;
}

void SectionRouter::Send(uint32_t requestId, std::span<const uint8_t> section) {
    for (;;) {
        const int32_t result =
            kr_T2K_SendRetrieved(static_cast<int32_t>(requestId), 0, section.data(),
                                 static_cast<int32_t>(section.size()));
        if (result == KR_OK) {
            sent_.fetch_add(1);
            return;
        }
        // Every buffer is queued: a tuner's buffer would overflow; a file waits for the library.
        if (result != KR_NO_NODE || !noBuffer_()) {
            if (result == KR_NO_NODE) refused_.fetch_add(1);
            return;
        }
    }
}

}  // namespace krhost
