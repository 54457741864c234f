#include "install/crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/sodium_ready.h"
#include "common/utf8.h"

namespace kio::install {
namespace {

// Fetched once: handing EVP_sha256() to each digest call makes OpenSSL look the
// implementation up (under a lock) every time, which costs more than hashing a
// short input such as an LTR frame line.
const EVP_MD* sha256_md() {
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return fetched != nullptr ? fetched : EVP_sha256();
}

std::string digest_text(const unsigned char* digest) {
  return hex_encode(std::span<const std::uint8_t>(digest, 32));
}

}  // namespace

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
  const std::string_view trimmed = trim_unicode_whitespace(text);
  if (trimmed.size() % 2 != 0) return fail("hex length is not even");
  std::vector<std::uint8_t> out;
  out.reserve(trimmed.size() / 2);
  for (std::size_t i = 0; i < trimmed.size(); i += 2) {
    const int hi = hex_digit_value(trimmed[i]);
    const int lo = hex_digit_value(trimmed[i + 1]);
    if (hi < 0 || lo < 0) {
      sodium_memzero(out.data(), out.size());
      return fail("hex contains a non-hex character");
    }
    out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
  }
  return out;
}

// OpenSSL's SHA-256 uses the CPU's SHA extensions where present; the benchmark
// measured it several times faster than libsodium's portable code.
std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  unsigned char digest[32];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, sha256_md(), nullptr);
  return digest_text(digest);
}

void Sha256::ContextFree::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr); }
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) { EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()); }

std::string Sha256::finish_hex() {
  unsigned char digest[32];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_.get(), digest, &len);
  EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr);
  return digest_text(digest);
}

Result<std::string> sha256_file(const std::filesystem::path& path) {
  FileSystem& files = file_system();
  auto fd = files.open(path, O_RDONLY, 0);
  if (!fd) return std::unexpected(fd.error());
  Sha256 sha;
  std::vector<std::uint8_t> block(65536);
  for (;;) {
    auto n = files.read(fd->get(), block);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    sha.update(std::span<const std::uint8_t>(block.data(), *n));
  }
  return sha.finish_hex();
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  constexpr int variant = sodium_base64_VARIANT_ORIGINAL;
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
  out.pop_back();  // the terminating zero
  return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  // With no characters to ignore and no end pointer to report where it stopped,
  // the decoder fails unless the whole text is one canonical encoding: exact
  // padding, no white space, no bits set past the data.
  std::vector<std::uint8_t> out(text.size() / 4 * 3 + 1);  // never empty: the decoder wants a buffer even for ""
  std::size_t length = 0;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return std::nullopt;
  }
  out.resize(length);
  return out;
}

Result<SealedEnvelope> encrypt(const SecretKey& key, std::span<const std::uint8_t> associated_data,
                               std::span<const std::uint8_t> plaintext) {
  sodium_ready();
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
  if (::getentropy(nonce.data(), nonce.size()) != 0) return fail("random generation failed");
  if (plaintext.size() > crypto_aead_chacha20poly1305_ietf_MESSAGEBYTES_MAX) return fail("encryption failed");
  const SecretKey key_copy = key;  // private copy, wiped on return
  std::vector<std::uint8_t> sealed(plaintext.size() + crypto_aead_chacha20poly1305_ietf_ABYTES);
  unsigned long long sealed_len = 0;
  if (crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), &sealed_len, plaintext.data(), plaintext.size(),
                                                associated_data.data(), associated_data.size(), nullptr,
                                                nonce.data(), key_copy.data()) != 0) {
    return fail("encryption failed");
  }
  sealed.resize(static_cast<std::size_t>(sealed_len));
  return SealedEnvelope{base64_encode(nonce), base64_encode(sealed)};
}

Result<SecretBytes> decrypt(const SecretKey& key, std::span<const std::uint8_t> associated_data,
                            std::string_view nonce_b64, std::string_view ciphertext_b64) {
  sodium_ready();
  auto nonce = base64_decode(nonce_b64);
  if (!nonce || nonce->size() != crypto_aead_chacha20poly1305_ietf_NPUBBYTES) return fail("corrupt nonce");
  auto sealed = base64_decode(ciphertext_b64);
  if (!sealed) return fail("corrupt ciphertext");
  if (sealed->size() < crypto_aead_chacha20poly1305_ietf_ABYTES) return fail("decryption failed");
  const SecretKey key_copy = key;
  SecretBytes plain(sealed->size() - crypto_aead_chacha20poly1305_ietf_ABYTES);
  unsigned long long plain_len = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &plain_len, nullptr, sealed->data(), sealed->size(),
                                                associated_data.data(), associated_data.size(), nonce->data(),
                                                key_copy.data()) != 0) {
    return fail("decryption failed");
  }
  plain.resize(static_cast<std::size_t>(plain_len));
  return plain;
}

}  // namespace kio::install
