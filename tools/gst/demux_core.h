// What the krdemux element does, apart from its GObject shell: it runs the library over the
// transport stream that reaches its sink pad, starts the program its settings name when a live
// EPG lists it, and puts the program's frames on a video and an audio pad. A file is read in
// step with the library; a live source is passed on as it comes.
#pragma once

#include <gst/gst.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "aac_format.h"
#include "host_slots.h"
#include "pad_output.h"
#include "rtp_clock.h"
#include "terminal/replay.h"
#include "terminal/section_router.h"
#include "terminal/ts_demux.h"

namespace krgst {

struct DemuxSettings {
    uint32_t program = 0;
    std::string card;       // profile file, "none" or "pcsc[:READER]"; empty: the sample card
    std::string cardState;  // the virtual card's memory; empty: none kept
    std::string store;      // the store file; empty: nothing stored
    uint32_t nodes = 1024;
    uint32_t frequency = 626000;  // kHz
};

class DemuxCore final : public HostEvents {
  public:
    DemuxCore(GstElement* element, GstPad* sinkPad, GstStaticPadTemplate* videoTemplate,
              GstStaticPadTemplate* audioTemplate);
    ~DemuxCore() override;

    // Read and written under the element's object lock; used from the next start on.
    DemuxSettings settings;

    // READY to PAUSED: starts the library; false after posting the error.
    bool Start();
    // PAUSED to READY, before the pads are deactivated: every wait of the streaming thread and
    // of the library's stream worker ends.
    void Unblock();
    // After the pads are deactivated: the program stopped, the library finished, pads removed.
    void Stop();

    GstFlowReturn Chain(GstBuffer* buffer);
    gboolean SinkEvent(GstEvent* event);
    // The library's content function for the program: its stream worker.
    void Deliver(const StreamDelivery& delivery);

    // HostEvents, on library threads.
    void OnEpgNotice(uint32_t what) override;
    void OnMessage(uint32_t number, const std::string& text) override;
    void OnMessageHidden() override;
    void OnMail(uint32_t state, const std::string& meaning) override;
    void OnRedirect(uint16_t first, uint16_t second, uint16_t third) override;
    void OnDebug(const std::string& line) override;
    void OnWarning(const std::string& text) override;

  private:
    void Post(GstStructure* structure);
    // On the streaming thread (or the starting one): reacts to the EPG notices; true when
    // there was one (the reaction may have given the library more to do).
    bool HandleNotices();
    void FetchLive(bool announced);
    void PostEpg(const LiveEpg& epg);
    void StartProgram(const LiveEpg& epg, int32_t index);
    void BeginReading();
    void EndOfInput();
    GstCaps* AudioCaps(const GstBuffer* first) const;

    GstElement* element_;
    GstPad* sinkPad_;
    GstStaticPadTemplate* videoTemplate_;
    GstStaticPadTemplate* audioTemplate_;
    DemuxSettings running_;  // the settings of this run
    std::unique_ptr<DemuxHost> host_;
    bool libraryStarted_ = false;
    std::atomic<bool> stop_{false};
    std::optional<krtools::Replay> replay_;
    std::unique_ptr<krtools::SectionRouter> router_;
    std::unique_ptr<krtools::TsDemux> demux_;
    std::atomic<bool> liveNotice_{false};
    std::atomic<bool> downloadNotice_{false};
    LiveEpg* live_ = nullptr;
    DownloadEpg* download_ = nullptr;
    uint32_t postedEpgVersion_ = 0;
    bool programStarted_ = false;
    bool ended_ = false;
    // The program's pads; made before the program starts (the stream worker reads them after
    // that), removed after it stopped. outputsMutex_ orders their making on the streaming
    // thread with Unblock on the thread that changes the state.
    std::mutex outputsMutex_;
    OutputGate gate_;
    std::unique_ptr<PadOutput> video_;
    std::unique_ptr<PadOutput> audio_;
    // The stream description's audio, and the clocks (the stream worker's alone).
    uint32_t videoRate_ = 90000;
    uint32_t sdpAudioRate_ = 0;
    std::optional<AacFormat> sdpAudio_;
    std::optional<RtpClock> videoClock_;
    std::optional<RtpClock> audioClock_;
};

}  // namespace krgst
