// Sending a stream live, as a network head end does: seven packets to a UDP datagram, each
// datagram when the stream's clock says its first packet is due.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krmux {

constexpr std::size_t kPacketsPerDatagram = 7;

// The address and port of "udp://ADDR:PORT"; false for anything else or port 0.
bool ParseUdpOutput(const std::string& output, uint32_t& address, uint16_t& port);

// Sends stream (whole packets, each due at its time in packetTimesUs from now) to address and
// port and returns when the last datagram has gone, or soon after stop is set. Throws
// krtools::OutputError when the socket fails.
void SendPaced(const std::vector<uint8_t>& stream, const std::vector<uint64_t>& packetTimesUs,
               uint32_t address, uint16_t port, const std::atomic<bool>& stop);

}  // namespace krmux
