#include "output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace krtools {
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
    // A name of its own beside the target: two writers never share a temporary file.
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    (void)::fchmod(fd, 0644);
    const bool written = WriteAll(fd, data, size) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (::close(fd) != 0 || !written) {
        error = "cannot write " + temporary + ": " + std::strerror(savedErrno);
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

std::string SafeFileName(const std::string& name, uint32_t resourceId) {
    std::string last = name;
    const std::size_t slash = last.find_last_of("/\\");
    if (slash != std::string::npos) last = last.substr(slash + 1);
    std::string safe;
    for (char c : last)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) safe += c;
    if (safe.empty() || safe == "." || safe == "..")
        safe = "resource-" + std::to_string(resourceId);
    return safe;
}

}  // namespace krtools
