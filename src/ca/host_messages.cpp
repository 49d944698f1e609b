#include "ca/host_messages.h"

#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {

// Shows and hides come from the ECM worker and from host calls. They are serialised, with the
// host's call inside, so that the state always matches what the host was told last: two threads
// could otherwise tell the host "show 4" and "hide" in the opposite order of the state changes.
SlowLock messageLock;
bool messageShown = false;
uint8_t currentMessage = kMessageAny;

}  // namespace

void ResetMessageState() {
    SlowLockGuard hold(messageLock);
    messageShown = false;
    currentMessage = kMessageAny;
}

int32_t kr_ShowMessage(uint8_t number) {
    SlowLockGuard hold(messageLock);
    if (number == kMessageAny || number == currentMessage) return 0;
    // The host replaces a message that is on the screen; it is not taken down first.
    if (Host().ShowMessage != nullptr) Host().ShowMessage(number, nullptr, 0, 1);
    currentMessage = number;
    messageShown = true;
    kr_Print(0x73, "Show message %d", number);
    return 0;
}

int32_t kr_HideMessage(uint8_t number) {
    SlowLockGuard hold(messageLock);
    if (!messageShown) return 0;
    if (number != kMessageAny && number != currentMessage) return 1;
    kr_Print(0x73, "Hide message %d", number);
    if (Host().HideMessage != nullptr) Host().HideMessage();
    messageShown = false;
    currentMessage = kMessageAny;
    return 0;
}

int32_t kr_DropMessage() {
    SlowLockGuard hold(messageLock);
    if (messageShown && Host().HideMessage != nullptr) Host().HideMessage();
    messageShown = false;
    return 0;
}

uint8_t CurrentMessage() {
    SlowLockGuard hold(messageLock);
    return messageShown ? currentMessage : kMessageAny;
}

}  // namespace kr
