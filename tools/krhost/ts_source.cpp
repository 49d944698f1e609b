#include "ts_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/epg_announcements.h"
#include "common/file_io.h"

namespace krhost {
namespace {

using krtools::ToolError;

class FdSource : public TsSource {
  public:
    FdSource(int fd, std::string name, bool owned)
        : fd_(fd), name_(std::move(name)), owned_(owned) {}
    ~FdSource() override {
        if (owned_) ::close(fd_);
    }
    std::optional<std::size_t> Read(std::span<uint8_t> buffer) override {
        // A pipe may stall; waiting in short steps lets the reader notice that it should stop.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) == 0) return std::size_t{0};
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n > 0) return static_cast<std::size_t>(n);
            if (n == 0) return std::nullopt;
            if (errno == EINTR) continue;
            throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
        }
    }
    std::string name() const override { return name_; }

  private:
    int fd_;
    std::string name_;
    bool owned_;
};

class UdpSource : public TsSource {
  public:
    UdpSource(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~UdpSource() override { ::close(fd_); }
    std::optional<std::size_t> Read(std::span<uint8_t> buffer) override {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready <= 0) return std::size_t{0};
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) return std::size_t{0};
            throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
        }
        return static_cast<std::size_t>(n);
    }
    bool live() const override { return true; }
    std::string name() const override { return name_; }

  private:
    int fd_;
    std::string name_;
};

class BytesSource : public TsSource {
  public:
    BytesSource(std::vector<uint8_t> bytes, std::string name)
        : bytes_(std::move(bytes)), name_(std::move(name)) {}
    std::optional<std::size_t> Read(std::span<uint8_t> buffer) override {
        if (at_ >= bytes_.size()) return std::nullopt;
        const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
        std::memcpy(buffer.data(), bytes_.data() + at_, n);
        at_ += n;
        return n;
    }
    std::string name() const override { return name_; }

  private:
    std::vector<uint8_t> bytes_;
    std::size_t at_ = 0;
    std::string name_;
};

std::unique_ptr<TsSource> OpenUdp(const std::string& input) {
    uint32_t address = 0;
    uint16_t port = 0;
    if (!krtools::ParseChannel(input.substr(6), address, port) || port == 0)
        throw ToolError("bad input '" + input + "' (udp://ADDR:PORT)");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ToolError("cannot open " + input + ": " + std::strerror(errno));
    const int yes = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int bufferSize = 4 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    const bool multicast = (address >> 28) == 0xE;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = multicast || address == 0 ? htonl(INADDR_ANY) : htonl(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        throw ToolError("cannot open " + input + ": " + reason);
    }
    if (multicast) {
        ip_mreq group{};
        group.imr_multiaddr.s_addr = htonl(address);
        group.imr_interface.s_addr = htonl(INADDR_ANY);
        if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            throw ToolError("cannot join " + input + ": " + reason);
        }
    }
    return std::make_unique<UdpSource>(fd, input);
}

}  // namespace

std::unique_ptr<TsSource> OpenSource(const std::string& input) {
    if (input == "-") return std::make_unique<FdSource>(STDIN_FILENO, "standard input", false);
    if (input.rfind("udp://", 0) == 0) return OpenUdp(input);
    const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError("cannot read " + input + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw ToolError("cannot read " + input + ": is a directory");
    }
    return std::make_unique<FdSource>(fd, input, true);
}

std::unique_ptr<TsSource> MemorySource(std::vector<uint8_t> bytes, std::string name) {
    return std::make_unique<BytesSource>(std::move(bytes), std::move(name));
}

}  // namespace krhost
