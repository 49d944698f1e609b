#include "store_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/file_io.h"

namespace krhost {
namespace {

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::filesystem::path& path, const uint8_t* data, std::size_t size,
                           std::string& error) {
    const std::filesystem::path temporary = path.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, data, size) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (::close(fd) != 0 || !written) {
        error = "cannot write " + temporary.string() + ": " + std::strerror(savedErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename is durable only once the directory entry is on disk too.
    std::filesystem::path directory = path.parent_path();
    if (directory.empty()) directory = ".";
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

StoreFile::StoreFile(std::filesystem::path path) : path_(std::move(path)), image_(kStoreSize, 0) {
    std::error_code code;
    if (!std::filesystem::exists(path_, code)) return;
    const std::vector<uint8_t> bytes = krtools::ReadWholeFile(path_);
    if (bytes.size() != kStoreSize)
        throw krtools::ToolError("store " + path_.string() + " has " +
                                 std::to_string(bytes.size()) + " bytes, not " +
                                 std::to_string(kStoreSize) + ": not a store file");
    std::memcpy(image_.data(), bytes.data(), kStoreSize);
}

std::size_t StoreFile::Read(uint8_t* destination, std::size_t size) const {
    std::lock_guard hold(mutex_);
    const std::size_t n = std::min(size, image_.size());
    std::memmove(destination, image_.data(), n);
    return n;
}

bool StoreFile::Write(const uint8_t* source, std::size_t size, std::string& error) {
    std::lock_guard hold(mutex_);
    std::vector<uint8_t> next = image_;
    std::memmove(next.data(), source, std::min(size, next.size()));
    if (!ReplaceFileAtomically(path_, next.data(), next.size(), error)) return false;
    // In place: the library holds the buffer's address.
    std::memcpy(image_.data(), next.data(), next.size());
    ++writes_;
    return true;
}

uint64_t StoreFile::writes() const {
    std::lock_guard hold(mutex_);
    return writes_;
}

}  // namespace krhost
