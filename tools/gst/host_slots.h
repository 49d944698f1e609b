// The library's 18 host slots for the media-pipeline element: section filters over the element's
// software demultiplexer, the control words at its descrambler, the card slot, the store file,
// and what a terminal shows (EPG notices, numbered messages and texts, mails, redirections),
// handed to the element as events. The library runs once per process, so the slots reach the
// one running host through a process-wide pointer.
#pragma once

#include <krmodule/krmodule.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/cissa.h"
#include "terminal/card_reader.h"
#include "terminal/section_filter.h"
#include "terminal/store_file.h"

namespace krgst {

// What the library tells the terminal, for the element to post. Called on library threads.
class HostEvents {
  public:
    virtual ~HostEvents() = default;
    virtual void OnEpgNotice(uint32_t what) = 0;
    // A numbered message (number 0xFF: a broadcast text) with its text or meaning.
    virtual void OnMessage(uint32_t number, const std::string& text) = 0;
    virtual void OnMessageHidden() = 0;
    virtual void OnMail(uint32_t state, const std::string& meaning) = 0;
    virtual void OnRedirect(uint16_t first, uint16_t second, uint16_t third) = 0;
    virtual void OnDebug(const std::string& line) = 0;
    // Something the user should know that does not stop the element (the store not saved).
    virtual void OnWarning(const std::string& text) = 0;
};

class DemuxHost {
  public:
    // Null store: the library keeps nothing; null card: no card slot.
    DemuxHost(HostEvents& events, std::unique_ptr<krtools::StoreFile> store,
              std::unique_ptr<krtools::CardReader> card, uint32_t frequency);
    ~DemuxHost();
    DemuxHost(const DemuxHost&) = delete;
    DemuxHost& operator=(const DemuxHost&) = delete;

    // Claims the process's one library; false when another host holds it.
    bool Claim();
    InitRecord MakeInitRecord(uint32_t sectionBuffers) const;

    krtools::SectionFilterTable& filters() { return filters_; }
    const krtools::DescramblerTable& descrambler() const { return descrambler_; }
    krtools::CardReader* card() const { return card_.get(); }

    // Slot bodies.
    int32_t SetFilter(uint32_t requestId, const SectionFilterParams& params);
    void StopFilter(uint32_t requestId);
    void SetDescrambler(const DescramblerRecord& record);
    int32_t StoreBuffer(uint32_t* size, uintptr_t* handle);
    void ReadStore(uintptr_t handle, uint32_t* length, uint8_t* destination);
    void WriteStore(uintptr_t handle, uint32_t* length, const uint8_t* source);
    HostEvents& events() { return events_; }
    uint32_t frequency() const { return frequency_; }

  private:
    HostEvents& events_;
    std::unique_ptr<krtools::StoreFile> store_;
    std::unique_ptr<krtools::CardReader> card_;
    uint32_t frequency_;
    bool claimed_ = false;
    krtools::SectionFilterTable filters_;
    krtools::DescramblerTable descrambler_;
    std::atomic<bool> saidStoreFailure_{false};
};

}  // namespace krgst
