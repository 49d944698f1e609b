#include "common/cissa.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "common/ts_packetiser.h"

namespace krtools {
namespace {

constexpr AesBlock kCissaIv = {'D', 'V', 'B', 'T', 'M', 'C', 'P', 'T',
                               'A', 'E', 'S', 'C', 'I', 'S', 'S', 'A'};

uint16_t PacketPid(const uint8_t* packet188) {
    return static_cast<uint16_t>(((packet188[1] & 0x1F) << 8) | packet188[2]);
}

// The whole blocks of the payload, empty when the packet has none. An adaptation field
// longer than the packet leaves nothing to touch, so a damaged packet is never read past.
std::span<uint8_t> PayloadBlocks(uint8_t* packet188) {
    const uint8_t adaptation = static_cast<uint8_t>((packet188[3] >> 4) & 0x03);
    if ((adaptation & 0x01) == 0) return {};
    std::size_t offset = 4;
    if (adaptation & 0x02) offset = std::min<std::size_t>(kTsPacketSize, 5u + packet188[4]);
    const std::size_t size = (kTsPacketSize - offset) / 16 * 16;
    return {packet188 + offset, size};
}

bool HasPayload(const uint8_t* packet188) {
    return (packet188[3] & 0x10) != 0;
}

void Mark(uint8_t* packet188, uint8_t control) {
    packet188[3] = static_cast<uint8_t>((packet188[3] & 0x3F) | (control << 6));
}

uint64_t NextTableSerial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

}  // namespace

// Named rather than anonymous: the table's thread copies, declared in the header, hold these.
namespace cissa_detail {

// CBC decryption under the fixed IV with a context keyed once. Setting the IV on a context
// again for each packet costs libcrypto more than the packet's few blocks, so the context keeps
// chaining from one packet to the next, and only the first block of each packet is mended: it
// came out XORed with the last ciphertext block of the packet before instead of with the IV.
class CissaDecryptor {
  public:
    void Key(const AesKey& key) {
        if (ctx_ != nullptr && key_ == key) return;
        if (ctx_ == nullptr) ctx_.reset(EVP_CIPHER_CTX_new());
        if (ctx_ == nullptr ||
            EVP_DecryptInit_ex(ctx_.get(), EVP_aes_128_cbc(), nullptr, key.data(),
                               kCissaIv.data()) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) {
            ctx_.reset();
            throw std::runtime_error("AES setup failed");
        }
        key_ = key;
        chain_ = kCissaIv;
    }

    // The payload blocks of one packet, in place.
    void Decrypt(std::span<uint8_t> blocks) {
        if (blocks.empty()) return;
        // After a failure the context's chaining is unknown: it starts again from the IV.
        if (ctx_ == nullptr) Key(key_);
        AesBlock last;
        std::memcpy(last.data(), blocks.data() + blocks.size() - 16, 16);
        int written = 0;
        // A failure is an exhausted or broken libcrypto, not bad input (see aes128.cpp).
        if (EVP_DecryptUpdate(ctx_.get(), blocks.data(), &written, blocks.data(),
                              static_cast<int>(blocks.size())) != 1 ||
            static_cast<std::size_t>(written) != blocks.size()) {
            ctx_.reset();
            throw std::runtime_error("AES failed");
        }
        for (std::size_t i = 0; i < 16; ++i)
            blocks[i] = static_cast<uint8_t>(blocks[i] ^ chain_[i] ^ kCissaIv[i]);
        chain_ = last;
    }

  private:
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx_{nullptr,
                                                                         &EVP_CIPHER_CTX_free};
    AesKey key_{};
    AesBlock chain_{};  // the block the context chains the next packet's first block with
};

}  // namespace cissa_detail

struct DescramblerTable::ThreadCopy {
    struct Keys {
        uint16_t pid = 0;
        cissa_detail::CissaDecryptor decryptor[2];  // even, odd
    };
    uint64_t serial = 0;  // of the table copied; 0 for none
    uint64_t changes = 0;
    std::array<Keys, kCapacity> keys;
    std::size_t count = 0;
};

DescramblerTable::DescramblerTable() : serial_(NextTableSerial()) {}

void DescramblerTable::Refresh(ThreadCopy& copy) const {
    std::array<Entry, kCapacity> entries;
    {
        std::lock_guard hold(mutex_);
        entries = entries_;
        copy.changes = changes_.load(std::memory_order_relaxed);
    }
    // Keyed outside the lock: a key change keys a context anew, the other contexts stay.
    copy.serial = 0;
    copy.count = 0;
    for (const Entry& e : entries) {
        if (!e.used) continue;
        ThreadCopy::Keys& k = copy.keys[copy.count++];
        k.pid = e.pid;
        k.decryptor[0].Key(e.even);
        k.decryptor[1].Key(e.odd);
    }
    copy.serial = serial_;
}

void ScramblePacket(uint8_t* packet188, const AesKey& key, bool odd) {
    if (!HasPayload(packet188)) return;
    AesCbcEncrypt(key, kCissaIv, PayloadBlocks(packet188));
    Mark(packet188, odd ? kScramblingOdd : kScramblingEven);
}

bool DescramblePacket(uint8_t* packet188, const AesKey& even, const AesKey& odd) {
    const uint8_t control = ScramblingControl(packet188);
    if (control != kScramblingEven && control != kScramblingOdd) return false;
    thread_local cissa_detail::CissaDecryptor decryptor;
    decryptor.Key(control == kScramblingOdd ? odd : even);
    decryptor.Decrypt(PayloadBlocks(packet188));
    Mark(packet188, 0);
    return true;
}

void ScramblePid(std::span<uint8_t> packets, uint16_t pid, const AesKey& key, bool odd) {
    for (std::size_t at = 0; at + kTsPacketSize <= packets.size(); at += kTsPacketSize) {
        uint8_t* packet = packets.data() + at;
        if (packet[0] == kTsSyncByte && PacketPid(packet) == pid) ScramblePacket(packet, key, odd);
    }
}

bool DescramblerTable::Set(uint16_t pid, const AesKey& even, const AesKey& odd) {
    {
        std::lock_guard hold(mutex_);
        Entry* slot = nullptr;
        for (Entry& e : entries_) {
            if (e.used && e.pid == pid) {
                slot = &e;
                break;
            }
            if (!e.used && slot == nullptr) slot = &e;
        }
        if (slot == nullptr) return false;
        slot->used = true;
        slot->pid = pid;
        slot->even = even;
        slot->odd = odd;
        changes_.fetch_add(1, std::memory_order_release);
    }
    return true;
}

void DescramblerTable::Clear(uint16_t pid) {
    {
        std::lock_guard hold(mutex_);
        for (Entry& e : entries_)
            if (e.used && e.pid == pid) e = Entry{};
        changes_.fetch_add(1, std::memory_order_release);
    }
}

bool DescramblerTable::Descramble(uint8_t* packet188) const {
    thread_local ThreadCopy copy;
    if (copy.serial != serial_ || copy.changes != changes_.load(std::memory_order_acquire))
        Refresh(copy);
    const uint16_t pid = PacketPid(packet188);
    const auto end = copy.keys.begin() + static_cast<std::ptrdiff_t>(copy.count);
    const auto found = std::find_if(copy.keys.begin(), end,
                                    [pid](const ThreadCopy::Keys& k) { return k.pid == pid; });
    if (found == end) return false;
    const uint8_t control = ScramblingControl(packet188);
    const bool odd = control == kScramblingOdd;
    if (control != kScramblingEven && !odd) return false;
    found->decryptor[odd ? 1 : 0].Decrypt(PayloadBlocks(packet188));
    Mark(packet188, 0);
    return true;
}

}  // namespace krtools
