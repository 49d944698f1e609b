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
#define KR_OK 0             /* success */
#define KR_NOTHING 1        /* not initialised, time-out, or nothing to do */
#define KR_FAILED (-1)      /* general failure */
#define KR_NULL_ARG (-2)    /* null or missing argument */
#define KR_NO_NODE (-4)     /* no free section node, or a host array too small */
#define KR_OS_OBJECT (-5)   /* an operating-system object could not be created */
#define KR_NO_MEMORY (-6)   /* memory missing at start */
#define KR_TABLE_FULL (-7)  /* request table full */

/* Yes/no answers and the conditional-access codes. */
#define KR_YES 0xE1            /* 225: yes */
#define KR_NO 0xE2             /* 226: no */
#define KR_NOT_THIS_CARD 0xE5  /* the message is for another card */
#define KR_NO_UPDATE 0xE6      /* already processed; not an error */
#define KR_CARD_NOT_READY 0x33 /* no usable card */
#define KR_PIN_BLOCKED 0x31    /* the PIN is blocked */
#define KR_PIN_WRONG 0x40      /* wrong PIN: KR_PIN_WRONG + attempts left */

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
    uint32_t reserved1;          /* offset 0: 0 */
    ServiceRequest request;      /* offset 4: the service as the host started it */
    uint8_t cwMode;              /* offset 20: 0 = both control words are given */
    uint8_t controlWordA[16];    /* offset 21 */
    uint8_t controlWordB[16];    /* offset 37 */
    uint8_t reserved2[3];        /* offset 53: 0 */
} DescramblerRecord;

/* ------------------------------------------------------------------------------------------
 * Host callbacks. The module tests every slot for null before each call and skips a null
 * slot. Results marked "ignored" are not looked at; return 0. Slots may be called from the
 * module's worker threads as well as from the thread that called into the module.
 * ---------------------------------------------------------------------------------------- */
typedef int32_t (*KrEpgUpdateNotifyFn)(uint32_t what); /* result ignored */
typedef int32_t (*KrSetSectionFilterFn)(uint32_t requestId,
                                        SectionFilterParams params); /* 0 = filter running */
typedef int32_t (*KrStopSectionFilterFn)(uint32_t requestId);    /* result ignored */
typedef int32_t (*KrReservedFn)(void);                           /* stored, never called */
typedef int32_t (*KrGetCurrentFrequencyFn)(uint32_t* frequency); /* result ignored */
typedef int32_t (*KrSetDescramblerFn)(DescramblerRecord record,
                                      uint32_t always1); /* result ignored */
typedef int32_t (*KrShowMessageFn)(uint32_t messageId, const char* text, uint32_t always0,
                                   uint32_t hideLater); /* result ignored */
typedef int32_t (*KrHideMessageFn)(void);               /* result ignored */
typedef int32_t (*KrMailNotifyFn)(uint32_t state);      /* result ignored */
/* The store handle is pointer-sized: the host may hand out the buffer's address. */
typedef int32_t (*KrGetStoreBufferFn)(uint32_t* size, uintptr_t* storeHandle); /* 0 = ok */
typedef int32_t (*KrReadStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                 uint8_t* destination); /* result ignored */
typedef int32_t (*KrWriteStoreFn)(uintptr_t storeHandle, uint32_t* length,
                                  const uint8_t* source); /* result ignored */
typedef int32_t (*KrDebugPrintFn)(const char* text);     /* result ignored */
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
 * table_id byte on. The module copies it before returning. Only the low byte of status is used:
 * 1 reports a filter time-out. Results: 0 = queued; 1 = module not started or time-out;
 * -1 = length of at most 16 bytes, beyond a section's largest possible size, null section or
 * unknown request; -4 = no free section node (the section is dropped). Sections of a shared
 * IP filter give 128 when no shared filter carries the id, and 0 when no destination matches. */
KR_API int32_t kr_T2K_SendRetrieved(int32_t requestId, int32_t status, const uint8_t* section,
                                    int32_t length);

#ifdef __cplusplus
}
#endif

#endif /* KRMODULE_KRMODULE_H */
