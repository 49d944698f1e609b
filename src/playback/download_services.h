// The conditional-access services that resource downloads started, so that stopping a download
// stops its service too (whatever the download EPG says by then).
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

// Under the module lock. A resource has at most one remembered service; remembering again
// replaces it.
void RememberDownloadService(uint32_t resourceId, const ServiceRequest& service);
// true and the service, which is forgotten, when the resource had one.
bool TakeDownloadService(uint32_t resourceId, ServiceRequest& service);
// Stream finish: every service forgotten (the conditional-access side finishes its own).
void ForgetDownloadServices();

}  // namespace kr
