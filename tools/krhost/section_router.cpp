#include "section_router.h"

#include <krmodule/krmodule.h>

namespace krhost {

bool IsEcm(std::span<const uint8_t> section) {
    // Anything past the table id and the four CRC bytes.
    return section.size() > 4 && (section[0] & 0xFE) == 0x80;
}

SectionRouter::SectionRouter(Terminal& terminal, bool emmPidGiven, NoBuffer noBuffer,
                             bool batchProgramData)
    : terminal_(terminal),
      emmPidGiven_(emmPidGiven),
      noBuffer_(std::move(noBuffer)),
      batchProgramData_(batchProgramData) {}

SectionRouter::Routed SectionRouter::Route(uint16_t pid, std::span<const uint8_t> section) {
    if (!emmPidGiven_) caTable_.OnSection(pid, section);
    const std::vector<uint32_t> ids = terminal_.filters().Match(pid, section);
    if (ids.empty()) return Routed::kNowhere;
    Routed routed = Routed::kProgramData;
    for (uint32_t id : ids)
        if (!terminal_.IsProgramDataFilter(id)) routed = Routed::kLibrary;
    if (routed == Routed::kProgramData && batchProgramData_) {
        for (uint32_t id : ids)
            held_.push_back({id, heldBytes_.size(), section.size()});
        heldBytes_.insert(heldBytes_.end(), section.begin(), section.end());
        return routed;
    }
    // What was held goes first: the library sees the sections in the stream's order.
    (void)Flush();
    for (uint32_t id : ids) {
        if (IsEcm(section)) terminal_.Note(Terminal::Milestone::FirstEcm);
        Send(id, section);
    }
    return routed;
}

std::size_t SectionRouter::Flush() {
    std::size_t sent = 0;
    for (const Held& h : held_)
        if (Send(h.requestId, std::span(heldBytes_).subspan(h.offset, h.size))) ++sent;
    held_.clear();
    heldBytes_.clear();
    return sent;
}

bool SectionRouter::Send(uint32_t requestId, std::span<const uint8_t> section) {
    for (;;) {
        const int32_t result =
            kr_T2K_SendRetrieved(static_cast<int32_t>(requestId), 0, section.data(),
                                 static_cast<int32_t>(section.size()));
        if (result == KR_OK) {
            sent_.fetch_add(1);
            return true;
        }
        // Every buffer is queued: a tuner's buffer would overflow; a file waits for the library.
        if (result != KR_NO_NODE || !noBuffer_()) {
            if (result == KR_NO_NODE) refused_.fetch_add(1);
            return false;
        }
    }
}

}  // namespace krhost
