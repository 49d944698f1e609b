// Compile-time checks of the records the stream worker hands to the host's content functions:
// exact on a 32-bit terminal, the natural layout with the same field order elsewhere.
#include <krmodule/krmodule.h>

#include <cstddef>
#include <cstdint>

#include "core/layout_check.h"

KR_CHECK_OFFSET(ResourceBlock, resourceId, 0);
KR_CHECK_OFFSET(ResourceBlock, totalBlocks, 4);
KR_CHECK_OFFSET(ResourceBlock, blockNumber, 8);
KR_CHECK_OFFSET(ResourceBlock, length, 12);
KR_CHECK_OFFSET(ResourceBlock, data, 16);

KR_CHECK_OFFSET(StreamDelivery, programId, 0);
KR_CHECK_OFFSET(StreamDelivery, kind, 4);
KR_CHECK_OFFSET(StreamDelivery, reserved1, 6);
KR_CHECK_OFFSET(StreamDelivery, deliveryMode, 8);
KR_CHECK_OFFSET(StreamDelivery, length, 12);
KR_CHECK_OFFSET(StreamDelivery, data, 16);

#if KR_ILP32
KR_CHECK_SIZE(ResourceBlock, 20);

KR_CHECK_SIZE(StreamDelivery, 232);
KR_CHECK_OFFSET(StreamDelivery, audioTimestamp, 20);
KR_CHECK_OFFSET(StreamDelivery, audioLength, 24);
KR_CHECK_OFFSET(StreamDelivery, audioFrame, 28);
KR_CHECK_OFFSET(StreamDelivery, reserved2, 32);
KR_CHECK_OFFSET(StreamDelivery, videoTimestamp, 220);
KR_CHECK_OFFSET(StreamDelivery, videoLength, 224);
KR_CHECK_OFFSET(StreamDelivery, videoFrame, 228);
#else
KR_CHECK_SIZE(ResourceBlock, 24);

// The pointer at 16 widens to 8 bytes; everything after it moves by 4 or more.
KR_CHECK_OFFSET(StreamDelivery, audioTimestamp, 24);
KR_CHECK_OFFSET(StreamDelivery, audioLength, 28);
KR_CHECK_OFFSET(StreamDelivery, audioFrame, 32);
KR_CHECK_OFFSET(StreamDelivery, reserved2, 40);
KR_CHECK_OFFSET(StreamDelivery, videoTimestamp, 228);
KR_CHECK_OFFSET(StreamDelivery, videoLength, 232);
KR_CHECK_OFFSET(StreamDelivery, videoFrame, 240);
KR_CHECK_SIZE(StreamDelivery, 248);
#endif
