// The host's EPG calls: fetch and release of the live and download EPG, the update notifier,
// the system frequency and the service links.
//
// The calls take only the EPG hand-over lock, for the few state bytes and links they touch, so
// that a fetch never races the parse that publishes a new buffer or takes a superseded one, and
// never waits for a parse or a store write.
#include <krmodule/krmodule.h>

#include <cstring>

#include "core/log.h"
#include "core/module_state.h"
#include "core/platform.h"
#include "epg/epg_database.h"

namespace kr {
namespace {

LiveBuffer* OtherLive(const LiveBuffer* buffer) {
    EpgDatabase& db = Epg();
    if (db.live == nullptr) return nullptr;
    return buffer == &db.live[0] ? &db.live[1] : &db.live[0];
}

bool Building(const void* buffer) {
    for (const void* b : Epg().building) {
        if (b != nullptr && b == buffer) return true;
    }
    return false;
}

// An event buffer that no held live buffer links any more is the host's no longer: the current
// one stays valid, any other goes back to the pool.
void SettleEvent(EventEpg* event) {
    if (event == nullptr || Building(event) || EventHeldByHost(event)) return;
    if (event == Epg().currentEvent) {
        event->state = kBufferValid;
    } else {
        ReleaseEventBuffer(event);
    }
}

// The current live EPG is held and the schedules changed: the host may still be reading the
// schedules it reached through it, so they are linked into a copy in the other live buffer,
// which becomes current. Null when that buffer is held as well or a parse fills it (the new
// schedules then come with a later fetch). The copy is a plain copy of some 70 KB.
LiveBuffer* CopyForNewSchedules(LiveBuffer* held) {
    LiveBuffer* other = OtherLive(held);
    if (other == nullptr || other->state == kBufferHeld || Building(other)) return nullptr;
    EventEpg* dropped = other->epg.eventEpg;
    CopyLiveInto(other, *held);
    SettleEvent(dropped);
    other->state = kBufferValid;
    Epg().currentLive = other;
    return other;
}

}  // namespace
}  // namespace kr

using namespace kr;

int32_t kr_T2K_RegisterEpgUpdateNotify(KrEpgUpdateNotifyFn notify) {
    if (notify == nullptr) return KR_NULL_ARG;
    SetEpgUpdateNotify(notify);
    return KR_OK;
}

int32_t kr_T2K_GetLiveEpg(LiveEpg** epg) {
    if (!IsInitialised()) {
        kr_Print(0x12, "kr_T2K_GetLiveEpg::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    if (epg == nullptr) return KR_NULL_ARG;
    *epg = nullptr;
    ShortLockGuard hold(EpgHandOverLock());
    EpgDatabase& db = Epg();
    // New icons made while the host held the current live EPG become current now.
    if (db.pendingLive != nullptr) {
        db.currentLive = db.pendingLive;
        db.pendingLive = nullptr;
    }
    LiveBuffer* live = db.currentLive;
    if (live == nullptr || live->state == kBufferFree) return KR_NOTHING;
    if (db.liveUpdated != 0 || db.eventUpdated != 0) {
        // A live buffer the host holds is never re-linked: what it was given stays as it was
        // until it gives the buffer back.
        LiveBuffer* target = live;
        if (live->state == kBufferHeld && live->epg.eventEpg != db.currentEvent)
            target = CopyForNewSchedules(live);
        if (target != nullptr) {
            live = target;
            if (live->state != kBufferHeld) {
                EventEpg* previous = live->epg.eventEpg;
                kr_LinkEvents(live, db.currentEvent);
                live->epg.eventEpg = db.currentEvent;
                SettleEvent(previous);
            }
            db.liveUpdated = 0;
            db.eventUpdated = 0;
        }
    }
    live->state = kBufferHeld;
    if (live->epg.eventEpg != nullptr) live->epg.eventEpg->state = kBufferHeld;
    *epg = &live->epg;
    return KR_OK;
}

int32_t kr_T2K_ReleaseLiveEpg(LiveEpg* epg) {
    if (!IsInitialised()) {
        kr_Print(0x12, "kr_T2K_ReleaseLiveEpg::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    if (epg == nullptr) return KR_NULL_ARG;
    {
        ShortLockGuard hold(EpgHandOverLock());
        EpgDatabase& db = Epg();
        if (db.currentLive != nullptr && epg == &db.currentLive->epg) return KR_NOTHING;
        LiveBuffer* found = nullptr;
        for (int i = 0; i < 2 && db.live != nullptr; ++i) {
            if (epg == &db.live[i].epg) found = &db.live[i];
        }
        // With no current live EPG (a cleared EPG) only a buffer the host still holds is given
        // back.
        if (db.currentLive == nullptr && (found == nullptr || found->state != kBufferHeld))
            return KR_NOTHING;
        // A buffer a parse is filling is no longer the host's (a release given twice), and a
        // pending one was never handed out.
        if (found != nullptr && (Building(found) || found == db.pendingLive)) return KR_NOTHING;
        if (found != nullptr) {
            EventEpg* linked = found->epg.eventEpg;
            ReleaseLiveBuffer(found);
            SettleEvent(linked);
            return KR_OK;
        }
    }
    kr_Print(0x52, "** Can't find the live EPG to be released.\r\n");
    return KR_NOTHING;
}

int32_t kr_T2K_GetDownloadEpg(DownloadEpg** epg) {
    if (!IsInitialised()) {
        kr_Print(0x12, "kr_T2K_GetDownloadEpg::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    if (epg == nullptr) return KR_NULL_ARG;
    *epg = nullptr;
    ShortLockGuard hold(EpgHandOverLock());
    EpgDatabase& db = Epg();
    DownloadBuffer* download = db.currentDownload;
    if (download == nullptr || download->state == kBufferFree) return KR_NOTHING;
    db.downloadUpdated = 0;
    download->state = kBufferHeld;
    *epg = &download->epg;
    return KR_OK;
}

int32_t kr_T2K_ReleaseDownloadEpg(DownloadEpg* epg) {
    if (!IsInitialised()) {
        kr_Print(0x12, "kr_T2K_ReleaseDownloadEpg::The KRDB module hasn't been initialized!");
        return KR_NOTHING;
    }
    if (epg == nullptr) return KR_NULL_ARG;
    {
        ShortLockGuard hold(EpgHandOverLock());
        EpgDatabase& db = Epg();
        if (db.currentDownload != nullptr && epg == &db.currentDownload->epg) return KR_NOTHING;
        for (int i = 0; i < 2 && db.download != nullptr; ++i) {
            if (epg == &db.download[i].epg) {
                // With no current download EPG (a cleared EPG) only a held buffer is given back.
                if (db.currentDownload == nullptr && db.download[i].state != kBufferHeld)
                    return KR_NOTHING;
                if (Building(&db.download[i])) return KR_NOTHING;
                ReleaseDownloadBuffer(&db.download[i]);
                return KR_OK;
            }
        }
        // Like its live twin: with no current download EPG there is nothing to release.
        if (db.currentDownload == nullptr) return KR_NOTHING;
    }
    kr_Print(0x52, "Can't find the download EPG to be released.");
    return KR_NOTHING;
}

int32_t kr_T2K_SetSystemFreq(uint32_t frequency) {
    SetSystemFrequency(frequency);
    kr_Print(0x12, "Set system frequency: %d.", static_cast<int>(frequency));
    return KR_OK;
}

int32_t kr_T2K_GetServiceInfoLink(uint8_t* count, ServiceLink* links) {
    if (count == nullptr) return KR_NULL_ARG;
    ShortLockGuard hold(EpgHandOverLock());
    const EpgDatabase& db = Epg();
    const uint8_t capacity = *count;
    *count = db.linkCount;
    if (links == nullptr) return KR_OK;
    if (capacity < db.linkCount) return KR_NO_NODE;
    std::memcpy(links, db.serviceLinks, sizeof(ServiceLink) * db.linkCount);
    return KR_OK;
}
