#include "core/counters.h"

#include <krmodule/krmodule_ext.h>

#include <cstddef>
#include <cstring>

namespace kr {

CounterArray counterValues{};

// The record is the two words and then the counters in the order of the list, on every build.
#define KR_COUNT_OFFSET(name, field)                                            \
    static_assert(offsetof(KrxCounters, field) ==                               \
                  8 + 8 * static_cast<std::size_t>(Count::name));
KR_COUNTERS(KR_COUNT_OFFSET)
#undef KR_COUNT_OFFSET
static_assert(sizeof(KrxCounters) == 8 + 8 * static_cast<std::size_t>(Count::Total));

void ResetCounters() {
    for (std::atomic<uint64_t>& value : counterValues)
        value.store(0, std::memory_order_relaxed);
}

}  // namespace kr

int32_t krx_GetCounters(KrxCounters* counters) {
    using namespace kr;
    if (counters == nullptr) return KR_NULL_ARG;
    const uint32_t size = counters->size;
    constexpr uint32_t kHead = 8;
    if (size < kHead) return KR_FAILED;
    // Fields of a newer record than this library's read as 0; a partly known field is left out.
    const std::size_t known = static_cast<std::size_t>(Count::Total);
    const std::size_t callerFields = (size - kHead) / 8;
    auto* bytes = reinterpret_cast<uint8_t*>(counters);
    for (std::size_t i = 0; i < callerFields; ++i) {
        const uint64_t value =
            i < known ? counterValues[i].load(std::memory_order_relaxed) : uint64_t{0};
        std::memcpy(bytes + kHead + 8 * i, &value, sizeof value);
    }
    const std::size_t filled = callerFields < known ? callerFields : known;
    counters->size = static_cast<uint32_t>(kHead + 8 * filled);
    counters->version = KRX_COUNTERS_VERSION;
    return KR_OK;
}
