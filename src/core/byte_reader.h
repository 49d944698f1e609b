// A bounded reader over broadcast bytes with a sticky error: a read past the end fails, yields
// zero, and every later read fails too. A parser is a straight sequence of reads and one check
// of ok() where it matters; no pointer is ever formed from an unchecked offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/byte_order.h"

namespace kr {

class ByteReader {
  public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, std::size_t size) : bytes_(data, data ? size : 0) {}
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    [[nodiscard]] bool ok() const { return ok_; }
    [[nodiscard]] std::size_t position() const { return pos_; }
    [[nodiscard]] std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }
    [[nodiscard]] std::size_t size() const { return bytes_.size(); }

    uint8_t U8() { return Take(1) ? bytes_[pos_ - 1] : 0; }
    uint16_t Be16() { return Take(2) ? ReadBe16(bytes_.data(), Here(2)) : 0; }
    uint32_t Be32() { return Take(4) ? ReadBe32(bytes_.data(), Here(4)) : 0; }
    uint16_t Le16() { return Take(2) ? ReadLe16(bytes_.data(), Here(2)) : 0; }
    uint32_t Le32() { return Take(4) ? ReadLe32(bytes_.data(), Here(4)) : 0; }

    // The next n bytes as a view; an empty view (and the error) when they are not all there.
    std::span<const uint8_t> Bytes(std::size_t n) {
        if (!Take(n)) return {};
        return bytes_.subspan(pos_ - n, n);
    }

    // Copies the next n bytes into out; zeros and the error when they are not all there.
    bool CopyTo(uint8_t* out, std::size_t n) {
        if (!Take(n)) {
            if (out != nullptr) std::memset(out, 0, n);
            return false;
        }
        std::memcpy(out, bytes_.data() + pos_ - n, n);
        return true;
    }

    bool Skip(std::size_t n) { return Take(n); }

    // Moves to an absolute offset; past the end is an error.
    bool Seek(std::size_t offset) {
        if (!ok_ || offset > bytes_.size()) return Fail();
        pos_ = offset;
        return true;
    }

  private:
    bool Fail() {
        ok_ = false;
        return false;
    }
    bool Take(std::size_t n) {
        if (!ok_ || n > bytes_.size() - pos_) return Fail();
        pos_ += n;
        return true;
    }
    uint32_t Here(std::size_t n) const { return static_cast<uint32_t>(pos_ - n); }

    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace kr
