/**
 * @file krmodule/krmodule_ext.h
 * @brief krmodule - extensions to the terminal interface.
 *
 * Calls a terminal may use beside those of <krmodule/krmodule.h>, which stays exactly the
 * module's defined interface. They form a family of their own, krx_*, so that a terminal written
 * against the defined interface alone never meets them.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KRMODULE_KRMODULE_EXT_H
#define KRMODULE_KRMODULE_EXT_H

#include <krmodule/krmodule.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Waits until the module has caught up with what it was given: every section that
 * kr_T2K_SendRetrieved accepted before the call has been handled in full, with everything it
 * led to (host calls made, filters and shared-filter destinations set or stopped, an EPG parsed,
 * published and stored, card exchanges and SetDescrambler calls made, ECM filters asked for),
 * and no worker holds such work. Sections that other threads hand over during the wait are
 * waited for as well. Holds no module lock while it waits; the section path pays nothing for it.
 *
 * A terminal that reads a recording uses it to go no faster than the module: a tuner gives the
 * module milliseconds between sections, a file read at full speed does not.
 *
 * Calls no host slot. A terminal reading a file calls it after each section it hands over,
 * before it filters the packets that follow.
 *
 * @param limitMs the longest wait in milliseconds.
 * @return 0 when caught up, 1 when the limit passed first, -1 when called on a module thread (a
 *         content function or any slot the module calls) or while the module does not run.
 */
KR_API int32_t krx_WaitCaughtUp(uint32_t limitMs);

/*
 * What the module took and what it dropped, by cause. Each field counts since the last
 * kr_T2K_Init (start-up sets them all to 0); after kr_T2K_Finish they keep the last run's
 * values. The layout is the same on every build (two uint32_t, then uint64_t fields only). New
 * fields are only ever added at the end, with a higher version.
 */
/** The version of ::KrxCounters this header declares; krx_GetCounters() answers the library's. */
#define KRX_COUNTERS_VERSION 1

/**
 * What the module took and what it dropped, by cause, filled by krx_GetCounters(). Each field
 * counts since the last kr_T2K_Init() (start-up sets them all to 0); after kr_T2K_Finish() they
 * keep the last run's values. The layout is the same on every build (two uint32_t, then uint64_t
 * fields only: size at offset 0, version at 4, each counter 8 bytes from offset 8 on in the
 * order declared). New fields are only ever added at the end, with a higher version.
 */
typedef struct KrxCounters {
    uint32_t size;    /**< set by the caller: sizeof(KrxCounters) as it was compiled */
    uint32_t version; /**< set by the module: KRX_COUNTERS_VERSION of the library */

    /* kr_T2K_SendRetrieved */
    uint64_t sectionsTaken;          /**< queued for a worker */
    uint64_t sectionsNotRunning;     /**< refused: the module did not run */
    uint64_t sectionsTimedOut;       /**< refused: the host reported a time-out */
    uint64_t sectionsBadLength;      /**< refused: null, or a length no section can have */
    uint64_t sectionsNoRequest;      /**< refused: no running request has that id */
    uint64_t sectionsNoNode;         /**< refused: no free section buffer */
    uint64_t sectionsUnmatched;      /**< a shared filter's section no destination takes */
    uint64_t sectionsLengthMismatch; /**< taken, but its length differs from its header's */
    uint64_t sectionsStopped;        /**< taken, then dropped: its request stopped first */

    /* IPv4/UDP datagrams carried in sections (system information and streams) */
    uint64_t datagramsShort;       /**< too short for the IP and UDP headers */
    uint64_t datagramsIpChecksum;  /**< IP header checksum wrong */
    uint64_t datagramsIpLength;    /**< IP total length beyond the section or below the headers */
    uint64_t datagramsUdpChecksum; /**< UDP length or checksum wrong */

    /* system information, EPG download, resource download */
    uint64_t sysinfoInvalid;       /**< no system-information header, or cut before its fields */
    uint64_t blocksNotMulticast;   /**< EPG or resource blocks marked as not multicast data */
    uint64_t epgBlocksInvalid;     /**< block header or data cut, number or size out of range */
    uint64_t epgBlocksRepeated;    /**< a block the download already held */
    uint64_t epgContainersRefused; /**< a downloaded EPG whose directory could not be read */
    uint64_t resourceBlocksInvalid; /**< resource block header or data cut */

    /* programs */
    uint64_t streamPacketsShort;     /**< raw delivery: shorter than its delivery mode's part */
    uint64_t rtpRefused;             /**< not RTP version 2, padding, extension, RTCP, or cut */
    uint64_t framesDelivered;        /**< whole video and audio frames given to the host */
    uint64_t framesLostPacket;       /**< a frame dropped: a packet inside it was lost */
    uint64_t framesUnfinished;       /**< a frame dropped: the next began before its last packet */
    uint64_t framesTooLarge;         /**< a frame dropped: larger than its frame buffer */
    uint64_t framesNotWhole;         /**< a video frame dropped: it does not begin a picture */
    uint64_t packetsOfDroppedFrames; /**< packets of a frame whose start was lost or dropped */

    /* conditional access */
    uint64_t caSectionsCrc;      /**< service map, EMM or broadcast data with a wrong CRC */
    uint64_t ecmsCrc;            /**< ECM with a wrong CRC */
    uint64_t ecmsNoCard;         /**< ECM while no usable card was in the slot */
    uint64_t ecmsBadLength;      /**< ECM too short for its fields and blocks */
    uint64_t ecmsUnknownService; /**< ECM of a service the map lacks or nobody started */
    uint64_t ecmsRepeated;       /**< ECM of the version whose words are set */
    uint64_t ecmsWorkTime;       /**< ECM outside the card's viewing hours */
    uint64_t ecmsRating;         /**< ECM of a service above the card's rating */
    uint64_t ecmsRefused;        /**< ECM the card refused, or of a type it does not know */
    uint64_t ecmsCardFailed;     /**< ECM whose card exchange failed */
    uint64_t controlWordsSet;    /**< control words given to SetDescrambler */
    uint64_t emmsNoCard;         /**< EMM while no usable card was in the slot */
    uint64_t emmsBadLength;      /**< EMM too short for its header or its body */
    uint64_t emmsOtherCard;      /**< EMM addressed to another card */
    uint64_t emmsRepeated;       /**< EMM already carried out */
    uint64_t emmsRecordCut;      /**< EMM whose message area or a record in it is cut */
    uint64_t emmsCardFailed;     /**< EMM whose card exchange failed (taken again when repeated) */
    uint64_t serviceMapsBadLength;       /**< service map too short for its header */
    uint64_t serviceMapsRepeated;        /**< service map already applied */
    uint64_t serviceMapsEntryCut;        /**< service map with a cut entry (the rest ignored) */
    uint64_t broadcastDataBadLength;     /**< broadcast data too short or with no area */
    uint64_t broadcastDataRepeated;      /**< broadcast data already handled */
    uint64_t broadcastDataDescriptorCut; /**< broadcast data with a cut descriptor */
} KrxCounters;

/**
 * Copies the counters into *counters. Set counters->size to sizeof(KrxCounters) first: the
 * module fills the fields that both it and the caller know, sets size to the bytes it filled
 * and version to its KRX_COUNTERS_VERSION, and zeroes the fields of a newer caller's record it
 * does not know. May be called from any thread at any time, also from a slot or while the
 * module does not run; it takes no lock. Each field is exact, but fields are read one by one,
 * not as one instant's picture. Calls no host slot.
 *
 * @param counters the record to fill; its size field set by the caller.
 * @return 0; ::KR_NULL_ARG for a null record; ::KR_FAILED when size is below 8 (nothing
 *         written).
 */
KR_API int32_t krx_GetCounters(KrxCounters* counters);

#ifdef __cplusplus
}
#endif

#endif /* KRMODULE_KRMODULE_EXT_H */
