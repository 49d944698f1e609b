#include "common/aes128.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>

namespace krtools {

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Expanding a key costs more than a packet's few blocks, and a descrambler opens packet after
// packet under the same two words: each thread keeps its last few keyed contexts and sets only
// the IV on them again.
struct KeyedContext {
    CipherContext ctx{nullptr, &EVP_CIPHER_CTX_free};
    const EVP_CIPHER* cipher = nullptr;
    bool encrypt = false;
    AesKey key{};
};

EVP_CIPHER_CTX* ContextFor(const EVP_CIPHER* cipher, bool encrypt, const AesKey& key,
                           const uint8_t* iv) {
    thread_local std::array<KeyedContext, 4> cache;
    thread_local std::size_t next = 0;
    for (KeyedContext& c : cache) {
        if (c.ctx == nullptr || c.cipher != cipher || c.encrypt != encrypt || c.key != key)
            continue;
        if (EVP_CipherInit_ex(c.ctx.get(), nullptr, nullptr, nullptr, iv, -1) != 1)
            throw std::runtime_error("AES setup failed");
        return c.ctx.get();
    }
    KeyedContext& c = cache[next];
    next = (next + 1) % cache.size();
    c.cipher = nullptr;
    if (c.ctx == nullptr) c.ctx.reset(EVP_CIPHER_CTX_new());
    if (c.ctx == nullptr ||
        EVP_CipherInit_ex(c.ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(c.ctx.get(), 0) != 1)
        throw std::runtime_error("AES setup failed");
    c.cipher = cipher;
    c.encrypt = encrypt;
    c.key = key;
    return c.ctx.get();
}

// One pass over whole blocks. A failure here is an exhausted or broken libcrypto, not bad
// input, so it throws rather than leave the caller with half-transformed bytes unnoticed.
void Run(const EVP_CIPHER* cipher, bool encrypt, const AesKey& key, const uint8_t* iv,
         const uint8_t* in, uint8_t* out, std::size_t size) {
    if (size % 16 != 0) throw std::invalid_argument("AES input is not a whole number of blocks");
    if (size == 0) return;
    EVP_CIPHER_CTX* ctx = ContextFor(cipher, encrypt, key, iv);
    // EVP counts in int; feed it in pieces it can count.
    constexpr std::size_t kStep = 1u << 20;
    for (std::size_t done = 0; done < size; done += kStep) {
        const std::size_t piece = std::min(kStep, size - done);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out + done, &written, in + done, static_cast<int>(piece)) != 1 ||
            static_cast<std::size_t>(written) != piece)
            throw std::runtime_error("AES failed");
    }
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx, out + size, &tail) != 1 || tail != 0)
        throw std::runtime_error("AES failed");
}

AesBlock Single(bool encrypt, const AesKey& key, const AesBlock& block) {
    AesBlock out{};
    Run(EVP_aes_128_ecb(), encrypt, key, nullptr, block.data(), out.data(), out.size());
    return out;
}

}  // namespace

AesBlock AesEncryptBlock(const AesKey& key, const AesBlock& block) {
    return Single(true, key, block);
}

AesBlock AesDecryptBlock(const AesKey& key, const AesBlock& block) {
    return Single(false, key, block);
}

void AesCbcEncrypt(const AesKey& key, const AesBlock& iv, std::span<uint8_t> data) {
    Run(EVP_aes_128_cbc(), true, key, iv.data(), data.data(), data.data(), data.size());
}

void AesCbcDecrypt(const AesKey& key, const AesBlock& iv, std::span<uint8_t> data) {
    Run(EVP_aes_128_cbc(), false, key, iv.data(), data.data(), data.data(), data.size());
}

}  // namespace krtools
