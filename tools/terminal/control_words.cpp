#include "control_words.h"

#include <algorithm>
#include <iterator>

namespace krtools {

std::string ApplyControlWords(DescramblerTable& table, const DescramblerRecord& record) {
    AesKey odd, even;
    std::copy(std::begin(record.controlWordA), std::end(record.controlWordA), odd.begin());
    std::copy(std::begin(record.controlWordB), std::end(record.controlWordB), even.begin());
    const uint16_t pid = record.request.pid;
    const std::string name = "descrambler: PID " + std::to_string(pid);
    constexpr AesKey kNone{};
    if (odd == kNone && even == kNone) {
        table.Clear(pid);
        return name + " cleared";
    }
    if (!table.Set(pid, even, odd)) return name + " not descrambled (every slot in use)";
    return name + " has new control words";
}

}  // namespace krtools
