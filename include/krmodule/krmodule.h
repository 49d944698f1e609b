/*
 * krmodule - receiver-side middleware for an IP-datacast service.
 *
 * The exported C interface. Two call families cross this boundary:
 *   kr_T2K_*     terminal to module (start-up, section intake, EPG, playback, diagnostics)
 *   krca_T2CA_*  terminal to conditional access
 * and the module calls the terminal back through the 18 slots of HostCallbacks.
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
#define KR_OK 0            /* success */
#define KR_NOTHING 1       /* not initialised, time-out, or nothing to do */
#define KR_FAILED (-1)     /* general failure */
#define KR_NULL_ARG (-2)   /* null or missing argument */
#define KR_NO_NODE (-4)    /* no free section node, or a host array too small */
#define KR_OS_OBJECT (-5)  /* an operating-system object could not be created */
#define KR_NO_MEMORY (-6)  /* memory missing at start */
#define KR_TABLE_FULL (-7) /* request table full */
#define KR_OUT_OF_RANGE (-5) /* card calls: a new rating or time out of range */

/* Yes/no answers and the conditional-access codes. */
#define KR_YES 0xE1            /* 225: yes */
#define KR_NO 0xE2             /* 226: no */
#define KR_NOT_THIS_CARD 0xE5  /* the message is for another card */
#define KR_NO_UPDATE 0xE6      /* already processed; not an error */
#define KR_CARD_NOT_READY 0x33 /* no usable card */
#define KR_PIN_BLOCKED 0x31    /* the PIN is blocked */
#define KR_PIN_WRONG 0x40      /* wrong PIN: KR_PIN_WRONG + attempts left */
#define KR_PIN_TRIES(result) ((result) & 0x0F) /* attempts left in a KR_PIN_WRONG result */

/* ------------------------------------------------------------------------------------------
 * Records handed to the host by value (no pointers: one layout on every build).
 * ---------------------------------------------------------------------------------------- */

/* Parameters of one host section filter (40 bytes). Bytes 0..15 of every section that the
 * filter passes satisfy (section[i] & mask[i]) == (match[i] & mask[i]). */
typedef struct SectionFilterParams {
    uint16_t pid;       /* offset 0 */
    uint8_t match[16];  /* offset 2: expected values of section bytes 0..15 */
    uint8_t mask[16];   /* offset 18: bits of section bytes 0..15 that must equal match */
    uint8_t reserved1;  /* offset 34: always 0 */
    uint8_t pad;        /* offset 35 */
    uint32_t reserved2; /* offset 36: always 0 */
} SectionFilterParams;

/* The name of a service to descramble (16 bytes). */
typedef struct ServiceRequest {
    uint32_t type;      /* offset 0: 0 = by ECM PID, 1 = by address and port */
    uint16_t pid;       /* offset 4 */
    uint16_t reserved1; /* offset 6: copied with the record */
    uint32_t ipAddress; /* offset 8 */
    uint16_t udpPort;   /* offset 12 */
    uint16_t reserved2; /* offset 14: copied with the record */
} ServiceRequest;

/* Control words for one started service (56 bytes). All-zero control words clear the
 * service at the descrambler. */
typedef struct DescramblerRecord {
    uint32_t reserved1;       /* offset 0: 0 */
    ServiceRequest request;   /* offset 4: the service as the host started it */
    uint8_t cwMode;           /* offset 20: 0 = both control words are given */
    uint8_t controlWordA[16]; /* offset 21 */
    uint8_t controlWordB[16]; /* offset 37 */
    uint8_t reserved2[3];     /* offset 53: 0 */
} DescramblerRecord;

/* ------------------------------------------------------------------------------------------
 * Host callbacks. The module tests every slot for null before each call and skips a null
 * slot. Results marked "ignored" are not looked at; return 0. Slots may be called from the
 * module's worker threads as well as from the thread that called into the module.
 * ---------------------------------------------------------------------------------------- */
typedef int32_t (*KrEpgUpdateNotifyFn)(uint32_t what); /* result ignored */
typedef int32_t (*KrSetSectionFilterFn)(uint32_t requestId,
                                        SectionFilterParams params); /* 0 = filter running */
typedef int32_t (*KrStopSectionFilterFn)(uint32_t requestId);        /* result ignored */
typedef int32_t (*KrReservedFn)(void);                               /* stored, never called */
typedef int32_t (*KrGetCurrentFrequencyFn)(uint32_t* frequency);     /* kHz; result ignored */
typedef int32_t (*KrSetDescramblerFn)(DescramblerRecord record,
                                      uint32_t always1); /* result ignored */
typedef int32_t (*KrShowMessageFn)(uint32_t messageId, const char* text, uint32_t always0,
                                   uint32_t hideLater); /* result ignored */
typedef int32_t (*KrHideMessageFn)(void);               /* result ignored */
typedef int32_t (*KrMailNotifyFn)(uint32_t state);      /* result ignored */
/* The store. GetStoreBuffer answers the address of writable memory of at least 0x20000 bytes, as
 * the pointer-sized handle, and its size; the module formats and updates that memory in place
 * and hands it back whole to WriteStore after every update (the length word is always 0x20000,
 * the whole image). A store smaller than 0x20000 bytes disables storing. */
typedef int32_t (*KrGetStoreBufferFn)(uint32_t* size, uintptr_t* storeHandle); /* 0 = ok */
typedef int32_t (*KrReadStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                 uint8_t* destination); /* result ignored */
typedef int32_t (*KrWriteStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                  const uint8_t* source); /* result ignored */
typedef int32_t (*KrDebugPrintFn)(const char* text);      /* result ignored */
typedef int32_t (*KrRedirectServiceFn)(uint16_t first, uint16_t second,
                                       uint16_t third); /* result ignored */
typedef int32_t (*KrSmartcardApduFn)(uint32_t* length, const uint8_t* command,
                                     uint8_t* response); /* 0 = exchange done */
typedef int32_t (*KrSmartcardResetFn)(uint8_t* answerToReset,
                                      uint32_t* length); /* 0 = card reset */

/* The host function named in a program or download start call; it receives a pointer to a
 * delivery record that is valid only during the call. Its result is ignored. */
typedef int32_t (*KrDataProcessFn)(const void* record);

/* The 18 host functions, in slot order 1..18. */
typedef struct HostCallbacks {
    KrEpgUpdateNotifyFn EpgUpdateNotify;         /* slot 1 */
    KrSetSectionFilterFn SetSectionFilter;       /* slot 2 */
    KrStopSectionFilterFn StopSectionFilter;     /* slot 3 */
    KrReservedFn Reserved4;                      /* slot 4 */
    KrGetCurrentFrequencyFn GetCurrentFrequency; /* slot 5 */
    KrSetDescramblerFn SetDescrambler;           /* slot 6 */
    KrShowMessageFn ShowMessage;                 /* slot 7 */
    KrHideMessageFn HideMessage;                 /* slot 8 */
    KrMailNotifyFn MailNotify;                   /* slot 9 */
    KrGetStoreBufferFn GetStoreBuffer;           /* slot 10 */
    KrReadStoreFn ReadStore;                     /* slot 11 */
    KrWriteStoreFn WriteStore;                   /* slot 12 */
    KrReservedFn Reserved13;                     /* slot 13 */
    KrDebugPrintFn DebugPrint;                   /* slot 14 */
    KrRedirectServiceFn RedirectService;         /* slot 15 */
    KrReservedFn Reserved16;                     /* slot 16 */
    KrSmartcardApduFn SmartcardApdu;             /* slot 17 */
    KrSmartcardResetFn SmartcardReset;           /* slot 18 */
} HostCallbacks;

/* What the host hands to kr_T2K_Init; read once, the host may discard it afterwards.
 * On a 32-bit terminal: nineteen 32-bit words. */
typedef struct InitRecord {
    uint32_t sectionBufferCount; /* section nodes in the intake pool; above 8192 taken as 8192 */
    HostCallbacks callbacks;     /* offset 4 on a 32-bit terminal */
} InitRecord;

/* ------------------------------------------------------------------------------------------
 * EPG records, read by the host in place through the pointers the EPG calls hand out. The
 * offsets in the comments are those of a 32-bit terminal. Text fields are NUL-terminated; a
 * field of n bytes holds at most n - 1 characters.
 * ---------------------------------------------------------------------------------------- */

/* Stream description of an RTP program (ProgramSort 4), from its SDP block (256 bytes). */
typedef struct MediaSdpView {
    uint16_t videoPort;         /* offset 0 */
    uint16_t audioPort;         /* offset 2 */
    uint32_t videoClock;        /* offset 4 */
    uint32_t audioClock;        /* offset 8 */
    char videoCodec[20];        /* offset 12 */
    char audioCodec[20];        /* offset 32 */
    uint8_t videoConfig[200];   /* offset 52: decoded from the hexadecimal "config" */
    uint16_t videoConfigLength; /* offset 252: bytes in videoConfig */
    uint8_t audioConfig[2];     /* offset 254 */
} MediaSdpView;

/* Stream description of a transport-stream program (ProgramSort 7 and 8) (256 bytes). */
typedef struct MediaPidView {
    uint8_t pidCount;       /* offset 0 */
    uint8_t reserved1;      /* offset 1 */
    uint16_t pids[5];       /* offset 2 */
    uint8_t pidTypes[5];    /* offset 12 */
    uint8_t reserved2[239]; /* offset 17 */
} MediaPidView;

/* The media part of a StreamInfo; StreamInfo.sort tells which view is filled. */
typedef union MediaInfo {
    MediaSdpView sdp;
    MediaPidView pid;
} MediaInfo;

/* What program start needs of a program, then its media description (280 bytes). */
typedef struct StreamInfo {
    uint32_t programId; /* offset 0 */
    uint8_t ca;         /* offset 4 */
    uint8_t reserved1;  /* offset 5 */
    uint16_t pid;       /* offset 6 */
    uint32_t frequency; /* offset 8: kHz */
    uint8_t sort;       /* offset 12: ProgramSort */
    uint8_t reserved2;  /* offset 13 */
    uint16_t spid;      /* offset 14 */
    uint32_t address;   /* offset 16: IPv4 address, first octet most significant */
    uint16_t port;      /* offset 20 */
    uint16_t reserved3; /* offset 22 */
    MediaInfo media;    /* offset 24 */
} StreamInfo;

/* The image part of an IconInfo, where ProgramInfo.icon points (8200 bytes). */
typedef struct IconImage {
    uint8_t reserved1;  /* offset 0 (IconInfo offset 4): 0 */
    uint8_t reserved2;  /* offset 1: 0 */
    uint16_t reserved3; /* offset 2: 0 */
    uint16_t reserved4; /* offset 4: 0 */
    uint16_t length;    /* offset 6: bytes in data */
    uint8_t data[8192]; /* offset 8: the icon file as received */
} IconImage;

/* One icon of the live EPG (8204 bytes). */
typedef struct IconInfo {
    uint32_t iconId; /* offset 0: the number in the icon's file name */
    IconImage image; /* offset 4 */
} IconInfo;

/* One live program (444 bytes). */
typedef struct ProgramInfo {
    uint32_t programId;    /* offset 0 */
    char name[32];         /* offset 4 */
    uint8_t ca;            /* offset 36: non-zero = under conditional access */
    char abstract[256];    /* offset 37 */
    MediaInfo* media;      /* offset 296: the media part of the program's StreamInfo */
    IconImage* icon;       /* offset 300: the program's icon, or NULL */
    void* events;          /* offset 304: 4 bytes into the program's EventInfo (its day
                              texts), or NULL */
    uint16_t sort;         /* offset 308: ProgramSort */
    uint16_t reserved1;    /* offset 310 */
    uint32_t frequency;    /* offset 312: kHz */
    char internetLink[64]; /* offset 316 */
    char epgInfoFile[64];  /* offset 380 */
} ProgramInfo;

/* A link to another service (140 bytes, no pointers: one layout on every build). */
typedef struct ServiceLink {
    uint32_t frequency;    /* offset 0: kHz */
    uint16_t onid;         /* offset 4 */
    uint16_t tsid;         /* offset 6 */
    uint16_t svid;         /* offset 8 */
    char internetLink[64]; /* offset 10 */
    char epgInfoFile[64];  /* offset 74 */
    uint16_t reserved;     /* offset 138: 0 */
} ServiceLink;

/* The schedule text of one program for seven days (36320 bytes). */
typedef struct EventInfo {
    uint32_t programId;    /* offset 0 */
    char day[7][64];       /* offset 4: "Day1".."Day7" */
    char* contentPtr[7];   /* offset 452: &content[i] once day i has content, else NULL */
    char content[7][5120]; /* offset 480: "Content1".."Content7"; valid only where
                              contentPtr[i] is set */
} EventInfo;

/* The event EPG, reached through LiveEpg.eventEpg. */
typedef struct EventEpg {
    uint8_t state;        /* offset 0: module's buffer state; do not write */
    uint8_t reserved[3];  /* offset 1 */
    uint32_t eventCount;  /* offset 4: valid EventInfo records (0..32) */
    uint32_t version;     /* offset 8 */
    EventInfo events[32]; /* offset 12 */
} EventEpg;

/* The live EPG (72412 bytes on a 32-bit terminal). */
typedef struct LiveEpg {
    int32_t programCount;    /* offset 0: valid ProgramInfo records (0..32) */
    uint32_t version;        /* offset 4: packed version stamp of the live EPG file */
    ProgramInfo* programs;   /* offset 8: points at program[0] */
    ProgramInfo program[32]; /* offset 12 */
    StreamInfo stream[32];   /* offset 14220: same index as the program */
    EventEpg* eventEpg;      /* offset 23180: event EPG linked at the last fetch, or NULL */
    uint8_t iconCount;       /* offset 23184: valid IconInfo records (0..6) */
    uint8_t reserved[3];     /* offset 23185 */
    IconInfo icons[6];       /* offset 23188 */
} LiveEpg;

/* A downloadable resource (24 bytes, no pointers). */
typedef struct ResourceInfo {
    uint32_t programId; /* offset 0: the resource id */
    uint8_t ca;         /* offset 4: 1 = under conditional access */
    uint8_t reserved1[3];
    uint32_t frequency; /* offset 8: kHz */
    uint16_t pid;       /* offset 12 */
    uint16_t bandwidth; /* offset 14 */
    uint32_t address;   /* offset 16 */
    uint16_t port;      /* offset 20 */
    uint16_t reserved2; /* offset 22 */
} ResourceInfo;

/* A node of the resource category tree: a directory or a resource (572 bytes). */
typedef struct CategoryNode {
    char name[256];                   /* offset 0: directory name, "/" for the root, or the
                                         resource's name */
    uint8_t isResource;               /* offset 256: 0 = directory, 1 = resource */
    uint8_t reserved1[7];             /* offset 257 */
    uint32_t id;                      /* offset 264: resource id, or the directory's number */
    uint32_t size;                    /* offset 268 */
    uint8_t reserved2[16];            /* offset 272 */
    uint32_t categoryType;            /* offset 288 */
    uint8_t force;                    /* offset 292 */
    uint8_t free;                     /* offset 293: 1 = not under conditional access */
    uint8_t caGiven;                  /* offset 294 */
    uint8_t drm;                      /* offset 295 */
    uint8_t reserved3[12];            /* offset 296 */
    char path[256];                   /* offset 308: a resource's last path component */
    struct CategoryNode* firstChild;  /* offset 564 */
    struct CategoryNode* nextSibling; /* offset 568 */
} CategoryNode;

/* The download EPG: resources and their category tree (38224 bytes on a 32-bit terminal). */
typedef struct DownloadEpg {
    uint32_t resourceCount;    /* offset 0: valid ResourceInfo records (0..64) */
    uint32_t version;          /* offset 4 */
    CategoryNode* root;        /* offset 8: the root directory, or NULL */
    ResourceInfo resource[64]; /* offset 12: in file order */
    uint32_t reserved;         /* offset 1548: 0 */
    uint8_t nodeInUse[64];     /* offset 1552: module's pool bookkeeping */
    CategoryNode node[64];     /* offset 1616: the pool the tree is built from */
} DownloadEpg;

/* Values of the EpgUpdateNotify argument. */
#define KR_EPG_LIVE_CHANGED 1     /* the live or the event EPG changed */
#define KR_EPG_DOWNLOAD_CHANGED 2 /* the download EPG changed */

/* ------------------------------------------------------------------------------------------
 * Module lifecycle and diagnostics (terminal to module).
 * ---------------------------------------------------------------------------------------- */

/* Starts the module. 0 = started; -2 = record is null; -6 = section intake could not get
 * its memory (nothing else is started then). */
KR_API int32_t kr_T2K_Init(const InitRecord* record);

/* Stops the workers, then releases everything the module holds. Always 0. */
KR_API int32_t kr_T2K_Finish(void);

/* Writes the module version {2, 1, 2, 8}. 0; -2 when version is null. */
KR_API int32_t kr_T2K_GetVersion(uint8_t version[4]);

/* status[0] = 1 while system information arrives; status[1] = 1 while an EPG download runs;
 * status[2] = percentage of its blocks received, written only while a download runs (0 while
 * the total is not yet known). 0; -2 when status is null. */
KR_API int32_t kr_T2K_GetKrdbStatus(uint8_t status[3]);

/* Switches diagnostic output. Only the low byte of code is used: the high nibble is the
 * module (0 = all modules), the low nibble the highest level printed (0 = every level).
 * Always 0. */
KR_API int32_t kr_T2K_SetDebugFlag(uint32_t code, uint8_t on);

/* ------------------------------------------------------------------------------------------
 * Section intake (terminal to module).
 * ---------------------------------------------------------------------------------------- */

/* Hands the module one section that the host filter started under requestId caught, from its
 * table_id byte on. The id SetSectionFilter gave as uint32_t comes back here as int32_t: pass
 * the same 32 bits ((int32_t)requestId). The module copies it before returning. Only the low byte of status is used:
 * 1 reports a filter time-out. Results: 0 = queued; 1 = module not started or time-out;
 * -1 = length of at most 16 bytes, beyond a section's largest possible size, null section or
 * unknown request; -4 = no free section node (the section is dropped). Sections of a shared
 * IP filter give 128 when no shared filter carries the id, and 0 when no destination matches. */
KR_API int32_t kr_T2K_SendRetrieved(int32_t requestId, int32_t status, const uint8_t* section,
                                    int32_t length);

/* ------------------------------------------------------------------------------------------
 * EPG (terminal to module). A fetched EPG stays fixed until the host releases it; release the
 * previous one after fetching the new one. Results: 0 done; 1 not initialised, nothing to hand
 * out or nothing released; -2 a required pointer is null; -4 the host's array is too small.
 * ---------------------------------------------------------------------------------------- */

/* Replaces the EPG update notifier (kr_T2K_Init registers slot 1). 0; -2 when null. */
KR_API int32_t kr_T2K_RegisterEpgUpdateNotify(KrEpgUpdateNotifyFn notify);

/* *epg = the current live EPG, now held by the host. 0; 1 when not initialised (epg not
 * written) or when there is none (*epg = NULL); -2 when epg is null. */
KR_API int32_t kr_T2K_GetLiveEpg(LiveEpg** epg);

/* Gives back a live EPG fetched earlier that is no longer current. 0 released; 1 otherwise;
 * -2 when null. */
KR_API int32_t kr_T2K_ReleaseLiveEpg(LiveEpg* epg);

/* As kr_T2K_GetLiveEpg, for the download EPG. */
KR_API int32_t kr_T2K_GetDownloadEpg(DownloadEpg** epg);

/* As kr_T2K_ReleaseLiveEpg, for the download EPG. */
KR_API int32_t kr_T2K_ReleaseDownloadEpg(DownloadEpg* epg);

/* Forgets the EPG the module holds and stops a running EPG download, so that the next system
 * information downloads the EPG again. Always 0. */
KR_API int32_t kr_T2K_ClearEpg(void);

/* Sets the system frequency (kHz). Always 0. */
KR_API int32_t kr_T2K_SetSystemFreq(uint32_t frequency);

/* *count in: capacity of links; out: number of service links. links may be NULL to ask for the
 * number only. 0; -2 when count is null; -4 when links is too small. */
KR_API int32_t kr_T2K_GetServiceInfoLink(uint8_t* count, ServiceLink* links);

/* ------------------------------------------------------------------------------------------
 * Program playback and resource download (terminal to module). The content function named in a
 * start call runs on the module's stream worker with a pointer to one of the two records below;
 * the record and every pointer in it are valid only during that call: copy what you keep. The
 * offsets in the comments are those of a 32-bit terminal.
 * ---------------------------------------------------------------------------------------------- */

/* One block of a resource file (20 bytes on a 32-bit terminal). Every copy of a block the
 * carousel sends is handed over, repeats included. */
typedef struct ResourceBlock {
    uint32_t resourceId;  /* offset 0 */
    uint32_t totalBlocks; /* offset 4: blocks of the whole file */
    uint32_t blockNumber; /* offset 8: counted from 1 */
    uint32_t length;      /* offset 12: bytes at data */
    const uint8_t* data;  /* offset 16: the block's bytes */
} ResourceBlock;
/* Every block but a file's last carries 1,400 bytes: block n starts at (n - 1) * 1400. */

/* Values of StreamDelivery.kind for frame delivery. */
#define KR_FRAME_VIDEO 1
#define KR_FRAME_AUDIO 2

/* Content of a program (232 bytes on a 32-bit terminal). Raw delivery (delivery mode 1..5) sets
 * programId, deliveryMode, length and data. Frame delivery (mode 0) sets programId, kind,
 * deliveryMode and, by kind, the audio or the video fields. Fields not set for a delivery hold
 * nothing meaningful. */
typedef struct StreamDelivery {
    uint32_t programId;        /* offset 0 */
    uint16_t kind;             /* offset 4: KR_FRAME_VIDEO or KR_FRAME_AUDIO */
    uint16_t reserved1;        /* offset 6 */
    uint32_t deliveryMode;     /* offset 8: the mode of the start call */
    uint32_t length;           /* offset 12: raw delivery: bytes at data */
    const uint8_t* data;       /* offset 16: raw delivery: part of the datagram */
    uint32_t audioTimestamp;   /* offset 20: RTP timestamp of the audio frame */
    uint32_t audioLength;      /* offset 24: bytes at audioFrame */
    const uint8_t* audioFrame; /* offset 28 */
    uint8_t reserved2[188];    /* offset 32 */
    uint32_t videoTimestamp;   /* offset 220: RTP timestamp of the video frame */
    uint32_t videoLength;      /* offset 224: bytes at videoFrame */
    const uint8_t* videoFrame; /* offset 228 */
} StreamDelivery;

/* Delivery modes of kr_T2K_StartProgram. */
#define KR_DELIVER_FRAMES 0      /* whole video and audio frames reassembled from RTP */
#define KR_DELIVER_UDP_PAYLOAD 1 /* the UDP payload (also modes 2 and 5) */
#define KR_DELIVER_UDP 3         /* the UDP header and payload */
#define KR_DELIVER_IP 4          /* the whole IPv4 datagram */

/* Starts a program of the current live EPG: its content goes to dataProcess as StreamDelivery
 * records. 0 = started (also when a filter could not be set); 1 = module not initialised;
 * -1 = id 0, already started, not in the live EPG, or request table full. */
KR_API int32_t kr_T2K_StartProgram(uint32_t programId, uint32_t deliveryMode,
                                   KrDataProcessFn dataProcess);

/* Stops a started program. 0 = stopped; 1 = module not initialised; -1 = the program is not in
 * the current live EPG (nothing is stopped then). */
KR_API int32_t kr_T2K_StopProgram(uint32_t programId);

/* Starts the download of a resource of the current download EPG: each block that arrives goes to
 * dataProcess as a ResourceBlock record until kr_T2K_StopDownload. 0 = filter set; 1 = module not
 * initialised; -1 = already running, unknown resource, request table full or filter not set. */
KR_API int32_t kr_T2K_StartDownload(uint32_t resourceId, KrDataProcessFn dataProcess);

/* Stops a download (also its conditional-access service). 0, also when it was not running;
 * 1 = module not initialised. */
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

/* Filled by krca_T2CA_GetOperatorInfo (66 bytes). */
typedef struct OperatorInfo {
    uint16_t operatorNumber; /* offset 0: 1 */
    char name[64];           /* offset 2: at most 32 characters, NUL-padded */
} OperatorInfo;

/* Filled by krca_T2CA_GetManufacturerInfo (80 bytes). */
typedef struct ManufacturerInfo {
    uint16_t entryNumber; /* offset 0: 1 */
    char name[64];        /* offset 2: NUL-padded; not NUL-terminated when 64 characters long */
    uint16_t reserved1;   /* offset 66: not written */
    uint32_t reserved2;   /* offset 68: 0x02000000 */
    uint32_t cosVersion;  /* offset 72: card OS version, bits 8-11 major, bits 0-3 minor */
    uint32_t reserved3;   /* offset 76: 0x02000000 */
} ManufacturerInfo;

/* One service of the service map, filled by krca_T2CA_GetServiceEntitles (52 bytes). */
typedef struct ServiceEntitleInfo {
    uint8_t entitled;         /* offset 0: 1 */
    uint8_t reserved1;        /* offset 1: not written */
    uint16_t onid;            /* offset 2 */
    uint16_t tsid;            /* offset 4 */
    uint16_t svid;            /* offset 6 */
    uint32_t entitleStart;    /* offset 8: the card's entitlement period for the service, seconds */
    uint32_t entitleEnd;      /* offset 12: since 1970 UTC; 0 = the card reports no period */
    uint8_t name[32];         /* offset 16: the service name, NUL-padded, not NUL-terminated */
    uint32_t reserved2;       /* offset 48: 0 */
} ServiceEntitleInfo;

/* One mail of the card's mail store, listed by krca_T2CA_GetMailTitleList (28 bytes). */
typedef struct MailTitle {
    uint32_t mailId;     /* offset 0 */
    uint8_t read;        /* offset 4: 1 = read, 0 = unread */
    uint8_t title[20];   /* offset 5: NUL-padded, not NUL-terminated when 20 long */
    uint8_t reserved[3]; /* offset 25: not written */
} MailTitle;

/* A mail's content, filled by krca_T2CA_GetMailContent (280 bytes; bytes not listed are 0). */
typedef struct MailContent {
    uint32_t mailId;       /* offset 0 */
    uint32_t infoWord;     /* offset 4: the operator's field, as broadcast */
    uint8_t infoBytes[10]; /* offset 8: the operator's field, zero-padded */
    uint16_t reserved;     /* offset 18: 0 */
    uint16_t length;       /* offset 20: content bytes, at most 125 */
    uint8_t content[258];  /* offset 22 */
} MailContent;

/* 0 when caSystemId is this module's CA system id (announced by the head end), else -1. */
KR_API int32_t krca_T2CA_VerifySystemId(uint16_t caSystemId);

/* The PID of the EMM, broadcast data and service map sections: pids[0] (count is not used).
 * Sets their filters (the card's two when a card is ready). 0; -2 = pids null. */
KR_API int32_t krca_T2CA_SetEmmPids(uint32_t count, const uint16_t* pids);

/* A card was put in the slot: it is reset and read. 0 = ready; 0x33 (KR_CARD_NOT_READY) = a
 * card is present but its reset answered 0x33 (unusable); another nonzero value = the reset or
 * the card id read failed (that result). A second call without a removal in between: 0. */
KR_API int32_t krca_T2CA_CardInserted(void);

/* The card was taken out. Always 0. */
KR_API int32_t krca_T2CA_CardRemoved(void);

/* The 8-byte card id (written only on success). 0; -2 = id null. */
KR_API int32_t krca_T2CA_GetCardId(uint8_t* id);

/* Checks the subscriber PIN. 0 = right; KR_PIN_WRONG + attempts left; KR_PIN_BLOCKED;
 * KR_CARD_NOT_READY; -2 = pin null. */
KR_API int32_t krca_T2CA_VerfyPin(const uint8_t* pin, uint8_t length);

/* Changes the PIN; results as krca_T2CA_VerfyPin (the old PIN is the one checked). */
KR_API int32_t krca_T2CA_ChangePin(const uint8_t* oldPin, uint8_t oldLength, const uint8_t* newPin,
                                   uint8_t newLength);

/* The parental rating: 4..18, or 0 for none (written only on success). 0; 1 = no card inserted;
 * -2 = rating null. */
KR_API int32_t krca_T2CA_GetRating(uint8_t* rating);

/* Sets the rating (4..18) after checking the PIN. 0; KR_CARD_NOT_READY; KR_OUT_OF_RANGE; the PIN
 * results of krca_T2CA_VerfyPin. */
KR_API int32_t krca_T2CA_ChangeRating(const uint8_t* pin, uint8_t pinLength, uint8_t rating);

/* The permitted viewing period: start and end, each two bytes, BCD hours then BCD minutes
 * (0x23 0x59 = 23:59); 00:00 to 00:00 = no restriction. 0; 1 = no card inserted; -2 = null. */
KR_API int32_t krca_T2CA_GetWorkTime(uint8_t* start, uint8_t* end);

/* Sets the viewing period after checking the PIN. 0; KR_CARD_NOT_READY; KR_OUT_OF_RANGE (an hour
 * above 23 or a minute above 59); the PIN results of krca_T2CA_VerfyPin; -2 = null. */
KR_API int32_t krca_T2CA_ChangeWorkTime(const uint8_t* pin, uint8_t pinLength, const uint8_t* start,
                                        const uint8_t* end);

/* The operator: *count = 1; with info not null, also its record from the card. 0;
 * KR_CARD_NOT_READY (with info); -2 = count null. info null never touches the card. */
KR_API int32_t krca_T2CA_GetOperatorInfo(OperatorInfo* info, uint8_t* count);

/* The card maker and the card OS version. 0; KR_CARD_NOT_READY; -2 = info null. */
KR_API int32_t krca_T2CA_GetManufacturerInfo(ManufacturerInfo* info);

/* Services to descramble. Each request names a service by its ECM PID (type 0) or by the address
 * and port of its stream (type 1; other types are skipped); its 16 bytes come back in every
 * DescramblerRecord for it. A service named twice is started once and counts its users: it
 * stops with its last user's krca_T2CA_StopServices. 0; -4 = no free entry of the 8 (the
 * requests before it stay started, those after it are not processed); -2 = list null with a
 * non-zero count. */
KR_API int32_t krca_T2CA_StartServices(uint8_t count, const ServiceRequest* list);

/* Ends one use of each service named; the last use stops its descrambling (the descrambler
 * gets no further control words for it once this returns). 0; -2 = list null with a non-zero
 * count. */
KR_API int32_t krca_T2CA_StopServices(uint8_t count, const ServiceRequest* list);

/* The services of the service map. On entry *count is the capacity of entries (entries may be
 * null); on return it is the number of services, which may exceed the capacity (only that many
 * are written). 0; -2 = count null. */
KR_API int32_t krca_T2CA_GetServiceEntitles(ServiceEntitleInfo* entries, uint8_t* count);

/* Mails. The operator's mails arrive in EMMs and are kept on the card (at most 20); MailNotify(0)
 * says an unread mail is there or a new one arrived, MailNotify(1) that the store is full (the
 * mail is taken when it comes round again after a deletion). Results: KR_CARD_NOT_READY without
 * a ready card; 0x88 (krca_T2CA_SetMailRead, krca_T2CA_DelMail) or -1 (krca_T2CA_GetMailContent)
 * for an unknown id; a card failure as the card calls give it. */
KR_API int32_t krca_T2CA_GetMailInfoList(void* list, uint8_t* count); /* not offered: 0xF0 */
/* The mails in the order they arrived: *count = their number; list (room for 20) may be null.
 * No card traffic. 0; -2 = count null. */
KR_API int32_t krca_T2CA_GetMailTitleList(MailTitle* list, uint8_t* count);
/* 0 and out filled; -2 = out null. */
KR_API int32_t krca_T2CA_GetMailContent(uint32_t mailId, MailContent* out);
KR_API int32_t krca_T2CA_SetMailRead(uint32_t mailId);
/* 0xFFFFFFFF deletes every mail. A mail deleted on its own is not taken again when it is
 * broadcast again (the last nine such ids are kept); after deleting all, it is. */
KR_API int32_t krca_T2CA_DelMail(uint32_t mailId);

#ifdef __cplusplus
}
#endif

#endif /* KRMODULE_KRMODULE_H */
