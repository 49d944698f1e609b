// Counts of what the module took and of everything it dropped, by cause, for the host to read
// through krx_GetCounters. A count is one relaxed atomic add: no lock, no allocation, so the
// section path can count every section.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kr {

// Each counter and its field of KrxCounters, in the record's order.
#define KR_COUNTERS(X)                                  \
    X(SectionsTaken, sectionsTaken)                     \
    X(SectionsNotRunning, sectionsNotRunning)           \
    X(SectionsTimedOut, sectionsTimedOut)               \
    X(SectionsBadLength, sectionsBadLength)             \
    X(SectionsNoRequest, sectionsNoRequest)             \
    X(SectionsNoNode, sectionsNoNode)                   \
    X(SectionsUnmatched, sectionsUnmatched)             \
    X(SectionsLengthMismatch, sectionsLengthMismatch)   \
    X(SectionsStopped, sectionsStopped)                 \
    X(DatagramsShort, datagramsShort)                   \
    X(DatagramsIpChecksum, datagramsIpChecksum)         \
    X(DatagramsIpLength, datagramsIpLength)             \
    X(DatagramsUdpChecksum, datagramsUdpChecksum)       \
    X(SysinfoInvalid, sysinfoInvalid)                   \
    X(BlocksNotMulticast, blocksNotMulticast)           \
    X(EpgBlocksInvalid, epgBlocksInvalid)               \
    X(EpgBlocksRepeated, epgBlocksRepeated)             \
    X(EpgContainersRefused, epgContainersRefused)       \
    X(ResourceBlocksInvalid, resourceBlocksInvalid)     \
    X(StreamPacketsShort, streamPacketsShort)           \
    X(RtpRefused, rtpRefused)                           \
    X(FramesDelivered, framesDelivered)                 \
    X(FramesLostPacket, framesLostPacket)               \
    X(FramesUnfinished, framesUnfinished)               \
    X(FramesTooLarge, framesTooLarge)                   \
    X(FramesNotWhole, framesNotWhole)                   \
    X(PacketsOfDroppedFrames, packetsOfDroppedFrames)   \
    X(CaSectionsCrc, caSectionsCrc)                     \
    X(EcmsCrc, ecmsCrc)                                 \
    X(EcmsNoCard, ecmsNoCard)                           \
    X(EcmsBadLength, ecmsBadLength)                     \
    X(EcmsUnknownService, ecmsUnknownService)           \
    X(EcmsRepeated, ecmsRepeated)                       \
    X(EcmsWorkTime, ecmsWorkTime)                       \
    X(EcmsRating, ecmsRating)                           \
    X(EcmsRefused, ecmsRefused)                         \
    X(EcmsCardFailed, ecmsCardFailed)                   \
    X(ControlWordsSet, controlWordsSet)                 \
    X(EmmsNoCard, emmsNoCard)                           \
    X(EmmsBadLength, emmsBadLength)                     \
    X(EmmsOtherCard, emmsOtherCard)                     \
    X(EmmsRepeated, emmsRepeated)                       \
    X(EmmsRecordCut, emmsRecordCut)                     \
    X(EmmsCardFailed, emmsCardFailed)                   \
    X(ServiceMapsBadLength, serviceMapsBadLength)       \
    X(ServiceMapsRepeated, serviceMapsRepeated)         \
    X(ServiceMapsEntryCut, serviceMapsEntryCut)         \
    X(BroadcastDataBadLength, broadcastDataBadLength)   \
    X(BroadcastDataRepeated, broadcastDataRepeated)     \
    X(BroadcastDataDescriptorCut, broadcastDataDescriptorCut)

enum class Count : uint8_t {
#define KR_COUNT_ENUM(name, field) name,
    KR_COUNTERS(KR_COUNT_ENUM)
#undef KR_COUNT_ENUM
    Total
};

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "counters are bumped on the section path and must never take a lock");

using CounterArray = std::array<std::atomic<uint64_t>, static_cast<std::size_t>(Count::Total)>;
extern CounterArray counterValues;

inline void Tally(Count which, uint64_t n = 1) {
    counterValues[static_cast<std::size_t>(which)].fetch_add(n, std::memory_order_relaxed);
}

inline uint64_t CounterValue(Count which) {
    return counterValues[static_cast<std::size_t>(which)].load(std::memory_order_relaxed);
}

// Called by start-up: every count starts again from 0.
void ResetCounters();

}  // namespace kr
