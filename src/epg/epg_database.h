// The EPG database: two buffers for each EPG kind (live, download, event), the published
// (current) buffer of each kind, the update flags, the service links, and the rule by which a
// buffer is taken for a new parse while the host may hold the other one.
//
// The parsers run under the module lock, one at a time, and fill a buffer that no host can reach
// (neither current nor held). What the host's EPG calls read or write (the buffer states, the
// current buffers, the update flags, the service links, the event links of a live buffer) is
// changed only under the short EPG hand-over lock, which the host's calls take alone: they never
// wait for a parse or a store write, and the host is never called with that lock held.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

#include "core/platform.h"

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
    // New icons for the current live EPG while the host holds it: a copy in the other live
    // buffer, which becomes current at the host's next fetch. A new live file may still take
    // that buffer (and brings icons of its own), so icons never cost the next live file.
    LiveBuffer* pendingLive = nullptr;
    DownloadBuffer* currentDownload = nullptr;
    EventBuffer* currentEvent = nullptr;
    uint8_t liveUpdated = 0;
    uint8_t downloadUpdated = 0;
    uint8_t eventUpdated = 0;
    ServiceLink serviceLinks[kMaxLinks] = {};
    uint8_t linkCount = 0;
    // The links of the live EPG being parsed, published with it (parser only).
    ServiceLink stagedLinks[kMaxLinks] = {};
    uint8_t stagedLinkCount = 0;
    // The buffers the running parse fills, which no host call may touch.
    const void* building[3] = {};
};

// The hand-over lock of the database.
ShortLock& EpgHandOverLock();

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

// How a filled live buffer is published.
enum class LiveSource : uint8_t {
    File,    // a parsed live file: current at once, with its staged service links
    Icons,   // new icons for the live EPG: current at once, or pending while the host holds
             // the current one
    Stored,  // the live EPG kept in the store, at start: current, no update announced
};

// Makes a filled buffer the current one of its kind (state valid) and raises its update flag,
// in one hold of the hand-over lock, so that no fetch sees the one without the other.
void PublishLive(LiveBuffer* buffer, LiveSource source);
void PublishDownload(DownloadBuffer* buffer);
void PublishEvent(EventBuffer* buffer);

// A buffer for the icons of a container whose live EPG did not change: a copy of the newest
// live EPG, pending or current (null when there is none or no buffer is free). Unpublished,
// like a parsed one.
LiveBuffer* kr_CopyCurrentLive();

// The live EPG the host gets at its next fetch: the pending one, else the current one.
const LiveBuffer* NewestLive();

// What the update flags announce now: kEpgLiveChanged, kEpgDownloadChanged.
constexpr uint32_t kEpgLiveChanged = 1u << 0;
constexpr uint32_t kEpgDownloadChanged = 1u << 1;
uint32_t PendingEpgChanges();

// The version of the current buffer of a kind, for the same-version rules; false when none.
bool CurrentLiveVersion(uint32_t* version);
bool CurrentDownloadVersion(uint32_t* version);
bool CurrentEventVersion(uint32_t* version);

// Whether a live buffer the host holds links this event buffer: only then does the host hold it.
// For the holder of the hand-over lock.
bool EventHeldByHost(const EventBuffer* event);

// Copies source into copy, with the copy's own record pointers and icon links and no schedules.
// For the holder of the hand-over lock.
void CopyLiveInto(LiveBuffer* copy, const LiveBuffer& source);

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
// Call it with no library lock held: the host may fetch from the notifier, or wait in it for a
// thread of its own that calls the library.
void kr_NotifyEpgUpdate(uint32_t what);
// The same for the changes taken with PendingEpgChanges when the parse ended: a fetch or a clear
// between the parse and the notice does not take the notice away.
void NotifyEpgChanges(uint32_t what, uint32_t changes);

// The notifier; replaced from host threads, read from workers.
void SetEpgUpdateNotify(KrEpgUpdateNotifyFn notify);
KrEpgUpdateNotifyFn EpgUpdateNotify();

// Set by the host and by the stored EPG; read by no other part of the module.
void SetSystemFrequency(uint32_t frequency);
uint32_t SystemFrequency();

}  // namespace kr
