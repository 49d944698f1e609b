#include "udp_output.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/epg_announcements.h"
#include "common/file_io.h"
#include "common/ts_packetiser.h"

namespace krmux {

bool ParseUdpOutput(const std::string& output, uint32_t& address, uint16_t& port) {
    constexpr std::string_view kScheme = "udp://";
    return output.rfind(kScheme, 0) == 0 &&
           krtools::ParseChannel(output.substr(kScheme.size()), address, port) && port != 0;
}

void SendPaced(const std::vector<uint8_t>& stream, const std::vector<uint64_t>& packetTimesUs,
               uint32_t address, uint16_t port, const std::atomic<bool>& stop) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw krtools::OutputError(std::string("cannot open a socket: ") + std::strerror(errno));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    const std::size_t packets =
        std::min(stream.size() / krtools::kTsPacketSize, packetTimesUs.size());
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t first = 0; first < packets; first += kPacketsPerDatagram) {
        // Waits in short steps, so that an interrupt ends the sending soon.
        const auto due = start + std::chrono::microseconds(packetTimesUs[first]);
        while (!stop.load() && std::chrono::steady_clock::now() < due)
            std::this_thread::sleep_until(
                std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
        if (stop.load()) break;
        const std::size_t count = std::min(kPacketsPerDatagram, packets - first);
        const uint8_t* bytes = stream.data() + first * krtools::kTsPacketSize;
        for (;;) {
            if (::sendto(fd, bytes, count * krtools::kTsPacketSize, 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
                break;
            if (errno == EINTR) continue;
            const std::string reason = std::strerror(errno);
            ::close(fd);
            throw krtools::OutputError("cannot send to " + krtools::FormatAddress(address) + ":" +
                                     std::to_string(port) + ": " + reason);
        }
    }
    ::close(fd);
}

}  // namespace krmux
