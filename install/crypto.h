// Hex keys, SHA-256 digest texts and the sealed envelope (ChaCha20-Poly1305 with
// a fresh random 12-byte nonce, both halves stored as base64 texts).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/secret.h"
#include "common/result.h"

struct evp_md_ctx_st;

namespace kio::install {

// Trims Unicode white space, then decodes pairs of hex digits (either case).
Result<std::vector<std::uint8_t>> hex_decode(std::string_view text);

// SHA-256 as 64 lowercase hex digits.
std::string sha256_hex(std::span<const std::uint8_t> bytes);
inline std::string sha256_hex(std::string_view bytes) {
  return sha256_hex(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}
// Streams the file through SHA-256 in 64 KiB blocks; constant memory.
Result<std::string> sha256_file(const std::filesystem::path& path);

// SHA-256 fed piece by piece, for content that is never held whole.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();
  void update(std::span<const std::uint8_t> bytes);
  // The digest text of everything fed so far; the state then starts afresh.
  std::string finish_hex();

 private:
  struct ContextFree {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, ContextFree> ctx_;
};

struct SealedEnvelope {
  std::string nonce_b64;
  std::string ciphertext_b64;
};

// Associated data comes before the message in both directions.
Result<SealedEnvelope> encrypt(const SecretKey& key, std::span<const std::uint8_t> associated_data,
                               std::span<const std::uint8_t> plaintext);
Result<SecretBytes> decrypt(const SecretKey& key, std::span<const std::uint8_t> associated_data,
                            std::string_view nonce_b64, std::string_view ciphertext_b64);

// Standard base64 with padding; decoding refuses anything but the canonical form.
std::string base64_encode(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace kio::install
