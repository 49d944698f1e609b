// Where a section the demultiplexer completed goes: the multiplex's CA table to the CA watch,
// and the section to the library once for every running filter it matches.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "ca_table.h"
#include "terminal.h"

namespace krhost {

class SectionRouter {
  public:
    // Called when the library has no free buffer for a section: true when it is worth trying
    // again (the library caught up meanwhile), false to give the section up.
    using NoBuffer = std::function<bool()>;

    // emmPidGiven: a CA PID from the command line stands, and the CA table is not watched.
    // batchProgramData: a started program's datagram sections are held until Flush, or until a
    // section that must reach the library at once comes, and then handed over together (the
    // library's worker takes a burst in one wake-up); for a file read unpaced.
    SectionRouter(Terminal& terminal, bool emmPidGiven, NoBuffer noBuffer,
                  bool batchProgramData = false);

    enum class Routed : uint8_t {
        kNowhere,
        kProgramData,  // only to filters of a started program's datagrams
        kLibrary,      // to the library, where it may change filters or keys
    };
    Routed Route(uint16_t pid, std::span<const uint8_t> section);

    // Hands over the held sections; how many went to the library.
    std::size_t Flush();

    uint64_t sent() const { return sent_.load(); }
    uint64_t refused() const { return refused_.load(); }

  private:
    // True when it went to the library.
    bool Send(uint32_t requestId, std::span<const uint8_t> section);

    struct Held {
        uint32_t requestId;
        std::size_t offset;
        std::size_t size;
    };

    Terminal& terminal_;
    bool emmPidGiven_;
    NoBuffer noBuffer_;
    bool batchProgramData_;
    std::vector<Held> held_;
    std::vector<uint8_t> heldBytes_;
    CaTableWatch caTable_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> refused_{0};
};

// ECMs carry table id 0x80 or 0x81, by the parity of the word they bring first.
bool IsEcm(std::span<const uint8_t> section);

}  // namespace krhost
