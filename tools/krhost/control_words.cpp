#include "control_words.h"

#include <algorithm>
#include <iterator>

namespace krhost {

std::string ApplyControlWords(krtools::DescramblerTable& table, const DescramblerRecord& record) {
    krtools::AesKey odd, even;
    std::copy(std::begin(record.controlWordA), std::end(record.controlWordA), odd.begin());
    std::copy(std::begin(record.controlWordB), std::end(record.controlWordB), even.begin());
    const uint16_t pid = record.request.pid;
    const std::string name = "descrambler: PID " + std::to_string(pid);
    constexpr krtools::AesKey kNone{};
    if (odd == kNone && even == kNone) {
        table.Clear(pid);
        return name + " cleared";
    }
    if (!table.Set(pid, even, odd)) return name + " not descrambled (every slot in use)";
    return name + " has new control words";
}

}  // namespace krhost
