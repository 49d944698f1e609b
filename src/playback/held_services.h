// The conditional-access services that running programs and downloads hold, each under the
// request its start used, so that a stop releases exactly that hold whatever the EPG says by then.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

// Under the module lock. An owner (a program or resource id) has at most one remembered service;
// remembering again replaces it.
void RememberHeldService(uint32_t ownerId, const ServiceRequest& service);
// true and the service, which is forgotten, when the owner had one.
bool TakeHeldService(uint32_t ownerId, ServiceRequest& service);
// Stream finish: every service forgotten (the conditional-access side finishes its own).
void ForgetHeldServices();

}  // namespace kr
