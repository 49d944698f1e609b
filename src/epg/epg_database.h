// The EPG database: two buffers for each EPG kind (live, download, event), the published
// (current) buffer of each kind, the update flags, the service links, and the rule by which a
// buffer is taken for a new parse while the host may hold the other one.
//
// Everything here is read and changed with the module lock held: the parsers run under it, and
// the host's EPG calls take it for the few state bytes and links they touch.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

// Buffer states.
enum : uint8_t {
    kBufferFree = 0,
    kBufferValid = 1,    // filled by a parse (published or superseded)
    kBufferHeld = 0x11,  // handed to the host and not yet released
};

constexpr int kMaxPrograms = 32;
constexpr int kMaxLinks = 32;
constexpr int kMaxIcons = 6;
constexpr int kMaxResources = 64;
constexpr int kMaxEvents = 32;
constexpr uint32_t kIconMax = 8192;
constexpr uint32_t kDefaultSystemFrequency = 626000;

struct LiveBuffer {
    uint8_t state;
    uint32_t version;  // copy of epg.version
    LiveEpg epg;
};

struct DownloadBuffer {
    uint8_t state;
    DownloadEpg epg;
};

// The event EPG record begins with its own state byte.
using EventBuffer = EventEpg;

struct EpgDatabase {
    LiveBuffer* live = nullptr;  // two buffers each
    DownloadBuffer* download = nullptr;
    EventBuffer* event = nullptr;
    LiveBuffer* currentLive = nullptr;
    DownloadBuffer* currentDownload = nullptr;
    EventBuffer* currentEvent = nullptr;
    uint8_t liveUpdated = 0;
    uint8_t downloadUpdated = 0;
    uint8_t eventUpdated = 0;
    ServiceLink serviceLinks[kMaxLinks] = {};
    uint8_t linkCount = 0;
};

// The module's database. Hold the module lock while using it.
EpgDatabase& Epg();

// 0, or -6 when the buffers cannot be allocated ("malloc memory failed!").
int32_t kr_EpgInit();
// Releases the buffers. 0; harmless when the database was never started.
int32_t kr_EpgFinish();
// Forgets all EPG content (the service links stay).
void kr_EpgReset();

// A buffer for a new parse: 0 with *out reset, or -1 when no buffer is free of the host.
int32_t kr_TakeLiveBuffer(LiveBuffer** out);
int32_t kr_TakeDownloadBuffer(DownloadBuffer** out);
int32_t kr_TakeEventBuffer(EventBuffer** out);

// Release of a buffer by the host's calls (state, counts, version and links cleared).
void ReleaseLiveBuffer(LiveBuffer* buffer);
void ReleaseDownloadBuffer(DownloadBuffer* buffer);
void ReleaseEventBuffer(EventBuffer* buffer);

// Points every program that has an icon at it.
void kr_LinkIcons(LiveBuffer* live);
// Points every program at its schedule in event (null where it has none).
void kr_LinkEvents(LiveBuffer* live, EventBuffer* event);

// 1 with *out = the first stream of the current live EPG with that program id, else -1.
int32_t kr_FindStream(uint32_t programId, StreamInfo** out);
// 1 with *out = the first of the current download EPG's resources with that id, else -1.
int32_t kr_FindResource(uint32_t resourceId, ResourceInfo** out);

// Calls the EPG update notifier: with what (unless 0xFFFFFFFF), then 1 when the live or event
// EPG changed, then 2 when the download EPG changed. The flags stay set until the host fetches.
void kr_NotifyEpgUpdate(uint32_t what);

// The notifier; replaced from host threads, read from workers.
void SetEpgUpdateNotify(KrEpgUpdateNotifyFn notify);
KrEpgUpdateNotifyFn EpgUpdateNotify();

// Set by the host and by the stored EPG; read by no other part of the module.
void SetSystemFrequency(uint32_t frequency);
uint32_t SystemFrequency();

}  // namespace kr
