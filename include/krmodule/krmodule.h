/**
 * @file krmodule/krmodule.h
 * @brief krmodule - receiver-side middleware for an IP-datacast service: the terminal interface.
 *
 * The exported C interface. Two call families cross this boundary:
 *   - `kr_T2K_*`     terminal to module (start-up, section intake, EPG, playback, diagnostics)
 *   - `krca_T2CA_*`  terminal to conditional access
 *
 * and the module calls the terminal back through the 18 slots of ::HostCallbacks.
 *
 * Records use the host's native byte order. Records without pointers have the same layout
 * on every build. Records with pointer fields have the documented offsets on a terminal with
 * 32-bit pointers (ILP32); on a 64-bit build the same declarations give the natural layout
 * with 8-byte pointers. Integer fields never change width.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KRMODULE_KRMODULE_H
#define KRMODULE_KRMODULE_H

#include <stddef.h>
#include <stdint.h>

/**
 * @def KR_API
 * @brief Marks the exported functions: default visibility on ELF platforms; on Windows
 * `__declspec(dllimport)`, or nothing when `KRMODULE_STATIC` is defined (the static library).
 */
#if defined(_WIN32)
#if defined(KRMODULE_BUILDING)
#define KR_API __declspec(dllexport)
#elif defined(KRMODULE_STATIC)
#define KR_API
#else
#define KR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KR_API __attribute__((visibility("default")))
#else
#define KR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Result codes. Every export returns a signed 32-bit result. These values are never
 * renumbered.
 * ---------------------------------------------------------------------------------------- */
/** @name Result codes
 * Every export returns a signed 32-bit result; these values are never renumbered. Each call
 * lists the ones it gives.
 * @{ */
#define KR_OK 0            /**< Success. */
#define KR_NOTHING 1       /**< Not initialised, time-out, or nothing to do. */
#define KR_FAILED (-1)     /**< General failure. */
#define KR_NULL_ARG (-2)   /**< Null or missing argument. */
#define KR_NO_NODE (-4)    /**< No free section node, or a host array too small. */
#define KR_OS_OBJECT (-5)  /**< An operating-system object could not be created. */
#define KR_NO_MEMORY (-6)  /**< Memory missing at start. */
#define KR_TABLE_FULL (-7) /**< Request table full. */
#define KR_OUT_OF_RANGE (-5) /**< Card calls: a new rating or time out of range. */
/** @} */

/* Yes/no answers and the conditional-access codes. */
/** @name Yes/no answers and the conditional-access codes
 * @{ */
#define KR_YES 0xE1            /**< 225: yes. */
#define KR_NO 0xE2             /**< 226: no. */
#define KR_NOT_THIS_CARD 0xE5  /**< The message is for another card. */
#define KR_NO_UPDATE 0xE6      /**< Already processed; not an error. */
#define KR_CARD_NOT_READY 0x33 /**< No usable card. */
#define KR_PIN_BLOCKED 0x31    /**< The PIN is blocked. */
#define KR_PIN_WRONG 0x40      /**< Wrong PIN: KR_PIN_WRONG + attempts left. */
/** Attempts left in a ::KR_PIN_WRONG result. @param result a PIN call's result. */
#define KR_PIN_TRIES(result) ((result) & 0x0F)
/** @} */

/* ------------------------------------------------------------------------------------------
 * Records handed to the host by value (no pointers: one layout on every build).
 * ---------------------------------------------------------------------------------------- */

/** Parameters of one host section filter (40 bytes, no pointers: one layout on every build).
 * Bytes 0..15 of every section that the filter passes satisfy
 * `(section[i] & mask[i]) == (match[i] & mask[i])`. Handed to HostCallbacks::SetSectionFilter. */
typedef struct SectionFilterParams {
    uint16_t pid;       /**< Offset 0: the transport-stream PID. */
    uint8_t match[16];  /**< Offset 2: expected values of section bytes 0..15. */
    uint8_t mask[16];   /**< Offset 18: bits of section bytes 0..15 that must equal match. */
    uint8_t reserved1;  /**< Offset 34: always 0. */
    uint8_t pad;        /**< Offset 35: padding. */
    uint32_t reserved2; /**< Offset 36: always 0. */
} SectionFilterParams;

/** The name of a service to descramble (16 bytes, no pointers: one layout on every build).
 * Given to krca_T2CA_StartServices() and krca_T2CA_StopServices(); comes back in every
 * ::DescramblerRecord of the service. */
typedef struct ServiceRequest {
    uint32_t type;      /**< Offset 0: 0 = by ECM PID, 1 = by address and port. */
    uint16_t pid;       /**< Offset 4: the ECM PID (type 0) or the stream's PID (type 1). */
    uint16_t reserved1; /**< Offset 6: copied with the record. */
    uint32_t ipAddress; /**< Offset 8: the stream's IPv4 address (type 1). */
    uint16_t udpPort;   /**< Offset 12: the stream's UDP port (type 1). */
    uint16_t reserved2; /**< Offset 14: copied with the record. */
} ServiceRequest;

/** Control words for one started service (56 bytes, no pointers: one layout on every build),
 * handed to HostCallbacks::SetDescrambler. All-zero control words clear the service at the
 * descrambler. */
typedef struct DescramblerRecord {
    uint32_t reserved1;       /**< Offset 0: 0. */
    ServiceRequest request;   /**< Offset 4: the service as the host started it. */
    uint8_t cwMode;           /**< Offset 20: 0 = both control words are given. */
    uint8_t controlWordA[16]; /**< Offset 21: the odd control word. */
    uint8_t controlWordB[16]; /**< Offset 37: the even control word. */
    uint8_t reserved2[3];     /**< Offset 53: 0. */
} DescramblerRecord;

/* ------------------------------------------------------------------------------------------
 * Host callbacks. The module tests every slot for null before each call and skips a null
 * slot. Results marked "ignored" are not looked at; return 0. Slots may be called from the
 * module's worker threads as well as from the thread that called into the module.
 * ---------------------------------------------------------------------------------------- */
/** Slot 1: the EPG changed (see HostCallbacks::EpgUpdateNotify).
 * @param what ::KR_EPG_LIVE_CHANGED or ::KR_EPG_DOWNLOAD_CHANGED.
 * @return Ignored; return 0. */
typedef int32_t (*KrEpgUpdateNotifyFn)(uint32_t what); /* result ignored */
/** Slot 2: start a section filter (see HostCallbacks::SetSectionFilter).
 * @param requestId the id to hand back with every section the filter catches
 *        (kr_T2K_SendRetrieved() takes it as `(int32_t)requestId`).
 * @param params the PID and the match and mask of section bytes 0..15.
 * @return 0 when the filter runs; anything else = not set. */
typedef int32_t (*KrSetSectionFilterFn)(uint32_t requestId,
                                        SectionFilterParams params); /* 0 = filter running */
/** Slot 3: stop the section filter started under requestId (see
 * HostCallbacks::StopSectionFilter).
 * @param requestId the id SetSectionFilter was given.
 * @return Ignored; return 0. */
typedef int32_t (*KrStopSectionFilterFn)(uint32_t requestId);        /* result ignored */
/** Slots 4, 13 and 16: stored, never called.
 * @return Ignored. */
typedef int32_t (*KrReservedFn)(void);                               /* stored, never called */
/** Slot 5: the frequency the terminal is tuned to (see HostCallbacks::GetCurrentFrequency).
 * @param frequency receives the frequency in kHz, the unit of the EPG records.
 * @return Ignored; return 0. */
typedef int32_t (*KrGetCurrentFrequencyFn)(uint32_t* frequency);     /* kHz; result ignored */
/** Slot 6: new control words for a started service (see HostCallbacks::SetDescrambler).
 * @param record the service as it was started and its two control words; both all zero:
 *        stop descrambling the service until new words come.
 * @param always1 always 1.
 * @return Ignored; return 0. */
typedef int32_t (*KrSetDescramblerFn)(DescramblerRecord record,
                                      uint32_t always1); /* result ignored */
/** Slot 7: show a message (see HostCallbacks::ShowMessage).
 * @param messageId a numbered message (0 rating above the card's, 1 outside the viewing hours,
 *        4 no card, 8 control words refused, 9 card unusable), or 0xFF for a text.
 * @param text the text to show with messageId 0xFF (NUL-terminated); NULL for a numbered one.
 * @param always0 always 0.
 * @param hideLater 1 for a numbered message that HostCallbacks::HideMessage takes down once its
 *        reason has passed; 0 for a text.
 * @return Ignored; return 0. */
typedef int32_t (*KrShowMessageFn)(uint32_t messageId, const char* text, uint32_t always0,
                                   uint32_t hideLater); /* result ignored */
/** Slot 8: take down the numbered message shown last (see HostCallbacks::HideMessage).
 * @return Ignored; return 0. */
typedef int32_t (*KrHideMessageFn)(void);               /* result ignored */
/** Slot 9: the card's mail store changed (see HostCallbacks::MailNotify).
 * @param state 0 = an unread mail is there or a new one arrived; 1 = the mail store is full.
 * @return Ignored; return 0. */
typedef int32_t (*KrMailNotifyFn)(uint32_t state);      /* result ignored */
/* The store. GetStoreBuffer answers the address of writable memory of at least 0x20000 bytes, as
 * the pointer-sized handle, and its size; the module formats and updates that memory in place
 * and hands it back whole to WriteStore after every update (the length word is always 0x20000,
 * the whole image). A store smaller than 0x20000 bytes disables storing. */
/** Slot 10: the persistent store's memory (see HostCallbacks::GetStoreBuffer). The module formats
 * and updates that memory in place and hands it back whole to WriteStore after every update.
 * @param size receives the size of the memory; below 0x20000 bytes disables storing.
 * @param storeHandle receives the address of writable memory of at least 0x20000 bytes, as the
 *        pointer-sized handle.
 * @return 0 = ok; anything else disables storing. */
typedef int32_t (*KrGetStoreBufferFn)(uint32_t* size, uintptr_t* storeHandle); /* 0 = ok */
/** Slot 11: read the store (see HostCallbacks::ReadStore).
 * @param storeHandle the handle GetStoreBuffer answered.
 * @param length the number of bytes to read.
 * @param destination where the bytes go.
 * @return Ignored; return 0. */
typedef int32_t (*KrReadStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                 uint8_t* destination); /* result ignored */
/** Slot 12: keep the store image persistently (see HostCallbacks::WriteStore).
 * @param storeHandle the handle GetStoreBuffer answered.
 * @param length always 0x20000: the whole image.
 * @param source the image.
 * @return Ignored; return 0. */
typedef int32_t (*KrWriteStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                  const uint8_t* source); /* result ignored */
/** Slot 14: one line of diagnostics, already laid out (see HostCallbacks::DebugPrint).
 * @param text the line, NUL-terminated.
 * @return Ignored; return 0. */
typedef int32_t (*KrDebugPrintFn)(const char* text);      /* result ignored */
/** Slot 15: the operator redirects the viewer to another service (see
 * HostCallbacks::RedirectService).
 * @param first the first of the three numbers naming the service, as broadcast.
 * @param second the second.
 * @param third the third.
 * @return Ignored; return 0. */
typedef int32_t (*KrRedirectServiceFn)(uint16_t first, uint16_t second,
                                       uint16_t third); /* result ignored */
/** Slot 17: one command to the card and its answer (see HostCallbacks::SmartcardApdu).
 * @param length in: bytes of command; out: bytes of response, the status word included.
 * @param command the command.
 * @param response receives the card's answer as the card gives it.
 * @return 0 = exchange done; anything else = the exchange failed. */
typedef int32_t (*KrSmartcardApduFn)(uint32_t* length, const uint8_t* command,
                                     uint8_t* response); /* 0 = exchange done */
/** Slot 18: reset the card (see HostCallbacks::SmartcardReset).
 * @param answerToReset receives the card's answer to reset.
 * @param length receives the bytes of answerToReset.
 * @return 0 = card reset; 0x33 (::KR_CARD_NOT_READY) = a card is there but unusable; anything
 *         else = no card or the reset failed (passed through to the card calls). */
typedef int32_t (*KrSmartcardResetFn)(uint8_t* answerToReset,
                                      uint32_t* length); /* 0 = card reset */

/** The content function named in kr_T2K_StartProgram() or kr_T2K_StartDownload(). It runs on the
 * module's stream worker, with no library lock held. It must not wait for a thread of the host
 * that is inside a stop of its own program or download (that stop waits for it); it may stop it
 * itself.
 * @param record a ::StreamDelivery (program) or a ::ResourceBlock (download); the record and
 *        every pointer in it are valid only during the call.
 * @return Ignored; return 0. */
typedef int32_t (*KrDataProcessFn)(const void* record);

/** The 18 host functions, in slot order 1..18. Any slot may be null: the module tests each
 * before every call and skips a null one. Slots are called from the module's four workers
 * (system information, stream, conditional access, control messages) and from the thread that
 * called into the module, so every slot must accept calls from several threads. A host function
 * may block; a worker that waits in it delays only its own work. No slot may call
 * kr_T2K_Init() or kr_T2K_Finish().
 *
 * On a 32-bit terminal slot n is at offset 4 * (n - 1). */
typedef struct HostCallbacks {
    /** Slot 1 (offset 0). Called from the system-information worker, with no library lock
     * held. It may fetch and release the EPG here, or wait for a thread of the host that calls
     * the library. */
    KrEpgUpdateNotifyFn EpgUpdateNotify;
    /** Slot 2 (offset 4). Called from the workers and from the host's start and stop calls,
     * under the module lock. Must not wait for a thread of the host that is inside a start,
     * stop or clear call. It may take the lock the host holds around kr_T2K_SendRetrieved(). */
    KrSetSectionFilterFn SetSectionFilter;
    /** Slot 3 (offset 8). As SetSectionFilter. */
    KrStopSectionFilterFn StopSectionFilter;
    KrReservedFn Reserved4;                      /**< Slot 4 (offset 12): never called. */
    /** Slot 5 (offset 16). Called from the system-information worker during a parse, under the
     * module lock. Must not call the library, other than kr_T2K_SendRetrieved() and the EPG
     * calls. */
    KrGetCurrentFrequencyFn GetCurrentFrequency;
    /** Slot 6 (offset 20). Called from the control-message worker, under the module lock. Must
     * not wait for a thread of the host that calls the library. */
    KrSetDescramblerFn SetDescrambler;
    /** Slot 7 (offset 24). Numbered messages: called from the control-message worker and from
     * the host's conditional-access calls, under the message lock, and under the module lock
     * from the worker and from service stops; must not wait for a thread of the host that calls
     * the library. Texts (number 0xFF): called from the conditional-access worker with no
     * library lock held; it may call the library. */
    KrShowMessageFn ShowMessage;
    /** Slot 8 (offset 28). As the numbered messages of ShowMessage. */
    KrHideMessageFn HideMessage;
    /** Slot 9 (offset 32). Called from the conditional-access worker with no library lock held,
     * and from a card insertion (krca_T2CA_CardInserted(), or kr_T2K_Init() with a card in the
     * slot) under the card-event lock, which insertions, removals and krca_T2CA_SetEmmPids()
     * wait for. Must not wait for a thread of the host that reports a card or sets the EMM
     * PIDs. */
    KrMailNotifyFn MailNotify;
    /** Slot 10 (offset 36). Called from kr_T2K_Init() and the system-information worker, under
     * the module lock. Must not call the library. */
    KrGetStoreBufferFn GetStoreBuffer;
    /** Slot 11 (offset 40). As GetStoreBuffer. */
    KrReadStoreFn ReadStore;
    /** Slot 12 (offset 44). As GetStoreBuffer. */
    KrWriteStoreFn WriteStore;
    KrReservedFn Reserved13;                     /**< Slot 13 (offset 48): never called. */
    /** Slot 14 (offset 52). Called from any thread, the host's delivery thread included,
     * possibly under the module lock. Must not call the library, nor block for long. */
    KrDebugPrintFn DebugPrint;
    /** Slot 15 (offset 56). Called from the conditional-access worker with no library lock
     * held; it may call the library. */
    KrRedirectServiceFn RedirectService;
    KrReservedFn Reserved16;                     /**< Slot 16 (offset 60): never called. */
    /** Slot 17 (offset 64). Called from the conditional-access workers and the host's
     * `krca_T2CA_*` calls under the card lock (never the module lock), one card transaction
     * at a time. Must not call the library (report a pulled card from another thread), nor
     * wait for a thread of the host that is inside a `krca_T2CA_*` call. */
    KrSmartcardApduFn SmartcardApdu;
    /** Slot 18 (offset 68). As SmartcardApdu. */
    KrSmartcardResetFn SmartcardReset;
} HostCallbacks;

/** What the host hands to kr_T2K_Init(); read once, the host may discard it afterwards.
 * On a 32-bit terminal: nineteen 32-bit words (76 bytes). */
typedef struct InitRecord {
    uint32_t sectionBufferCount; /**< Offset 0: section nodes in the intake pool; above 8192
                                      taken as 8192. */
    HostCallbacks callbacks;     /**< Offset 4 on a 32-bit terminal: the 18 host slots. */
} InitRecord;

/* ------------------------------------------------------------------------------------------
 * EPG records, read by the host in place through the pointers the EPG calls hand out. The
 * offsets in the comments are those of a 32-bit terminal. Text fields are NUL-terminated; a
 * field of n bytes holds at most n - 1 characters.
 * ---------------------------------------------------------------------------------------- */

/** Stream description of an RTP program (ProgramSort 4), from its SDP block (256 bytes). */
typedef struct MediaSdpView {
    uint16_t videoPort;         /**< offset 0 */
    uint16_t audioPort;         /**< offset 2 */
    uint32_t videoClock;        /**< offset 4 */
    uint32_t audioClock;        /**< offset 8 */
    char videoCodec[20];        /**< offset 12 */
    char audioCodec[20];        /**< offset 32 */
    uint8_t videoConfig[200];   /**< offset 52: decoded from the hexadecimal "config" */
    uint16_t videoConfigLength; /**< offset 252: bytes in videoConfig */
    uint8_t audioConfig[2];     /**< offset 254 */
} MediaSdpView;

/** Stream description of a transport-stream program (ProgramSort 7 and 8) (256 bytes). */
typedef struct MediaPidView {
    uint8_t pidCount;       /**< offset 0 */
    uint8_t reserved1;      /**< offset 1 */
    uint16_t pids[5];       /**< offset 2 */
    uint8_t pidTypes[5];    /**< offset 12 */
    uint8_t reserved2[239]; /**< offset 17 */
} MediaPidView;

/** The media part of a StreamInfo; StreamInfo.sort tells which view is filled. */
typedef union MediaInfo {
    MediaSdpView sdp; /**< Filled for ProgramSort 4 (RTP). */
    MediaPidView pid; /**< Filled for ProgramSort 7 and 8 (transport stream). */
} MediaInfo;

/** What program start needs of a program, then its media description (280 bytes). */
typedef struct StreamInfo {
    uint32_t programId; /**< offset 0 */
    uint8_t ca;         /**< offset 4 */
    uint8_t reserved1;  /**< offset 5 */
    uint16_t pid;       /**< offset 6 */
    uint32_t frequency; /**< offset 8: kHz */
    uint8_t sort;       /**< offset 12: ProgramSort */
    uint8_t reserved2;  /**< offset 13 */
    uint16_t spid;      /**< offset 14 */
    uint32_t address;   /**< offset 16: IPv4 address, first octet most significant */
    uint16_t port;      /**< offset 20 */
    uint16_t reserved3; /**< offset 22 */
    MediaInfo media;    /**< offset 24 */
} StreamInfo;

/** The image part of an IconInfo, where ProgramInfo.icon points (8200 bytes). */
typedef struct IconImage {
    uint8_t reserved1;  /**< offset 0 (IconInfo offset 4): 0 */
    uint8_t reserved2;  /**< offset 1: 0 */
    uint16_t reserved3; /**< offset 2: 0 */
    uint16_t reserved4; /**< offset 4: 0 */
    uint16_t length;    /**< offset 6: bytes in data */
    uint8_t data[8192]; /**< offset 8: the icon file as received */
} IconImage;

/** One icon of the live EPG (8204 bytes). */
typedef struct IconInfo {
    uint32_t iconId; /**< offset 0: the number in the icon's file name */
    IconImage image; /**< offset 4 */
} IconInfo;

/** One live program (444 bytes). */
typedef struct ProgramInfo {
    uint32_t programId;    /**< offset 0 */
    char name[32];         /**< offset 4 */
    uint8_t ca;            /**< offset 36: non-zero = under conditional access */
    char abstract[256];    /**< offset 37 */
    MediaInfo* media;      /**< offset 296: the media part of the program's StreamInfo */
    IconImage* icon;       /**< offset 300: the program's icon, or NULL */
    void* events;          /**< offset 304: 4 bytes into the program's EventInfo (its day
                              texts), or NULL */
    uint16_t sort;         /**< offset 308: ProgramSort */
    uint16_t reserved1;    /**< offset 310 */
    uint32_t frequency;    /**< offset 312: kHz */
    char internetLink[64]; /**< offset 316 */
    char epgInfoFile[64];  /**< offset 380 */
} ProgramInfo;

/** A link to another service (140 bytes, no pointers: one layout on every build). */
typedef struct ServiceLink {
    uint32_t frequency;    /**< offset 0: kHz */
    uint16_t onid;         /**< offset 4 */
    uint16_t tsid;         /**< offset 6 */
    uint16_t svid;         /**< offset 8 */
    char internetLink[64]; /**< offset 10 */
    char epgInfoFile[64];  /**< offset 74 */
    uint16_t reserved;     /**< offset 138: 0 */
} ServiceLink;

/** The schedule text of one program for seven days (36320 bytes). */
typedef struct EventInfo {
    uint32_t programId;    /**< offset 0 */
    char day[7][64];       /**< offset 4: "Day1".."Day7" */
    char* contentPtr[7];   /**< offset 452: &content[i] once day i has content, else NULL */
    char content[7][5120]; /**< offset 480: "Content1".."Content7"; valid only where
                              contentPtr[i] is set */
} EventInfo;

/** The event EPG, reached through LiveEpg.eventEpg (1162252 bytes on a 32-bit terminal). */
typedef struct EventEpg {
    uint8_t state;        /**< offset 0: module's buffer state; do not write */
    uint8_t reserved[3];  /**< offset 1 */
    uint32_t eventCount;  /**< offset 4: valid EventInfo records (0..32) */
    uint32_t version;     /**< offset 8 */
    EventInfo events[32]; /**< offset 12 */
} EventEpg;

/** The live EPG (72412 bytes on a 32-bit terminal). */
typedef struct LiveEpg {
    int32_t programCount;    /**< offset 0: valid ProgramInfo records (0..32) */
    uint32_t version;        /**< offset 4: packed version stamp of the live EPG file */
    ProgramInfo* programs;   /**< offset 8: points at program[0] */
    ProgramInfo program[32]; /**< offset 12 */
    StreamInfo stream[32];   /**< offset 14220: same index as the program */
    EventEpg* eventEpg;      /**< offset 23180: event EPG linked at the last fetch, or NULL */
    uint8_t iconCount;       /**< offset 23184: valid IconInfo records (0..6) */
    uint8_t reserved[3];     /**< offset 23185 */
    IconInfo icons[6];       /**< offset 23188 */
} LiveEpg;

/** A downloadable resource (24 bytes, no pointers). */
typedef struct ResourceInfo {
    uint32_t programId; /**< offset 0: the resource id */
    uint8_t ca;         /**< offset 4: 1 = under conditional access */
    uint8_t reserved1[3]; /**< offset 5 */
    uint32_t frequency; /**< offset 8: kHz */
    uint16_t pid;       /**< offset 12 */
    uint16_t bandwidth; /**< offset 14 */
    uint32_t address;   /**< offset 16 */
    uint16_t port;      /**< offset 20 */
    uint16_t reserved2; /**< offset 22 */
} ResourceInfo;

/** A node of the resource category tree: a directory or a resource (572 bytes). */
typedef struct CategoryNode {
    char name[256];                   /**< offset 0: directory name, "/" for the root, or the
                                         resource's name */
    uint8_t isResource;               /**< offset 256: 0 = directory, 1 = resource */
    uint8_t reserved1[7];             /**< offset 257 */
    uint32_t id;                      /**< offset 264: resource id, or the directory's number */
    uint32_t size;                    /**< offset 268 */
    uint8_t reserved2[16];            /**< offset 272 */
    uint32_t categoryType;            /**< offset 288 */
    uint8_t force;                    /**< offset 292 */
    uint8_t free;                     /**< offset 293: 1 = not under conditional access */
    uint8_t caGiven;                  /**< offset 294 */
    uint8_t drm;                      /**< offset 295 */
    uint8_t reserved3[12];            /**< offset 296 */
    char path[256];                   /**< offset 308: a resource's last path component */
    struct CategoryNode* firstChild;  /**< offset 564 */
    struct CategoryNode* nextSibling; /**< offset 568 */
} CategoryNode;

/** The download EPG: resources and their category tree (38224 bytes on a 32-bit terminal). */
typedef struct DownloadEpg {
    uint32_t resourceCount;    /**< offset 0: valid ResourceInfo records (0..64) */
    uint32_t version;          /**< offset 4 */
    CategoryNode* root;        /**< offset 8: the root directory, or NULL */
    ResourceInfo resource[64]; /**< offset 12: in file order */
    uint32_t reserved;         /**< offset 1548: 0 */
    uint8_t nodeInUse[64];     /**< offset 1552: module's pool bookkeeping */
    CategoryNode node[64];     /**< offset 1616: the pool the tree is built from */
} DownloadEpg;

/* Values of the EpgUpdateNotify argument. */
/** @name Values of the EpgUpdateNotify argument
 * @{ */
#define KR_EPG_LIVE_CHANGED 1     /**< The live or the event EPG changed. */
#define KR_EPG_DOWNLOAD_CHANGED 2 /**< The download EPG changed. */
/** @} */

/* ------------------------------------------------------------------------------------------
 * Module lifecycle and diagnostics (terminal to module).
 * ---------------------------------------------------------------------------------------- */

/** Starts the module: section intake, the store, the EPG held in the store, the workers and,
 * with a card in the slot, the card. Must not be called from a host slot: on a library worker
 * it answers -1 and logs "kr_T2K_Init::Can't be called from a module thread!".
 *
 * Host slots it calls: GetStoreBuffer, ReadStore and WriteStore (the store), SetSectionFilter
 * (system information), DebugPrint, and with a card in the slot SmartcardReset, SmartcardApdu
 * and MailNotify. Waits for the module lock.
 * @param record the section buffer count and the 18 host slots; read once.
 * @return 0 = started; -2 = record is null; -6 = section intake could not get its memory
 *         (nothing else is started then); -1 = called on a library thread. */
KR_API int32_t kr_T2K_Init(const InitRecord* record);

/** Stops the workers, then releases everything the module holds; returns only after every
 * worker of the library has ended, so the host may unload the library right after it. Must not
 * be called from a host slot: on a library worker it answers -1 and logs
 * "kr_T2K_Finish::Can't be called from a module thread!".
 *
 * Host slots it may call: StopSectionFilter, DebugPrint. Waits for the module lock.
 * @return Always 0 (-1 on a library thread). */
KR_API int32_t kr_T2K_Finish(void);

/** Writes the module version {2, 1, 2, 8}. Calls no host slot.
 * @param version receives the four version bytes.
 * @return 0; -2 when version is null. */
KR_API int32_t kr_T2K_GetVersion(uint8_t version[4]);

/** The state of the system information and of the EPG download. Calls no host slot.
 * @param status receives three bytes: status[0] = 1 while system information arrives;
 *        status[1] = 1 while an EPG download runs; status[2] = percentage of its blocks
 *        received, written only while a download runs (0 while the total is not yet known).
 * @return 0; -2 when status is null. */
KR_API int32_t kr_T2K_GetKrdbStatus(uint8_t status[3]);

/** Switches diagnostic output, which reaches the host's DebugPrint slot already laid out.
 * Modules: 1 core and exported calls, 2 system information, 3 section intake, 4 playback,
 * 5 EPG content, 6 store, 7 conditional access.
 * @param code only the low byte is used: the high nibble is the module (0 = all modules), the
 *        low nibble the highest level printed (0 = every level).
 * @param on 1 switches the output on, 0 off.
 * @return Always 0. */
KR_API int32_t kr_T2K_SetDebugFlag(uint32_t code, uint8_t on);

/* ------------------------------------------------------------------------------------------
 * Section intake (terminal to module).
 * ---------------------------------------------------------------------------------------- */

/** Hands the module one section that the host filter started under requestId caught, from its
 * table_id byte on. The module copies it before returning. Never waits for the module lock:
 * call it from the host's delivery thread, even while holding the host's own demultiplexer
 * lock (which SetSectionFilter and StopSectionFilter may then take too). Calls no host slot
 * but DebugPrint.
 * @param requestId the id SetSectionFilter gave as uint32_t, passed back as int32_t: the same
 *        32 bits (`(int32_t)requestId`).
 * @param status only the low byte is used: 1 reports a filter time-out.
 * @param section the section's bytes.
 * @param length the section's length in bytes.
 * @return 0 = queued; 1 = module not started or time-out; -1 = length of at most 16 bytes,
 *         beyond a section's largest possible size, null section or unknown request; -4 = no
 *         free section node (the section is dropped). Sections of a shared IP filter give 128
 *         when no shared filter carries the id, and 0 when no destination matches. */
KR_API int32_t kr_T2K_SendRetrieved(int32_t requestId, int32_t status, const uint8_t* section,
                                    int32_t length);

/* ------------------------------------------------------------------------------------------
 * EPG (terminal to module). A fetched EPG stays fixed until the host releases it; release the
 * previous one after fetching the new one. Results: 0 done; 1 not initialised, nothing to hand
 * out or nothing released; -2 a required pointer is null; -4 the host's array is too small.
 * ---------------------------------------------------------------------------------------- */

/** Replaces the EPG update notifier (kr_T2K_Init() registers slot 1). Calls no host slot.
 * @param notify the new notifier.
 * @return 0; -2 when notify is null. */
KR_API int32_t kr_T2K_RegisterEpgUpdateNotify(KrEpgUpdateNotifyFn notify);

/** Hands out the current live EPG, now held by the host; it stays fixed while the host reads it
 * (links included). Never waits for a parse or a store write. Calls no host slot.
 * After EpgUpdateNotify(1) fetch the new one, then release the one fetched before with
 * kr_T2K_ReleaseLiveEpg(); while the host still holds a superseded buffer, further live EPG
 * files are dropped.
 * @param epg receives the current live EPG, or NULL when there is none.
 * @return 0; 1 when not initialised (epg not written) or when there is none (*epg = NULL);
 *         -2 when epg is null. */
KR_API int32_t kr_T2K_GetLiveEpg(LiveEpg** epg);

/** Gives back a live EPG fetched earlier that is no longer current, with the schedules its
 * eventEpg links. Never waits for a parse or a store write. Calls no host slot.
 * @param epg the live EPG to give back.
 * @return 0 released; 1 otherwise (the current one is never given back); -2 when null. */
KR_API int32_t kr_T2K_ReleaseLiveEpg(LiveEpg* epg);

/** As kr_T2K_GetLiveEpg(), for the download EPG (after EpgUpdateNotify(2)).
 * @param epg receives the current download EPG, or NULL when there is none.
 * @return 0; 1 when not initialised or when there is none (*epg = NULL); -2 when epg is
 *         null. */
KR_API int32_t kr_T2K_GetDownloadEpg(DownloadEpg** epg);

/** As kr_T2K_ReleaseLiveEpg(), for the download EPG.
 * @param epg the download EPG to give back.
 * @return 0 released; 1 otherwise; -2 when null. */
KR_API int32_t kr_T2K_ReleaseDownloadEpg(DownloadEpg* epg);

/** Forgets the EPG the module holds (not the stored copy) and stops a running EPG download, so
 * that the next system information downloads the EPG again. Buffers the host still holds keep
 * their content until released. Host slots it calls: StopSectionFilter. Waits for the module
 * lock.
 * @return Always 0. */
KR_API int32_t kr_T2K_ClearEpg(void);

/** Sets the system frequency. Calls no host slot.
 * @param frequency the frequency in kHz.
 * @return Always 0. */
KR_API int32_t kr_T2K_SetSystemFreq(uint32_t frequency);

/** The links to other services of the live EPG. Never waits for a parse or a store write.
 * Calls no host slot.
 * @param count in: capacity of links; out: number of service links.
 * @param links receives the links; may be NULL to ask for the number only.
 * @return 0; -2 when count is null; -4 when links is too small. */
KR_API int32_t kr_T2K_GetServiceInfoLink(uint8_t* count, ServiceLink* links);

/* ------------------------------------------------------------------------------------------
 * Program playback and resource download (terminal to module). The content function named in a
 * start call runs on the module's stream worker with a pointer to one of the two records below;
 * the record and every pointer in it are valid only during that call: copy what you keep. The
 * offsets in the comments are those of a 32-bit terminal.
 * ---------------------------------------------------------------------------------------------- */

/** One block of a resource file (20 bytes on a 32-bit terminal), handed to the content function
 * of kr_T2K_StartDownload(). Every copy of a block the carousel sends is handed over, repeats
 * included. Every block but a file's last carries 1,400 bytes: block n starts at
 * (n - 1) * 1400. */
typedef struct ResourceBlock {
    uint32_t resourceId;  /**< Offset 0: the resource id. */
    uint32_t totalBlocks; /**< Offset 4: blocks of the whole file. */
    uint32_t blockNumber; /**< Offset 8: counted from 1. */
    uint32_t length;      /**< Offset 12: bytes at data. */
    const uint8_t* data;  /**< Offset 16: the block's bytes. */
} ResourceBlock;
/* Every block but a file's last carries 1,400 bytes: block n starts at (n - 1) * 1400. */

/* Values of StreamDelivery.kind for frame delivery. */
/** @name Values of StreamDelivery.kind for frame delivery
 * @{ */
#define KR_FRAME_VIDEO 1 /**< A video frame: the video fields are set. */
#define KR_FRAME_AUDIO 2 /**< An audio frame: the audio fields are set. */
/** @} */

/** Content of a program (232 bytes on a 32-bit terminal), handed to the content function of
 * kr_T2K_StartProgram(). Raw delivery (delivery mode 1..5) sets programId, deliveryMode, length
 * and data. Frame delivery (mode 0) sets programId, kind, deliveryMode and, by kind, the audio
 * or the video fields. Fields not set for a delivery hold nothing meaningful. */
typedef struct StreamDelivery {
    uint32_t programId;        /**< Offset 0: the program id. */
    uint16_t kind;             /**< Offset 4: ::KR_FRAME_VIDEO or ::KR_FRAME_AUDIO. */
    uint16_t reserved1;        /**< Offset 6. */
    uint32_t deliveryMode;     /**< Offset 8: the mode of the start call. */
    uint32_t length;           /**< Offset 12: raw delivery: bytes at data. */
    const uint8_t* data;       /**< Offset 16: raw delivery: part of the datagram. */
    uint32_t audioTimestamp;   /**< Offset 20: RTP timestamp of the audio frame. */
    uint32_t audioLength;      /**< Offset 24: bytes at audioFrame. */
    const uint8_t* audioFrame; /**< Offset 28: the audio frame. */
    uint8_t reserved2[188];    /**< Offset 32. */
    uint32_t videoTimestamp;   /**< Offset 220: RTP timestamp of the video frame. */
    uint32_t videoLength;      /**< Offset 224: bytes at videoFrame. */
    const uint8_t* videoFrame; /**< Offset 228: the video frame. */
} StreamDelivery;

/* Delivery modes of kr_T2K_StartProgram. */
/** @name Delivery modes of kr_T2K_StartProgram()
 * @{ */
#define KR_DELIVER_FRAMES 0      /**< Whole video and audio frames reassembled from RTP. */
#define KR_DELIVER_UDP_PAYLOAD 1 /**< The UDP payload (also modes 2 and 5). */
#define KR_DELIVER_UDP 3         /**< The UDP header and payload. */
#define KR_DELIVER_IP 4          /**< The whole IPv4 datagram. */
/** @} */

/** Starts a program of the current live EPG: its content goes to dataProcess as
 * ::StreamDelivery records, on the stream worker. A scrambled program also starts its
 * descrambling: the conditional-access workers then ask for its ECM filter, exchange with the
 * card and call SetDescrambler (or ShowMessage with the reason it cannot be descrambled).
 * Host slots it calls: SetSectionFilter, DebugPrint. Waits for the module lock.
 * @param programId the program's id in the live EPG.
 * @param deliveryMode ::KR_DELIVER_FRAMES, or a raw mode 1..5.
 * @param dataProcess the content function.
 * @return 0 = started (also when a filter could not be set); 1 = module not initialised;
 *         -1 = id 0, already started, not in the live EPG, or request table full. */
KR_API int32_t kr_T2K_StartProgram(uint32_t programId, uint32_t deliveryMode,
                                   KrDataProcessFn dataProcess);

/** Stops a started program; returns only when no call of its content function runs and none
 * follows (called from a slot that runs under a library lock, it ends the program at once but
 * does not wait for a call already running). Host slots it calls: StopSectionFilter, and for
 * a scrambled program SetDescrambler, ShowMessage and HideMessage as its descrambling ends.
 * Waits for the module lock.
 * @param programId the program's id.
 * @return 0 = stopped; 1 = module not initialised; -1 = the program is not in the current
 *         live EPG (nothing is stopped then). */
KR_API int32_t kr_T2K_StopProgram(uint32_t programId);

/** Starts the download of a resource of the current download EPG: each block that arrives goes
 * to dataProcess as a ::ResourceBlock record, on the stream worker, until
 * kr_T2K_StopDownload(). A scrambled resource also starts its descrambling, as
 * kr_T2K_StartProgram(). Host slots it calls: SetSectionFilter, DebugPrint. Waits for the
 * module lock.
 * @param resourceId the resource's id in the download EPG.
 * @param dataProcess the content function.
 * @return 0 = filter set; 1 = module not initialised; -1 = already running, unknown resource,
 *         request table full or filter not set. */
KR_API int32_t kr_T2K_StartDownload(uint32_t resourceId, KrDataProcessFn dataProcess);

/** Stops a download (also its conditional-access service); returns as kr_T2K_StopProgram()
 * does. Host slots it calls: as kr_T2K_StopProgram(). Waits for the module lock.
 * @param resourceId the resource's id.
 * @return 0, also when it was not running; 1 = module not initialised. */
KR_API int32_t kr_T2K_StopDownload(uint32_t resourceId);

/* ------------------------------------------------------------------------------------------
 * Conditional access (terminal to module): the CA system, the subscriber's card and what the card
 * tells about itself. The card is reached through the SmartcardReset and SmartcardApdu slots,
 * one transaction at a time; a card call waits while another transaction runs (a real card
 * takes tens to hundreds of milliseconds). The section delivery and the EPG calls never wait for
 * the card. Results besides those listed: 1 = a card exchange failed or the card refused the
 * selection of its application; -1 = the card answered with an unexpected status; any other
 * nonzero value = the host's failed SmartcardReset result, passed through.
 * ---------------------------------------------------------------------------------------- */

/** The operator record, filled by krca_T2CA_GetOperatorInfo() (66 bytes, no pointers). */
typedef struct OperatorInfo {
    uint16_t operatorNumber; /**< Offset 0: 1. */
    char name[64];           /**< Offset 2: at most 32 characters, NUL-padded. */
} OperatorInfo;

/** The card maker, filled by krca_T2CA_GetManufacturerInfo() (80 bytes, no pointers). */
typedef struct ManufacturerInfo {
    uint16_t entryNumber; /**< Offset 0: 1. */
    char name[64];        /**< Offset 2: NUL-padded; not NUL-terminated when 64 characters long. */
    uint16_t reserved1;   /**< Offset 66: not written. */
    uint32_t reserved2;   /**< Offset 68: 0x02000000. */
    uint32_t cosVersion;  /**< Offset 72: card OS version, bits 8-11 major, bits 0-3 minor. */
    uint32_t reserved3;   /**< Offset 76: 0x02000000. */
} ManufacturerInfo;

/** One service of the service map, filled by krca_T2CA_GetServiceEntitles() (52 bytes, no
 * pointers). */
typedef struct ServiceEntitleInfo {
    uint8_t entitled;         /**< Offset 0: 1. */
    uint8_t reserved1;        /**< Offset 1: not written. */
    uint16_t onid;            /**< Offset 2: original network id. */
    uint16_t tsid;            /**< Offset 4: transport stream id. */
    uint16_t svid;            /**< Offset 6: service id. */
    uint32_t entitleStart;    /**< Offset 8: the card's entitlement period for the service,
                                   seconds since 1970 UTC. */
    uint32_t entitleEnd;      /**< Offset 12: its end, seconds since 1970 UTC; 0 = the card
                                   reports no period. */
    uint8_t name[32];         /**< Offset 16: the service name, NUL-padded, not NUL-terminated. */
    uint32_t reserved2;       /**< Offset 48: 0. */
} ServiceEntitleInfo;

/** One mail of the card's mail store, listed by krca_T2CA_GetMailTitleList() (28 bytes, no
 * pointers). */
typedef struct MailTitle {
    uint32_t mailId;     /**< Offset 0: the mail's id. */
    uint8_t read;        /**< Offset 4: 1 = read, 0 = unread. */
    uint8_t title[20];   /**< Offset 5: NUL-padded, not NUL-terminated when 20 long. */
    uint8_t reserved[3]; /**< Offset 25: not written. */
} MailTitle;

/** A mail's content, filled by krca_T2CA_GetMailContent() (280 bytes, no pointers; bytes not
 * listed are 0). */
typedef struct MailContent {
    uint32_t mailId;       /**< Offset 0: the mail's id. */
    uint32_t infoWord;     /**< Offset 4: the operator's field, as broadcast. */
    uint8_t infoBytes[10]; /**< Offset 8: the operator's field, zero-padded. */
    uint16_t reserved;     /**< Offset 18: 0. */
    uint16_t length;       /**< Offset 20: content bytes, at most 125. */
    uint8_t content[258];  /**< Offset 22: the content. */
} MailContent;

/** Checks the CA system announced in the multiplex. Calls no host slot.
 * @param caSystemId the announced CA system id.
 * @return 0 when caSystemId is this module's CA system id (announced by the head end), else
 *         -1. */
KR_API int32_t krca_T2CA_VerifySystemId(uint16_t caSystemId);

/** Gives the module the CA PID of the multiplex and sets the filters of its EMM, broadcast data
 * and service map sections (the card's two when a card is ready). Host slots it calls:
 * SetSectionFilter, StopSectionFilter; waits for the card-event lock.
 * @param count not used.
 * @param pids pids[0] is the CA PID.
 * @return 0; -2 = pids null. */
KR_API int32_t krca_T2CA_SetEmmPids(uint32_t count, const uint16_t* pids);

/** A card was put in the slot: it is reset and read. A second call without a removal in
 * between: 0. Host slots it calls: SmartcardReset, SmartcardApdu, MailNotify (an unread mail),
 * SetSectionFilter (the card's EMM filters), HideMessage (message 4 taken down).
 * @return 0 = ready; 0x33 (::KR_CARD_NOT_READY) = a card is present but its reset answered 0x33
 *         (unusable); another nonzero value = the reset or the card id read failed (that
 *         result). */
KR_API int32_t krca_T2CA_CardInserted(void);

/** The card was taken out: the card's EMM and broadcast-data filters stop, and the mails the
 * module listed are forgotten; its services cannot be descrambled until a card is back. Host
 * slots it calls: StopSectionFilter.
 * @return Always 0. */
KR_API int32_t krca_T2CA_CardRemoved(void);

/** The card id, read from the card. Host slots it calls: SmartcardApdu (SmartcardReset when the
 * card needs one).
 * @param id receives the 8-byte card id (written only on success).
 * @return 0; -2 = id null; a card failure as the card calls give it. */
KR_API int32_t krca_T2CA_GetCardId(uint8_t* id);

/** Checks the subscriber PIN. Host slots it calls: SmartcardApdu (SmartcardReset when the card
 * needs one).
 * @param pin the PIN's digits.
 * @param length bytes at pin.
 * @return 0 = right; ::KR_PIN_WRONG + attempts left (see KR_PIN_TRIES()); ::KR_PIN_BLOCKED;
 *         ::KR_CARD_NOT_READY; -2 = pin null. */
KR_API int32_t krca_T2CA_VerfyPin(const uint8_t* pin, uint8_t length);

/** Changes the PIN. Host slots it calls: as krca_T2CA_VerfyPin().
 * @param oldPin the PIN now (the one checked).
 * @param oldLength bytes at oldPin.
 * @param newPin the new PIN.
 * @param newLength bytes at newPin.
 * @return As krca_T2CA_VerfyPin(). */
KR_API int32_t krca_T2CA_ChangePin(const uint8_t* oldPin, uint8_t oldLength, const uint8_t* newPin,
                                   uint8_t newLength);

/** The parental rating, read from the card. Host slots it calls: SmartcardApdu.
 * @param rating receives 4..18, or 0 for none (written only on success).
 * @return 0; 1 = no card inserted; -2 = rating null. */
KR_API int32_t krca_T2CA_GetRating(uint8_t* rating);

/** Sets the rating after checking the PIN. Host slots it calls: as krca_T2CA_VerfyPin().
 * @param pin the PIN's digits.
 * @param pinLength bytes at pin.
 * @param rating the new rating, 4..18.
 * @return 0; ::KR_CARD_NOT_READY; ::KR_OUT_OF_RANGE; the PIN results of
 *         krca_T2CA_VerfyPin(). */
KR_API int32_t krca_T2CA_ChangeRating(const uint8_t* pin, uint8_t pinLength, uint8_t rating);

/** The permitted viewing period: start and end, each two bytes, BCD hours then BCD minutes
 * (0x23 0x59 = 23:59); 00:00 to 00:00 = no restriction. Read from the card; host slots it
 * calls: SmartcardApdu.
 * @param start receives the start (two bytes).
 * @param end receives the end (two bytes).
 * @return 0; 1 = no card inserted; -2 = null. */
KR_API int32_t krca_T2CA_GetWorkTime(uint8_t* start, uint8_t* end);

/** Sets the viewing period after checking the PIN. Host slots it calls: as
 * krca_T2CA_VerfyPin().
 * @param pin the PIN's digits.
 * @param pinLength bytes at pin.
 * @param start the start, two BCD bytes (hours, minutes).
 * @param end the end, two BCD bytes.
 * @return 0; ::KR_CARD_NOT_READY; ::KR_OUT_OF_RANGE (an hour above 23 or a minute above 59);
 *         the PIN results of krca_T2CA_VerfyPin(); -2 = null. */
KR_API int32_t krca_T2CA_ChangeWorkTime(const uint8_t* pin, uint8_t pinLength, const uint8_t* start,
                                        const uint8_t* end);

/** The operator. info null never touches the card. Host slots it calls: SmartcardApdu (with
 * info).
 * @param info receives the operator's record from the card; may be null.
 * @param count receives 1.
 * @return 0; ::KR_CARD_NOT_READY (with info); -2 = count null. */
KR_API int32_t krca_T2CA_GetOperatorInfo(OperatorInfo* info, uint8_t* count);

/** The card maker and the card OS version. Host slots it calls: SmartcardApdu.
 * @param info receives the record.
 * @return 0; ::KR_CARD_NOT_READY; -2 = info null. */
KR_API int32_t krca_T2CA_GetManufacturerInfo(ManufacturerInfo* info);

/** Services to descramble, started by the host (up to 8 entries). Each request names a service
 * by its ECM PID (type 0) or by the address and port of its stream (type 1; other types are
 * skipped); its 16 bytes come back in every ::DescramblerRecord for it. A service named twice is
 * started once and counts its users: it stops with its last user's krca_T2CA_StopServices().
 * Host slots it calls: SetSectionFilter (the ECM filter), ShowMessage and HideMessage (a
 * service that cannot be descrambled); the workers then call SmartcardApdu and SetDescrambler.
 * @param count requests in list.
 * @param list the requests.
 * @return 0; -4 = no free entry of the 8 (the requests before it stay started, those after it
 *         are not processed); -2 = list null with a non-zero count. */
KR_API int32_t krca_T2CA_StartServices(uint8_t count, const ServiceRequest* list);

/** Ends one use of each service named; the last use stops its descrambling (the descrambler
 * gets no further control words for it once this returns). Host slots it calls:
 * StopSectionFilter, HideMessage.
 * @param count requests in list.
 * @param list the requests, as started.
 * @return 0; -2 = list null with a non-zero count. */
KR_API int32_t krca_T2CA_StopServices(uint8_t count, const ServiceRequest* list);

/** The services of the service map, with the entitlement period the card keeps for each. Host
 * slots it calls: SmartcardApdu.
 * @param entries receives the services; may be null.
 * @param count on entry the capacity of entries; on return the number of services, which may
 *        exceed the capacity (only that many are written).
 * @return 0; -2 = count null. */
KR_API int32_t krca_T2CA_GetServiceEntitles(ServiceEntitleInfo* entries, uint8_t* count);

/* Mails. The operator's mails arrive in EMMs and are kept on the card (at most 20); MailNotify(0)
 * says an unread mail is there or a new one arrived, MailNotify(1) that the store is full (the
 * mail is taken when it comes round again after a deletion). Results: KR_CARD_NOT_READY without
 * a ready card; 0x88 (krca_T2CA_SetMailRead, krca_T2CA_DelMail) or -1 (krca_T2CA_GetMailContent)
 * for an unknown id; a card failure as the card calls give it. */
/** Not offered.
 *
 * The operator's mails arrive in EMMs and are kept on the card (at most 20); MailNotify(0)
 * says an unread mail is there or a new one arrived, MailNotify(1) that the store is full (the
 * mail is taken when it comes round again after a deletion). The mail calls answer
 * ::KR_CARD_NOT_READY without a ready card; 0x88 (krca_T2CA_SetMailRead(), krca_T2CA_DelMail())
 * or -1 (krca_T2CA_GetMailContent()) for an unknown id; a card failure as the card calls give
 * it.
 * @param list not used.
 * @param count not used.
 * @return Always 0xF0. */
KR_API int32_t krca_T2CA_GetMailInfoList(void* list, uint8_t* count); /* not offered: 0xF0 */
/** The mails in the order they arrived. No card traffic: the module keeps a copy of the list.
 * Calls no host slot.
 * @param list receives the titles (room for 20); may be null.
 * @param count receives the number of mails.
 * @return 0; -2 = count null; ::KR_CARD_NOT_READY without a ready card. */
KR_API int32_t krca_T2CA_GetMailTitleList(MailTitle* list, uint8_t* count);
/** A mail's content. Host slots it calls: SmartcardApdu.
 * @param mailId the mail's id.
 * @param out receives the content.
 * @return 0 and out filled; -2 = out null; -1 = unknown id; ::KR_CARD_NOT_READY. */
KR_API int32_t krca_T2CA_GetMailContent(uint32_t mailId, MailContent* out);
/** Marks a mail read. Host slots it calls: SmartcardApdu.
 * @param mailId the mail's id.
 * @return 0; 0x88 = unknown id; ::KR_CARD_NOT_READY. */
KR_API int32_t krca_T2CA_SetMailRead(uint32_t mailId);
/** Deletes a mail, or all. A mail deleted on its own is not taken again when it is broadcast
 * again (the last nine such ids are kept); after deleting all, it is. Host slots it calls:
 * SmartcardApdu.
 * @param mailId the mail's id; 0xFFFFFFFF deletes every mail.
 * @return 0; 0x88 = unknown id; ::KR_CARD_NOT_READY. */
KR_API int32_t krca_T2CA_DelMail(uint32_t mailId);

#ifdef __cplusplus
}
#endif

#endif /* KRMODULE_KRMODULE_H */
