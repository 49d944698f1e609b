// Starting and stopping the descrambling of services: the conditional-access side's entry points
// that program start and resource download call for scrambled content.
//
// They keep the names and signatures the terminal will call them by once they are exported;
// until then they are visible inside the library only (no KR_API, hidden by default).
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

extern "C" {

// 0 = done; -2 = list null with a non-zero count.
int32_t krca_T2CA_StartServices(uint8_t count, const ServiceRequest* list);
// Always 0; -2 = list null with a non-zero count.
int32_t krca_T2CA_StopServices(uint8_t count, const ServiceRequest* list);
}
