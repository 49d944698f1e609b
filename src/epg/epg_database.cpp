#include "epg/epg_database.h"

#include <atomic>
#include <cstring>

#include "core/log.h"
#include "core/platform.h"
#include "epg/stored_epg.h"

namespace kr {
namespace {

EpgDatabase database;
ShortLock handOver;

enum : int { kBuildingLive = 0, kBuildingDownload = 1, kBuildingEvent = 2 };
std::atomic<KrEpgUpdateNotifyFn> notifier{nullptr};
std::atomic<uint32_t> systemFrequency{kDefaultSystemFrequency};

void ResetLiveBuffer(LiveBuffer& b) {
    b.state = kBufferFree;
    b.version = 0;
    b.epg.programCount = 0;
    b.epg.version = 0;
    b.epg.programs = nullptr;
    b.epg.eventEpg = nullptr;
    b.epg.iconCount = 0;
}

void ResetDownloadBuffer(DownloadBuffer& b) {
    b.state = kBufferFree;
    b.epg.resourceCount = 0;
    b.epg.version = 0;
    b.epg.root = nullptr;
    b.epg.reserved = 0;
    std::memset(b.epg.nodeInUse, 0, sizeof b.epg.nodeInUse);
}

// The schedule texts themselves stay: only the content pointers say which days are valid.
void ResetEventBuffer(EventBuffer& b) {
    b.state = kBufferFree;
    b.eventCount = 0;
    b.version = 0;
    for (EventInfo& e : b.events) {
        e.programId = 0;
        std::memset(e.day, 0, sizeof e.day);
        for (char*& p : e.contentPtr)
            p = nullptr;
    }
}

bool HeldState(const LiveBuffer& b) {
    return b.state == kBufferHeld;
}
bool HeldState(const DownloadBuffer& b) {
    return b.state == kBufferHeld;
}
bool HeldState(const EventBuffer& b) {
    return EventHeldByHost(&b);
}

void Unlink(LiveBuffer& live) {
    live.epg.eventEpg = nullptr;
    for (ProgramInfo& program : live.epg.program)
        program.events = nullptr;
}

// What taking a buffer gave up besides the buffer's old content.
struct Taken {
    bool pendingIcons = false;  // the live copy with icons the host had not fetched yet
};

void BeforeReuse(LiveBuffer& b, Taken& taken) {
    if (database.pendingLive != &b) return;
    database.pendingLive = nullptr;
    taken.pendingIcons = true;
}
void BeforeReuse(DownloadBuffer&, Taken&) {}
// A live buffer the host has not fetched may still link the event buffer: it loses the link,
// and gets the one to the new schedules at the fetch.
void BeforeReuse(EventBuffer& b, Taken&) {
    for (int i = 0; i < 2 && database.live != nullptr; ++i) {
        if (database.live[i].epg.eventEpg == &b) Unlink(database.live[i]);
    }
}

// Looks at buffer 0, then buffer 1; a buffer the host holds, or the current one, is skipped.
template <typename Buffer, typename Release, typename Reset>
int32_t TakeBuffer(Buffer* pool, const Buffer* current, Buffer** out, Release release, Reset reset,
                   int kind) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr) return -1;
    Taken taken;
    int32_t result = -1;
    {
        ShortLockGuard hold(handOver);
        database.building[kind] = nullptr;
        for (int i = 0; i < 2 && pool != nullptr; ++i) {
            Buffer& b = pool[i];
            if (HeldState(b)) continue;
            if (b.state != kBufferFree && &b == current) continue;
            BeforeReuse(b, taken);
            if (b.state != kBufferFree) release(&b);
            reset(b);
            database.building[kind] = &b;
            *out = &b;
            result = 0;
            break;
        }
    }
    if (taken.pendingIcons) kr_Print(0x53, "Live EPG icons not yet fetched are replaced.");
    return result;
}

void FreePools() {
    FreeMem(database.live);
    FreeMem(database.download);
    FreeMem(database.event);
    database.live = nullptr;
    database.download = nullptr;
    database.event = nullptr;
}

template <typename T>
T* AllocPool() {
    void* memory = AllocMem(2 * sizeof(T));
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, 2 * sizeof(T));
    return static_cast<T*>(memory);
}

}  // namespace

EpgDatabase& Epg() {
    return database;
}

ShortLock& EpgHandOverLock() {
    return handOver;
}

void PublishLive(LiveBuffer* buffer, LiveSource source) {
    if (buffer == nullptr) return;
    ShortLockGuard hold(handOver);
    buffer->state = kBufferValid;
    if (database.building[kBuildingLive] == buffer) database.building[kBuildingLive] = nullptr;
    const LiveBuffer* current = database.currentLive;
    if (source == LiveSource::Icons && current != nullptr && current->state == kBufferHeld) {
        database.pendingLive = buffer;
    } else {
        database.currentLive = buffer;
        database.pendingLive = nullptr;
    }
    if (source == LiveSource::File) {
        std::memcpy(database.serviceLinks, database.stagedLinks, sizeof database.serviceLinks);
        database.linkCount = database.stagedLinkCount;
    }
    if (source != LiveSource::Stored) database.liveUpdated = 1;
}

void PublishDownload(DownloadBuffer* buffer) {
    if (buffer == nullptr) return;
    ShortLockGuard hold(handOver);
    buffer->state = kBufferValid;
    database.currentDownload = buffer;
    database.downloadUpdated = 1;
    if (database.building[kBuildingDownload] == buffer)
        database.building[kBuildingDownload] = nullptr;
}

void PublishEvent(EventBuffer* buffer) {
    if (buffer == nullptr) return;
    ShortLockGuard hold(handOver);
    buffer->state = kBufferValid;
    database.currentEvent = buffer;
    database.eventUpdated = 1;
    if (database.building[kBuildingEvent] == buffer) database.building[kBuildingEvent] = nullptr;
}

uint32_t PendingEpgChanges() {
    ShortLockGuard hold(handOver);
    uint32_t changes = 0;
    if ((database.liveUpdated | database.eventUpdated) != 0) changes |= kEpgLiveChanged;
    if (database.downloadUpdated != 0) changes |= kEpgDownloadChanged;
    return changes;
}

const LiveBuffer* NewestLive() {
    ShortLockGuard hold(handOver);
    return database.pendingLive != nullptr ? database.pendingLive : database.currentLive;
}

bool EventHeldByHost(const EventBuffer* event) {
    for (int i = 0; i < 2 && database.live != nullptr && event != nullptr; ++i) {
        const LiveBuffer& live = database.live[i];
        if (live.state == kBufferHeld && live.epg.eventEpg == event) return true;
    }
    return false;
}

void CopyLiveInto(LiveBuffer* copy, const LiveBuffer& source) {
    if (copy == nullptr || copy == &source) return;
    std::memcpy(static_cast<void*>(copy), &source, sizeof *copy);
    // The copy's own records, not the original's; schedules are linked at the host's fetch.
    copy->state = kBufferFree;
    LiveEpg& epg = copy->epg;
    epg.programs = epg.program;
    epg.eventEpg = nullptr;
    for (int i = 0; i < kMaxPrograms; ++i) {
        epg.program[i].media = i < epg.programCount ? &epg.stream[i].media : nullptr;
        epg.program[i].icon = nullptr;
        epg.program[i].events = nullptr;
    }
    kr_LinkIcons(copy);
}

bool CurrentLiveVersion(uint32_t* version) {
    ShortLockGuard hold(handOver);
    if (database.currentLive == nullptr) return false;
    *version = database.currentLive->version;
    return true;
}

bool CurrentDownloadVersion(uint32_t* version) {
    ShortLockGuard hold(handOver);
    if (database.currentDownload == nullptr) return false;
    *version = database.currentDownload->epg.version;
    return true;
}

bool CurrentEventVersion(uint32_t* version) {
    ShortLockGuard hold(handOver);
    if (database.currentEvent == nullptr) return false;
    *version = database.currentEvent->version;
    return true;
}

LiveBuffer* kr_CopyCurrentLive() {
    LiveBuffer* copy = nullptr;
    if (kr_TakeLiveBuffer(&copy) != 0 || copy == nullptr) return nullptr;
    // Taking the buffer gave up a pending copy in it, if there was one: the rest is current.
    ShortLockGuard hold(handOver);
    const LiveBuffer* current = database.currentLive;
    if (current == nullptr) return nullptr;
    CopyLiveInto(copy, *current);
    return copy;
}

void SetEpgUpdateNotify(KrEpgUpdateNotifyFn notify) {
    notifier.store(notify);
}
KrEpgUpdateNotifyFn EpgUpdateNotify() {
    return notifier.load();
}
void SetSystemFrequency(uint32_t frequency) {
    systemFrequency.store(frequency);
}
uint32_t SystemFrequency() {
    return systemFrequency.load();
}

void ReleaseLiveBuffer(LiveBuffer* buffer) {
    if (buffer == nullptr) return;
    buffer->state = kBufferFree;
    buffer->epg.eventEpg = nullptr;
}

void ReleaseDownloadBuffer(DownloadBuffer* buffer) {
    if (buffer == nullptr) return;
    buffer->state = kBufferFree;
    buffer->epg.resourceCount = 0;
    buffer->epg.version = 0;
    buffer->epg.root = nullptr;
}

void ReleaseEventBuffer(EventBuffer* buffer) {
    if (buffer == nullptr) return;
    buffer->state = kBufferFree;
    buffer->eventCount = 0;
    buffer->version = 0;
}

int32_t kr_TakeLiveBuffer(LiveBuffer** out) {
    return TakeBuffer(database.live, database.currentLive, out, ReleaseLiveBuffer, ResetLiveBuffer,
                      kBuildingLive);
}

int32_t kr_TakeDownloadBuffer(DownloadBuffer** out) {
    return TakeBuffer(database.download, database.currentDownload, out, ReleaseDownloadBuffer,
                      ResetDownloadBuffer, kBuildingDownload);
}

int32_t kr_TakeEventBuffer(EventBuffer** out) {
    return TakeBuffer(database.event, database.currentEvent, out, ReleaseEventBuffer,
                      ResetEventBuffer, kBuildingEvent);
}

void kr_EpgReset() {
    ModuleLockGuard hold;
    ShortLockGuard handOverHold(handOver);
    for (const void*& b : database.building)
        b = nullptr;
    database.pendingLive = nullptr;
    database.liveUpdated = 0;
    database.downloadUpdated = 0;
    database.eventUpdated = 0;
    // A buffer the host holds is being read in place: it keeps its content and its held state,
    // and goes back to the pool at the host's release. Emptying it would let the next parse
    // rebuild it under the host's feet.
    for (int i = 0; i < 2; ++i) {
        if (database.live != nullptr && database.live[i].state != kBufferHeld)
            ResetLiveBuffer(database.live[i]);
        if (database.download != nullptr && database.download[i].state != kBufferHeld)
            ResetDownloadBuffer(database.download[i]);
    }
    for (int i = 0; i < 2 && database.event != nullptr; ++i) {
        EventBuffer& event = database.event[i];
        bool linkedByHeldLive = false;
        for (int j = 0; j < 2 && database.live != nullptr; ++j) {
            const LiveBuffer& live = database.live[j];
            if (live.state == kBufferHeld && live.epg.eventEpg == &event) linkedByHeldLive = true;
        }
        if (event.state != kBufferHeld || !linkedByHeldLive) ResetEventBuffer(event);
    }
    database.currentLive = nullptr;
    database.currentDownload = nullptr;
    database.currentEvent = nullptr;
}

int32_t kr_EpgInit() {
    ModuleLockGuard hold;
    kr_Print(0x52, "EPG init start");
    // A second start without a finish first gives back what the first one took.
    if (database.live != nullptr || database.download != nullptr || database.event != nullptr) {
        FreePools();
    }
    database.live = AllocPool<LiveBuffer>();
    database.download = AllocPool<DownloadBuffer>();
    database.event = AllocPool<EventBuffer>();
    if (database.live == nullptr || database.download == nullptr || database.event == nullptr) {
        kr_Print(0x52, "malloc memory failed!");
        FreePools();
        database.currentLive = nullptr;
        database.currentDownload = nullptr;
        database.currentEvent = nullptr;
        return KR_NO_MEMORY;
    }
    kr_EpgReset();
    SetSystemFrequency(kDefaultSystemFrequency);
    // The live EPG kept in the persistent store is current until the broadcast sends one.
    LiveBuffer* stored = nullptr;
    if (kr_TakeLiveBuffer(&stored) == 0 && kr_LoadStoredEpg(stored) == 0) {
        PublishLive(stored, LiveSource::Stored);
    }
    kr_Print(0x52, "EPG init end");
    return KR_OK;
}

int32_t kr_EpgFinish() {
    ModuleLockGuard hold;
    kr_Print(0x52, "EPG Finish start");
    {
        ShortLockGuard handOverHold(handOver);
        database.currentLive = nullptr;
        database.pendingLive = nullptr;
        database.currentDownload = nullptr;
        database.currentEvent = nullptr;
        database.liveUpdated = 0;
        database.downloadUpdated = 0;
        database.eventUpdated = 0;
        for (int i = 0; i < 2; ++i) {
            if (database.live != nullptr) ReleaseLiveBuffer(&database.live[i]);
            if (database.download != nullptr) ReleaseDownloadBuffer(&database.download[i]);
            if (database.event != nullptr) ReleaseEventBuffer(&database.event[i]);
        }
        FreePools();
        for (const void*& b : database.building)
            b = nullptr;
    }
    kr_Print(0x52, "EPG Finish end");
    return KR_OK;
}

void kr_LinkIcons(LiveBuffer* live) {
    if (live == nullptr) return;
    LiveEpg& epg = live->epg;
    const int icons = epg.iconCount < kMaxIcons ? epg.iconCount : kMaxIcons;
    const int programs = epg.programCount < kMaxPrograms ? epg.programCount : kMaxPrograms;
    for (int k = 0; k < icons; ++k) {
        for (int i = 0; i < programs; ++i) {
            if (epg.program[i].programId == epg.icons[k].iconId) {
                epg.program[i].icon = &epg.icons[k].image;
                break;
            }
        }
    }
}

void kr_LinkEvents(LiveBuffer* live, EventBuffer* event) {
    if (live == nullptr) return;
    LiveEpg& epg = live->epg;
    const int programs = epg.programCount < kMaxPrograms ? epg.programCount : kMaxPrograms;
    const uint32_t events =
        event == nullptr ? 0 : (event->eventCount < kMaxEvents ? event->eventCount : kMaxEvents);
    for (int i = 0; i < programs; ++i) {
        // A program without a schedule in this event EPG gets no link: a link into the event
        // EPG linked before would point into a buffer that is about to be reused.
        epg.program[i].events = nullptr;
        for (uint32_t k = 0; k < events; ++k) {
            if (event->events[k].programId == epg.program[i].programId) {
                epg.program[i].events = event->events[k].day;
                break;
            }
        }
    }
}

int32_t kr_FindStream(uint32_t programId, StreamInfo** out) {
    ShortLockGuard hold(handOver);
    if (out != nullptr) *out = nullptr;
    const LiveBuffer* live = database.currentLive;
    if (live == nullptr || live->epg.programCount <= 0) return -1;
    const int programs =
        live->epg.programCount < kMaxPrograms ? live->epg.programCount : kMaxPrograms;
    for (int i = 0; i < programs; ++i) {
        if (live->epg.stream[i].programId == programId) {
            if (out != nullptr) *out = &database.currentLive->epg.stream[i];
            return 1;
        }
    }
    return -1;
}

int32_t kr_FindResource(uint32_t resourceId, ResourceInfo** out) {
    ShortLockGuard hold(handOver);
    if (out != nullptr) *out = nullptr;
    DownloadBuffer* download = database.currentDownload;
    // The resource count bounds the search, so id 0 is an id like any other.
    if (download == nullptr) return -1;
    const uint32_t count =
        download->epg.resourceCount < kMaxResources ? download->epg.resourceCount : kMaxResources;
    for (uint32_t i = 0; i < count; ++i) {
        if (download->epg.resource[i].programId == resourceId) {
            if (out != nullptr) *out = &download->epg.resource[i];
            return 1;
        }
    }
    return -1;
}

void kr_NotifyEpgUpdate(uint32_t what) {
    NotifyEpgChanges(what, PendingEpgChanges());
}

void NotifyEpgChanges(uint32_t what, uint32_t changes) {
    const KrEpgUpdateNotifyFn notify = notifier.load();
    if (notify == nullptr) return;
    if (what != 0xFFFFFFFFu) notify(what);
    if ((changes & kEpgLiveChanged) != 0) notify(KR_EPG_LIVE_CHANGED);
    if ((changes & kEpgDownloadChanged) != 0) notify(KR_EPG_DOWNLOAD_CHANGED);
}

}  // namespace kr
