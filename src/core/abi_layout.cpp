// Compile-time checks that every record crossing the library boundary has the layout the
// terminals are built against. Records without pointers are checked on every build; records
// with pointer fields are exact on a 32-bit terminal and take the natural 64-bit layout
// elsewhere (only their pointer-free prefix is checked there).
#include <krmodule/krmodule.h>

#include <cstddef>
#include <cstdint>

#include "core/layout_check.h"



// Pointer size, for the offsets of records with pointer fields.
constexpr std::size_t kPtr = sizeof(void*);

KR_CHECK_SIZE(SectionFilterParams, 40);
KR_CHECK_OFFSET(SectionFilterParams, pid, 0);
KR_CHECK_OFFSET(SectionFilterParams, match, 2);
KR_CHECK_OFFSET(SectionFilterParams, mask, 18);
KR_CHECK_OFFSET(SectionFilterParams, reserved1, 34);
KR_CHECK_OFFSET(SectionFilterParams, pad, 35);
KR_CHECK_OFFSET(SectionFilterParams, reserved2, 36);

KR_CHECK_SIZE(ServiceRequest, 16);
KR_CHECK_OFFSET(ServiceRequest, type, 0);
KR_CHECK_OFFSET(ServiceRequest, pid, 4);
KR_CHECK_OFFSET(ServiceRequest, reserved1, 6);
KR_CHECK_OFFSET(ServiceRequest, ipAddress, 8);
KR_CHECK_OFFSET(ServiceRequest, udpPort, 12);
KR_CHECK_OFFSET(ServiceRequest, reserved2, 14);

KR_CHECK_SIZE(DescramblerRecord, 56);
KR_CHECK_OFFSET(DescramblerRecord, reserved1, 0);
KR_CHECK_OFFSET(DescramblerRecord, request, 4);
KR_CHECK_OFFSET(DescramblerRecord, cwMode, 20);
KR_CHECK_OFFSET(DescramblerRecord, controlWordA, 21);
KR_CHECK_OFFSET(DescramblerRecord, controlWordB, 37);
KR_CHECK_OFFSET(DescramblerRecord, reserved2, 53);

// HostCallbacks: 18 function pointers in slot order, no padding on either layout.
KR_CHECK_SIZE(HostCallbacks, 18 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, EpgUpdateNotify, 0 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, SetSectionFilter, 1 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, StopSectionFilter, 2 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, Reserved4, 3 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, GetCurrentFrequency, 4 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, SetDescrambler, 5 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, ShowMessage, 6 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, HideMessage, 7 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, MailNotify, 8 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, GetStoreBuffer, 9 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, ReadStore, 10 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, WriteStore, 11 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, Reserved13, 12 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, DebugPrint, 13 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, RedirectService, 14 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, Reserved16, 15 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, SmartcardApdu, 16 * kPtr);
KR_CHECK_OFFSET(HostCallbacks, SmartcardReset, 17 * kPtr);

KR_CHECK_OFFSET(InitRecord, sectionBufferCount, 0);
#if KR_ILP32
// Nineteen 32-bit words on a 32-bit terminal.
KR_CHECK_SIZE(InitRecord, 76);
KR_CHECK_OFFSET(InitRecord, callbacks, 4);
#else
KR_CHECK_OFFSET(InitRecord, callbacks, kPtr);
KR_CHECK_SIZE(InitRecord, kPtr + 18 * kPtr);
#endif

KR_CHECK_SIZE(OperatorInfo, 66);
KR_CHECK_OFFSET(OperatorInfo, operatorNumber, 0);
KR_CHECK_OFFSET(OperatorInfo, name, 2);

KR_CHECK_SIZE(ServiceEntitleInfo, 52);
KR_CHECK_OFFSET(ServiceEntitleInfo, entitled, 0);
KR_CHECK_OFFSET(ServiceEntitleInfo, onid, 2);
KR_CHECK_OFFSET(ServiceEntitleInfo, tsid, 4);
KR_CHECK_OFFSET(ServiceEntitleInfo, svid, 6);
KR_CHECK_OFFSET(ServiceEntitleInfo, entitleStart, 8);
KR_CHECK_OFFSET(ServiceEntitleInfo, entitleEnd, 12);
KR_CHECK_OFFSET(ServiceEntitleInfo, name, 16);
KR_CHECK_OFFSET(ServiceEntitleInfo, reserved2, 48);

KR_CHECK_SIZE(MailTitle, 28);
KR_CHECK_OFFSET(MailTitle, read, 4);
KR_CHECK_OFFSET(MailTitle, title, 5);
KR_CHECK_OFFSET(MailTitle, reserved, 25);

KR_CHECK_SIZE(MailContent, 280);
KR_CHECK_OFFSET(MailContent, infoWord, 4);
KR_CHECK_OFFSET(MailContent, infoBytes, 8);
KR_CHECK_OFFSET(MailContent, reserved, 18);
KR_CHECK_OFFSET(MailContent, length, 20);
KR_CHECK_OFFSET(MailContent, content, 22);

KR_CHECK_SIZE(ManufacturerInfo, 80);
KR_CHECK_OFFSET(ManufacturerInfo, entryNumber, 0);
KR_CHECK_OFFSET(ManufacturerInfo, name, 2);
KR_CHECK_OFFSET(ManufacturerInfo, reserved1, 66);
KR_CHECK_OFFSET(ManufacturerInfo, reserved2, 68);
KR_CHECK_OFFSET(ManufacturerInfo, cosVersion, 72);
KR_CHECK_OFFSET(ManufacturerInfo, reserved3, 76);
