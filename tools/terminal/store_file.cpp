#include "store_file.h"

#include <algorithm>
#include <cstring>

#include "common/file_io.h"
#include "output_files.h"

namespace krtools {
StoreFile::StoreFile(std::filesystem::path path) : path_(std::move(path)), image_(kStoreSize, 0) {
    std::error_code code;
    if (!std::filesystem::exists(path_, code)) return;
    const std::vector<uint8_t> bytes = krtools::ReadWholeFile(path_);
    if (bytes.size() != kStoreSize)
        throw ToolError("store " + path_.string() + " has " +
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

}  // namespace krtools
