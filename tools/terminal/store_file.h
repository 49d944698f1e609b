// The terminal's persistent store: a file of exactly 0x20000 bytes. Every write replaces it
// atomically (a temporary file beside it, flushed to disk, renamed over it, the directory
// flushed), so a crash at any moment leaves the old image or the new one, never a mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace krtools {

constexpr uint32_t kStoreSize = 0x20000;

class StoreFile {
  public:
    // Reads the image; a missing file is an empty (zeroed) store. Throws ToolError
    // when the file cannot be read or is not a store (wrong size), so that a mistyped path
    // never gets overwritten.
    explicit StoreFile(std::filesystem::path path);

    const std::filesystem::path& path() const { return path_; }

    // The image in memory, kStoreSize bytes at a fixed address: the library may clear it in
    // place through the store handle when it formats the store.
    uint8_t* buffer() { return image_.data(); }

    // Copies up to size bytes of the image.
    std::size_t Read(uint8_t* destination, std::size_t size) const;

    // Replaces the file with these bytes (the image is kStoreSize bytes; shorter writes keep
    // the rest). False with a message on failure; the old file then stays.
    bool Write(const uint8_t* source, std::size_t size, std::string& error);

    uint64_t writes() const;

  private:
    std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> image_;
    uint64_t writes_ = 0;
};

}  // namespace krtools
