// Where the transport stream comes from: a file, standard input, a UDP socket carrying TS
// packets, or bytes built in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace krhost {

class TsSource {
  public:
    virtual ~TsSource() = default;
    // Bytes read into buffer; 0 when nothing came yet (a socket's wait ended); nullopt at the
    // end of the input. Throws krtools::ToolError on a read error.
    virtual std::optional<std::size_t> Read(std::span<uint8_t> buffer) = 0;
    // A live source arrives at its own pace; files are paced by the reader.
    virtual bool live() const { return false; }
    virtual std::string name() const = 0;
};

// "-" standard input, "udp://ADDR:PORT" a socket bound to the port (a multicast address is
// joined), anything else a file. Throws krtools::ToolError naming the input when it cannot
// be opened.
std::unique_ptr<TsSource> OpenSource(const std::string& input);

// A source over bytes the terminal holds (the demo's stream).
std::unique_ptr<TsSource> MemorySource(std::vector<uint8_t> bytes, std::string name);

}  // namespace krhost
