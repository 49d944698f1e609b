#include "demux_core.h"

#include <krmodule/krmodule_ext.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "common/file_io.h"
#include "guide_page.h"
#include "mpeg4_format.h"
#include "terminal/card_choice.h"
#include "terminal/store_file.h"

GST_DEBUG_CATEGORY_EXTERN(krdemux_debug);
#define GST_CAT_DEFAULT krdemux_debug

namespace krgst {
namespace {

namespace fs = std::filesystem;

// The one element whose program the library's content function feeds.
std::atomic<DemuxCore*> contentTarget{nullptr};

int32_t Content(const void* record) {
    DemuxCore* core = contentTarget.load();
    if (core != nullptr && record != nullptr)
        core->Deliver(*static_cast<const StreamDelivery*>(record));
    return 0;
}

constexpr uint16_t kSortRtp = 4;
constexpr int32_t kMaxPrograms = 32;

// A text field of a library record, up to its NUL or its size.
template <std::size_t N>
std::string Field(const char (&text)[N]) {
    return std::string(text, strnlen(text, N));
}

// The sample card: installed beside the samples, or in the source tree of this build.
fs::path SampleCard() {
    for (const char* dir : {KRGST_INSTALLED_SAMPLES_DIR, KRGST_SOURCE_SAMPLES_DIR}) {
        const fs::path card = fs::path(dir) / "card" / "card.txt";
        std::error_code code;
        if (fs::exists(card, code)) return card;
    }
    return fs::path(KRGST_SOURCE_SAMPLES_DIR) / "card" / "card.txt";
}

krhost::GuideTime LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    krhost::GuideTime t;
    if (::localtime_r(&now, &local) == nullptr) return t;
    t.monthDay = local.tm_mday;
    t.month = local.tm_mon + 1;
    t.minute = local.tm_hour * 60 + local.tm_min;
    return t;
}

// The schedule of a program as the guide reads it: its seven days from the event EPG.
std::array<krhost::GuideDay, 7> Schedule(const LiveEpg& epg, uint32_t programId) {
    std::array<krhost::GuideDay, 7> days;
    const EventEpg* events = epg.eventEpg;
    if (events == nullptr) return days;
    const uint32_t count = std::min<uint32_t>(events->eventCount, 32);
    for (uint32_t i = 0; i < count; ++i) {
        const EventInfo& info = events->events[i];
        if (info.programId != programId) continue;
        for (std::size_t d = 0; d < 7; ++d) {
            days[d].day = Field(info.day[d]);
            if (info.contentPtr[d] != nullptr) days[d].content = Field(info.content[d]);
        }
        break;
    }
    return days;
}

// MPEG-4 visual, with the picture size and a fixed frame rate when the first frame's headers
// give them.
GstCaps* VideoCaps(const GstBuffer* first) {
    GstCaps* caps = gst_caps_new_simple("video/mpeg", "mpegversion", G_TYPE_INT, 4,
                                        "systemstream", G_TYPE_BOOLEAN, FALSE, nullptr);
    GstMapInfo map;
    if (first == nullptr || !gst_buffer_map(const_cast<GstBuffer*>(first), &map, GST_MAP_READ))
        return caps;
    if (const auto vol = ReadVolHeader(std::span<const uint8_t>(map.data, map.size))) {
        gst_caps_set_simple(caps, "width", G_TYPE_INT, static_cast<int>(vol->width), "height",
                            G_TYPE_INT, static_cast<int>(vol->height), nullptr);
        if (vol->rateNumerator != 0)
            gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION,
                                static_cast<int>(vol->rateNumerator),
                                static_cast<int>(vol->rateDenominator), nullptr);
    }
    gst_buffer_unmap(const_cast<GstBuffer*>(first), &map);
    return caps;
}

GstBuffer* CopyFrame(const uint8_t* data, uint32_t length, uint64_t pts) {
    GstBuffer* buffer = gst_buffer_new_memdup(data, length);
    GST_BUFFER_PTS(buffer) = pts;
    return buffer;
}

}  // namespace

DemuxCore::DemuxCore(GstElement* element, GstPad* sinkPad, GstStaticPadTemplate* videoTemplate,
                     GstStaticPadTemplate* audioTemplate)
    : element_(element),
      sinkPad_(sinkPad),
      videoTemplate_(videoTemplate),
      audioTemplate_(audioTemplate) {}

DemuxCore::~DemuxCore() {
    Unblock();
    Stop();
}

void DemuxCore::Post(GstStructure* structure) {
    (void)gst_element_post_message(element_,
                                   gst_message_new_element(GST_OBJECT(element_), structure));
}

bool DemuxCore::Start() {
    GST_OBJECT_LOCK(element_);
    running_ = settings;
    GST_OBJECT_UNLOCK(element_);
    stop_.store(false);
    ended_ = false;
    // Without a program there are no pads: the element is where the pipeline ends, and it
    // reports the EPG, messages and mails alone.
    if (running_.program == 0)
        GST_OBJECT_FLAG_SET(element_, GST_ELEMENT_FLAG_SINK);
    else
        GST_OBJECT_FLAG_UNSET(element_, GST_ELEMENT_FLAG_SINK);
    const krtools::Report report = [this](const std::string& line) {
        GST_INFO_OBJECT(element_, "%s", line.c_str());
    };
    std::unique_ptr<krtools::StoreFile> store;
    std::unique_ptr<krtools::CardReader> card;
    try {
        if (!running_.store.empty()) store = std::make_unique<krtools::StoreFile>(running_.store);
        card = krtools::OpenCard(running_.card, running_.cardState, SampleCard(), report);
    } catch (const std::exception& error) {
        GST_ELEMENT_ERROR(element_, RESOURCE, OPEN_READ, ("%s", error.what()), (nullptr));
        return false;
    }
    host_ = std::make_unique<DemuxHost>(*this, std::move(store), std::move(card),
                                        running_.frequency);
    if (!host_->Claim()) {
        host_.reset();
        GST_ELEMENT_ERROR(element_, RESOURCE, BUSY,
                          ("the library already runs in this process: one krdemux element at a "
                           "time can play"),
                          (nullptr));
        return false;
    }
    const InitRecord record = host_->MakeInitRecord(running_.nodes);
    if (const int32_t result = kr_T2K_Init(&record); result != KR_OK) {
        host_.reset();
        GST_ELEMENT_ERROR(element_, LIBRARY, INIT, ("the library did not start"),
                          ("kr_T2K_Init returned %d", result));
        return false;
    }
    libraryStarted_ = true;
    contentTarget.store(this);
    demux_ = std::make_unique<krtools::TsDemux>(
        [this](uint16_t pid, std::span<const uint8_t> section) {
            // Every section may set filters or keys here: each is waited for.
            if (router_->Route(pid, section) != krtools::SectionRouter::Routed::kNowhere &&
                replay_)
                replay_->AfterSection();
        });
    demux_->UseDescrambler(&host_->descrambler());
    router_ = std::make_unique<krtools::SectionRouter>(
        host_->filters(), false, [this] { return replay_ && replay_->OnNoBuffer(); },
        krtools::SectionRouter::OnEcm{}, report);
    if (krtools::CardReader* c = host_->card()) {
        if (c->CardPresent()) {
            const int32_t result = krca_T2CA_CardInserted();
            GST_INFO_OBJECT(element_, "card: inserted, result %d", result);
        }
        c->Watch([this](bool inserted) {
            GST_INFO_OBJECT(element_, "card: %s", inserted ? "inserted" : "removed");
            if (inserted)
                (void)krca_T2CA_CardInserted();
            else
                (void)krca_T2CA_CardRemoved();
        });
    }
    // A live EPG from the store is current before the broadcast sends one.
    FetchLive(false);
    return true;
}

void DemuxCore::Unblock() {
    std::lock_guard hold(outputsMutex_);
    stop_.store(true);
    if (video_) video_->Flush();
    if (audio_) audio_->Flush();
}

void DemuxCore::Stop() {
    if (libraryStarted_) {
        if (programStarted_) (void)kr_T2K_StopProgram(running_.program);
        if (host_ && host_->card() != nullptr) host_->card()->StopWatching();
        (void)kr_T2K_Finish();
        libraryStarted_ = false;
    }
    programStarted_ = false;
    contentTarget.store(nullptr);
    live_ = nullptr;
    download_ = nullptr;
    postedEpgVersion_ = 0;
    replay_.reset();
    demux_.reset();
    router_.reset();
    video_.reset();
    audio_.reset();
    videoClock_.reset();
    audioClock_.reset();
    host_.reset();
    liveNotice_.store(false);
    downloadNotice_.store(false);
}

// Upstream says whether it is live; the first buffer decides how the input is read.
void DemuxCore::BeginReading() {
    gboolean live = FALSE;
    GstQuery* query = gst_query_new_latency();
    if (gst_pad_peer_query(sinkPad_, query)) gst_query_parse_latency(query, &live, nullptr, nullptr);
    gst_query_unref(query);
    GST_INFO_OBJECT(element_, "%s", live ? "live input: passed on as it comes"
                                         : "input read in step with the library");
    replay_.emplace(krtools::ReplayOptions{}, live != FALSE, stop_, [this] {
        return HandleNotices();
    });
    replay_->AtStart();
}

GstFlowReturn DemuxCore::Chain(GstBuffer* buffer) {
    if (!libraryStarted_ || stop_.load()) {
        gst_buffer_unref(buffer);
        return GST_FLOW_FLUSHING;
    }
    if (!replay_) BeginReading();
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        demux_->Feed(std::span<const uint8_t>(map.data, map.size));
        gst_buffer_unmap(buffer, &map);
    }
    gst_buffer_unref(buffer);
    // A live input reacts to a notice with the buffer after it; a file did so in step.
    (void)HandleNotices();
    return stop_.load() ? GST_FLOW_FLUSHING : GST_FLOW_OK;
}

gboolean DemuxCore::SinkEvent(GstEvent* event) {
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_EOS:
            gst_event_unref(event);
            EndOfInput();
            return TRUE;
        // The element makes its own stream starts, caps and segments on its pads.
        case GST_EVENT_STREAM_START:
        case GST_EVENT_CAPS:
        case GST_EVENT_SEGMENT:
            gst_event_unref(event);
            return TRUE;
        default:
            return gst_pad_event_default(sinkPad_, GST_OBJECT(element_), event);
    }
}

void DemuxCore::EndOfInput() {
    if (!libraryStarted_ || ended_) return;
    ended_ = true;
    if (demux_) demux_->Finish();
    // Everything given has been handled, content calls included.
    if (!replay_) BeginReading();
    replay_->AtEnd();
    (void)HandleNotices();
    if (stop_.load()) return;
    if (running_.program == 0) {
        // Without a program the element ends the pipeline as a sink does.
        (void)gst_element_post_message(element_,
                                       gst_message_new_eos(GST_OBJECT(element_)));
        return;
    }
    if (!programStarted_) {
        GST_ELEMENT_ERROR(element_, STREAM, DEMUX,
                          ("program %u is not in the live EPG of the input", running_.program),
                          (nullptr));
        return;
    }
    if (video_) video_->PushEos();
    if (audio_) audio_->PushEos();
}

bool DemuxCore::HandleNotices() {
    const bool live = liveNotice_.exchange(false);
    const bool download = downloadNotice_.exchange(false);
    if (live) FetchLive(true);
    if (download) {
        // Nothing here downloads: the download EPG is given back at once, so the library's
        // next one always has a buffer.
        DownloadEpg* epg = nullptr;
        if (kr_T2K_GetDownloadEpg(&epg) == KR_OK && epg != nullptr) {
            if (download_ != nullptr && download_ != epg) (void)kr_T2K_ReleaseDownloadEpg(download_);
            download_ = epg;
        }
    }
    return live || download;
}

void DemuxCore::FetchLive(bool announced) {
    LiveEpg* epg = nullptr;
    if (kr_T2K_GetLiveEpg(&epg) != KR_OK || epg == nullptr) return;
    if (live_ != nullptr && live_ != epg) (void)kr_T2K_ReleaseLiveEpg(live_);
    live_ = epg;
    GST_INFO_OBJECT(element_, "live EPG %s, version %u", announced ? "announced" : "stored",
                    epg->version);
    PostEpg(*epg);
    if (programStarted_ || running_.program == 0) return;
    const int32_t count = std::clamp<int32_t>(epg->programCount, 0, kMaxPrograms);
    for (int32_t i = 0; i < count; ++i)
        if (epg->program[i].programId == running_.program) {
            StartProgram(*epg, i);
            return;
        }
}

void DemuxCore::PostEpg(const LiveEpg& epg) {
    if (epg.version == postedEpgVersion_ && postedEpgVersion_ != 0) return;
    postedEpgVersion_ = epg.version;
    const krhost::GuideTime now = LocalNow();
    GValue programs = G_VALUE_INIT;
    g_value_init(&programs, GST_TYPE_ARRAY);
    const int32_t count = std::clamp<int32_t>(epg.programCount, 0, kMaxPrograms);
    for (int32_t i = 0; i < count; ++i) {
        const ProgramInfo& p = epg.program[i];
        const krhost::NowAndNext on = krhost::FindNowAndNext(Schedule(epg, p.programId), now);
        GValue entry = G_VALUE_INIT;
        g_value_init(&entry, GST_TYPE_STRUCTURE);
        GstStructure* s = gst_structure_new(
            "program", "id", G_TYPE_UINT, p.programId, "name", G_TYPE_STRING,
            Field(p.name).c_str(), "scrambled", G_TYPE_BOOLEAN, p.ca != 0 ? TRUE : FALSE, "now",
            G_TYPE_STRING, on.now.c_str(), "next", G_TYPE_STRING, on.next.c_str(), nullptr);
        gst_value_set_structure(&entry, s);
        gst_structure_free(s);
        gst_value_array_append_and_take_value(&programs, &entry);
    }
    GstStructure* message = gst_structure_new("krdemux-epg", "version", G_TYPE_UINT, epg.version,
                                              nullptr);
    gst_structure_take_value(message, "programs", &programs);
    Post(message);
}

void DemuxCore::StartProgram(const LiveEpg& epg, int32_t index) {
    const StreamInfo& stream = epg.stream[index];
    bool hasVideo = true, hasAudio = true;
    if (stream.sort == kSortRtp) {
        const MediaSdpView& sdp = stream.media.sdp;
        hasVideo = sdp.videoPort != 0;
        hasAudio = sdp.audioPort != 0;
        if (sdp.videoClock != 0) videoRate_ = sdp.videoClock;
        sdpAudioRate_ = sdp.audioClock;
        sdpAudio_ = ReadAudioSpecificConfig(sdp.audioConfig);
    }
    const std::string id = std::to_string(running_.program);
    std::unique_lock hold(outputsMutex_);
    if (stop_.load()) return;  // the element is stopping: no pads, no program
    if (hasVideo) {
        video_ = std::make_unique<PadOutput>(
            element_, "video", videoTemplate_, id + "/video",
            [](const GstBuffer* first) { return VideoCaps(first); },
            gate_);
        video_->Expose();
    }
    if (hasAudio) {
        audio_ = std::make_unique<PadOutput>(
            element_, "audio", audioTemplate_, id + "/audio",
            [this](const GstBuffer* first) { return AudioCaps(first); }, gate_);
        audio_->Expose();
    }
    hold.unlock();
    gst_element_no_more_pads(element_);
    const int32_t result = kr_T2K_StartProgram(running_.program, KR_DELIVER_FRAMES, Content);
    if (result != KR_OK) {
        GST_ELEMENT_ERROR(element_, STREAM, FAILED,
                          ("the library refused to start program %u", running_.program),
                          ("kr_T2K_StartProgram returned %d", result));
        return;
    }
    programStarted_ = true;
    GST_INFO_OBJECT(element_, "playing program %u (%s)", running_.program,
                    Field(epg.program[index].name).c_str());
}

// AAC as ADTS: the rate and channels of the first frame, or of the stream description when
// the first frame does not say.
GstCaps* DemuxCore::AudioCaps(const GstBuffer* first) const {
    std::optional<AacFormat> format = sdpAudio_;
    if (first != nullptr) {
        GstMapInfo map;
        if (gst_buffer_map(const_cast<GstBuffer*>(first), &map, GST_MAP_READ)) {
            if (const auto adts = ReadAdtsHeader(std::span<const uint8_t>(map.data, map.size)))
                format = adts;
            gst_buffer_unmap(const_cast<GstBuffer*>(first), &map);
        }
    }
    GstCaps* caps = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 4,
                                        "stream-format", G_TYPE_STRING, "adts", nullptr);
    if (format) {
        gst_caps_set_simple(caps, "rate", G_TYPE_INT, static_cast<int>(format->rate), nullptr);
        if (format->channels != 0)
            gst_caps_set_simple(caps, "channels", G_TYPE_INT,
                                static_cast<int>(format->channels), nullptr);
    }
    return caps;
}

void DemuxCore::Deliver(const StreamDelivery& d) {
    if (d.programId != running_.program || d.deliveryMode != KR_DELIVER_FRAMES) return;
    if (d.kind == KR_FRAME_VIDEO && video_ && d.videoFrame != nullptr && d.videoLength != 0) {
        if (!videoClock_) videoClock_.emplace(videoRate_);
        GstBuffer* b = CopyFrame(d.videoFrame, d.videoLength,
                                 videoClock_->Nanoseconds(d.videoTimestamp));
        video_->Push(b, [this] { return audio_ && audio_->StarvedLocked(); });
    } else if (d.kind == KR_FRAME_AUDIO && audio_ && d.audioFrame != nullptr &&
               d.audioLength != 0) {
        if (!audioClock_) {
            // ADTS frames are timed in samples: their own rate is the clock, whatever the
            // stream description claims.
            const auto adts =
                ReadAdtsHeader(std::span<const uint8_t>(d.audioFrame, d.audioLength));
            const uint32_t rate = adts ? adts->rate : sdpAudioRate_;
            if (adts && sdpAudioRate_ != 0 && sdpAudioRate_ != adts->rate)
                GST_WARNING_OBJECT(element_,
                                   "the stream description says %u Hz, the frames %u Hz: the "
                                   "frames' rate times the audio",
                                   sdpAudioRate_, adts->rate);
            audioClock_.emplace(rate);
        }
        GstBuffer* b = CopyFrame(d.audioFrame, d.audioLength,
                                 audioClock_->Nanoseconds(d.audioTimestamp));
        audio_->Push(b, [this] { return video_ && video_->StarvedLocked(); });
    }
}

void DemuxCore::OnEpgNotice(uint32_t what) {
    if (what == KR_EPG_LIVE_CHANGED) liveNotice_.store(true);
    if (what == KR_EPG_DOWNLOAD_CHANGED) downloadNotice_.store(true);
}

void DemuxCore::OnMessage(uint32_t number, const std::string& text) {
    GST_INFO_OBJECT(element_, "message %u: %s", number, text.c_str());
    Post(gst_structure_new("krdemux-message", "number", G_TYPE_UINT, number, "text",
                           G_TYPE_STRING, text.c_str(), nullptr));
}

void DemuxCore::OnMessageHidden() {
    Post(gst_structure_new_empty("krdemux-message-hidden"));
}

void DemuxCore::OnMail(uint32_t state, const std::string& meaning) {
    Post(gst_structure_new("krdemux-mail", "state", G_TYPE_UINT, state, "meaning", G_TYPE_STRING,
                           meaning.c_str(), nullptr));
}

void DemuxCore::OnRedirect(uint16_t first, uint16_t second, uint16_t third) {
    Post(gst_structure_new("krdemux-redirect", "first", G_TYPE_UINT, static_cast<guint>(first),
                           "second", G_TYPE_UINT, static_cast<guint>(second), "third",
                           G_TYPE_UINT, static_cast<guint>(third), nullptr));
}

void DemuxCore::OnDebug(const std::string& line) {
    GST_DEBUG_OBJECT(element_, "%s", line.c_str());
}

void DemuxCore::OnWarning(const std::string& text) {
    GST_ELEMENT_WARNING(element_, RESOURCE, WRITE, ("%s", text.c_str()), (nullptr));
}

}  // namespace krgst
