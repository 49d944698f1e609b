// The card's control words to the host's descrambler: the two control-word requests (the
// current form and the older one some cards answer instead) and the clearing of a service.
#pragma once

#include <cstdint>

#include "ca/service_control.h"

namespace kr {

// Results of the requests besides 0, -1, 1 and the card layer's own.
constexpr int32_t kCwFormUnknown = 0xF0;  // the card does not know the form (or, for the older
                                          // form, the ECM's type cannot be carried)
constexpr int32_t kCwNoBlock = 0x81;      // the ECM holds no control-word block

// The ECM's fields.
constexpr uint32_t kEcmVersionOffset = 9;
constexpr uint32_t kEcmTypeOffset = 10;
constexpr uint32_t kEcmCardPartOffset = 11;
constexpr uint32_t kEcmCardPartSize = 40;
constexpr uint32_t kEcmTimeOffset = 45;
constexpr uint32_t kEcmBlockCountOffset = 55;
constexpr uint32_t kEcmBlocksOffset = 56;
constexpr uint8_t kMaxCwBlocks = 3;

inline uint8_t EcmType(const uint8_t* ecm) {
    return static_cast<uint8_t>(ecm[kEcmTypeOffset] >> 6);
}
// The bytes of one control-word block of the ECM's type; 0 for a type without blocks we know.
uint32_t EcmBlockSize(uint8_t type);
// The blocks that are sent: the ECM's count, at most three.
uint8_t EcmBlocksSent(const uint8_t* ecm);

// A started service as the ECM worker found it: the entry and its generation at that time. The
// worker talks to the card without the module lock; what it finds afterwards applies only if the
// entry still holds the same start.
struct ServiceRef {
    StartedService* service = nullptr;
    uint32_t generation = 0;

    // The module lock is held.
    bool Live() const;
};

// The ECM must hold its blocks (the caller checked the length). 0 control words set (or the
// service stopped meanwhile); -1 the card refused; 1 the exchange failed; kCwFormUnknown;
// kCwNoBlock; the card layer's reset or selection failure; -2 null service.
int32_t kr_RequestCw(const ServiceRef& ref, const uint8_t* ecm);
int32_t kr_RequestCwOld(const ServiceRef& ref, const uint8_t* ecm);

// Clears the service at the descrambler and shows why, unless the service stopped meanwhile:
// nothing about a stopped service reaches the screen.
void InterruptService(const ServiceRef& ref, uint8_t message);

// Clears the service at the descrambler once per interruption. 0; -2 null service.
int32_t kr_ClearDescrambler(const ServiceRef& ref);

}  // namespace kr
