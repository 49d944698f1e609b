// The TCP connection to vpcd, the virtual reader driver of pcscd. Reads and waits are bounded,
// so the caller can look at its stop flag between them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace krcard {

class VpcdLink {
  public:
    VpcdLink() = default;
    ~VpcdLink();
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;

    // Connects within a few seconds; the reason in error when it cannot.
    bool Connect(const std::string& host, uint16_t port, std::string& error);
    void Close();

    // What arrived within the wait: bytes (empty: nothing yet), or nullopt when the connection
    // ended or failed.
    std::optional<std::vector<uint8_t>> Receive(int waitMs);
    // Sends all of bytes; false when the connection failed.
    bool Send(std::span<const uint8_t> bytes);

  private:
    int fd_ = -1;
};

}  // namespace krcard
