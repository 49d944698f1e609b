/* A minimal terminal written in C99: proves the header is C and the shared library links. */
#include <krmodule/krmodule.h>
#include <krmodule/krmodule_ext.h>

#include <stdio.h>
#include <string.h>

/* Called from the module's workers too: stdio is thread-safe, a plain counter would not be. */
static int32_t DebugPrint(const char* text) {
    fputs(text, stdout);
    return 0;
}

static int32_t SetSectionFilter(uint32_t requestId, SectionFilterParams params) {
    (void)requestId;
    (void)params;
    return 0;
}

/* Receives StreamDelivery and ResourceBlock records. */
static int32_t Content(const void* record) {
    const StreamDelivery* delivery = (const StreamDelivery*)record;
    return delivery->programId == 0 ? 0 : 1;
}

/* The slot without a card: every reset fails, so the CA calls answer without a card. */
static int32_t SmartcardReset(uint8_t* answerToReset, uint32_t* length) {
    (void)answerToReset;
    *length = 0;
    return 2;
}

int main(void) {
    InitRecord record;
    uint8_t version[4] = {0, 0, 0, 0};
    uint8_t status[3] = {9, 9, 9};
    uint8_t linkCount = 0;

    memset(&record, 0, sizeof record);
    record.sectionBufferCount = 16;
    record.callbacks.DebugPrint = DebugPrint;
    record.callbacks.SetSectionFilter = SetSectionFilter;
    record.callbacks.SmartcardReset = SmartcardReset;

    if (kr_T2K_Init(NULL) != KR_NULL_ARG) return 1;
    if (krx_WaitCaughtUp(0) != -1) return 40; /* not running */
    if (kr_T2K_Init(&record) != KR_OK) return 2;
    if (krx_WaitCaughtUp(1000) != 0) return 41; /* nothing given: caught up */
    {
        /* A section of no request is counted by its cause. */
        static const uint8_t section[20] = {0x80, 0x00, 0x11};
        KrxCounters counters;
        memset(&counters, 0xFF, sizeof counters);
        counters.size = sizeof counters;
        if (kr_T2K_SendRetrieved(12345, 0, section, (int32_t)sizeof section) != KR_FAILED)
            return 42;
        if (krx_GetCounters(NULL) != KR_NULL_ARG) return 43;
        if (krx_GetCounters(&counters) != KR_OK) return 44;
        if (counters.size != sizeof counters || counters.version != KRX_COUNTERS_VERSION) return 45;
        if (counters.sectionsNoRequest != 1 || counters.sectionsTaken != 0) return 46;
    }
    if (kr_T2K_GetVersion(version) != 0) return 3;
    if (version[0] != 2 || version[1] != 1 || version[2] != 2 || version[3] != 8) return 4;
    if (kr_T2K_GetKrdbStatus(status) != 0 || status[0] != 0 || status[1] != 0) return 5;
    if (kr_T2K_GetLiveEpg(NULL) != KR_NULL_ARG) return 7;
    if (kr_T2K_GetServiceInfoLink(&linkCount, NULL) != KR_OK) return 8;
    if (kr_T2K_SetSystemFreq(626000) != KR_OK) return 9;
    if (kr_T2K_ClearEpg() != KR_OK) return 15;
    /* No live or download EPG yet: nothing to start; a stop of what never ran is no error. */
    if (kr_T2K_StartProgram(0, KR_DELIVER_FRAMES, Content) != KR_FAILED) return 10;
    if (kr_T2K_StartProgram(101, KR_DELIVER_IP, Content) != KR_FAILED) return 11;
    if (kr_T2K_StopProgram(101) != KR_FAILED) return 12;
    if (kr_T2K_StartDownload(5, Content) != KR_FAILED) return 13;
    if (kr_T2K_StopDownload(5) != KR_OK) return 14;
    {
        /* Conditional access without a card. */
        const uint16_t emmPid = 0x1FF1;
        const uint8_t pin[4] = {1, 2, 3, 4};
        uint8_t rating = 99;
        uint8_t count = 0;
        ManufacturerInfo maker;
        if (krca_T2CA_VerifySystemId(0) != KR_FAILED) return 20;
        if (krca_T2CA_SetEmmPids(1, &emmPid) != KR_OK) return 21;
        if (krca_T2CA_SetEmmPids(1, NULL) != KR_NULL_ARG) return 22;
        if (krca_T2CA_CardInserted() != 2) return 23;
        if (krca_T2CA_GetRating(&rating) != 1 || rating != 99) return 24;
        if (krca_T2CA_ChangeRating(pin, 4, 12) != KR_CARD_NOT_READY) return 25;
        if (krca_T2CA_GetOperatorInfo(NULL, &count) != KR_OK || count != 1) return 26;
        if (krca_T2CA_GetManufacturerInfo(&maker) != KR_CARD_NOT_READY) return 27;
        if (krca_T2CA_CardRemoved() != KR_OK) return 28;
    }
    if (kr_T2K_Finish() != 0) return 6;
    printf("C host: module %d.%d.%d.%d\n", version[0], version[1], version[2], version[3]);
    return 0;
}
