#include "vpcd_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace krcard {
namespace {

constexpr int kConnectWaitMs = 3000;

// Connects one address without blocking beyond the wait; the socket, or -1 with errno set.
int ConnectOne(const addrinfo& a) {
    const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int soError = 0;
        socklen_t size = sizeof soError;
        const int ready = ::poll(&p, 1, kConnectWaitMs);
        if (ready <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0 ||
            soError != 0) {
            ::close(fd);
            errno = ready == 0 ? ETIMEDOUT : soError != 0 ? soError : errno;
            return -1;
        }
    }
    // Commands and answers are small and go one at a time.
    const int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

VpcdLink::~VpcdLink() {
    Close();
}

bool VpcdLink::Connect(const std::string& host, uint16_t port, std::string& error) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rv = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rv != 0) {
        error = ::gai_strerror(rv);
        return false;
    }
    error = "no address";
    for (const addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        fd_ = ConnectOne(*a);
        if (fd_ < 0) error = std::strerror(errno);
    }
    ::freeaddrinfo(found);
    return fd_ >= 0;
}

void VpcdLink::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<std::vector<uint8_t>> VpcdLink::Receive(int waitMs) {
    if (fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0) {
        if (errno == EINTR) return std::vector<uint8_t>{};
        return std::nullopt;
    }
    if (ready == 0) return std::vector<uint8_t>{};
    std::vector<uint8_t> bytes(4096);
    const ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return std::vector<uint8_t>{};
    if (n <= 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

bool VpcdLink::Send(std::span<const uint8_t> bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, kConnectWaitMs) > 0) continue;
        }
        return false;
    }
    return fd_ >= 0;
}

}  // namespace krcard
