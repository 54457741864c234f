// A throw-away install with an identity, for the store's tests.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "install/persist/persist.h"
#include "tests/support/test_support.h"

namespace kio::install::testing {

namespace fs = std::filesystem;

inline SecretKey key_from(std::uint8_t seed) {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes));
}

inline constexpr const char* FOUNDER = "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71";

// Opens `ciphertext_b64` with libsodium directly, independent of the store's own code.
inline std::optional<std::string> sodium_open(const SecretKey& key, const std::vector<std::uint8_t>& aad,
                                              const std::string& nonce_b64, const std::string& ciphertext_b64) {
  std::vector<unsigned char> nonce(64), sealed(ciphertext_b64.size());
  size_t nonce_len = 0, sealed_len = 0;
  if (sodium_base642bin(nonce.data(), nonce.size(), nonce_b64.data(), nonce_b64.size(), nullptr, &nonce_len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      nonce_len != crypto_aead_chacha20poly1305_ietf_NPUBBYTES) {
    return std::nullopt;
  }
  if (sodium_base642bin(sealed.data(), sealed.size(), ciphertext_b64.data(), ciphertext_b64.size(), nullptr,
                        &sealed_len, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      sealed_len < crypto_aead_chacha20poly1305_ietf_ABYTES) {
    return std::nullopt;
  }
  std::string plain(sealed_len - crypto_aead_chacha20poly1305_ietf_ABYTES, '\0');
  unsigned long long plain_len = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plain.data()), &plain_len, nullptr,
                                                sealed.data(), sealed_len, aad.data(), aad.size(), nonce.data(),
                                                key.data()) != 0) {
    return std::nullopt;
  }
  return plain;
}

using test::bytes_of;

// A frame's associated data, built here by hand.
inline std::vector<std::uint8_t> hand_aad(const std::string& founder, std::uint64_t sequence,
                                          const std::string& previous) {
  std::string aad = std::string("kio.persist.ltr-frame.v1") + '\0' + founder + '\0' + "third-party-secrets" + '\0' +
                    std::to_string(sequence) + '\0' + previous;
  return bytes_of(aad);
}

// install root/persist with an identity sealed under `key`, opened on a fixed day.
struct Store {
  test::TempDir dir;
  fs::path install = dir.path() / "install";
  fs::path persist = install / "persist";
  fs::path current = persist / "ltr" / "current";
  SecretKey key = key_from(1);
  CalendarDate day{2026, 1, 5};

  Store() { init(persist, key, FOUNDER); }

  static void init(const fs::path& persist, const SecretKey& key, const std::string& founder) {
    fs::create_directories(persist);
    const auto written = write_identity(persist, key, InstallIdentity{"ada", founder});
    if (!written) throw std::runtime_error(written.error());
  }

  Persist open() {
    auto opened = Persist::open(persist, key);
    if (!opened) throw std::runtime_error(opened.error());
    opened->set_local_date_source([this] { return day; });
    return std::move(*opened);
  }

  fs::path segment(const std::string& name) const { return current / name; }
};

inline BlobRecord sample_record(int n) {
  char id[64];
  std::snprintf(id, sizeof id, "01939a3c-6000-7000-8000-%012d", n);
  return BlobRecord{"persist-blob", id, "feature", std::string("file:///blobs/") + id, false, std::string(64, 'a')};
}

// Lines of a file, without their line feeds.
inline std::vector<std::string> lines_of(const fs::path& path) {
  std::vector<std::string> lines;
  const std::string text = test::read_file(path);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t feed = text.find('\n', pos);
    lines.push_back(text.substr(pos, feed == std::string::npos ? std::string::npos : feed - pos));
    if (feed == std::string::npos) break;
    pos = feed + 1;
  }
  return lines;
}

// Rewrites a file in place, as something other than the store would. A file
// system whose clock ticks coarsely can give the new content the very times of
// the store's own last write (a change the store then sees at the next open
// only); moving the modification time on keeps each test about what it tests.
inline void rewrite_in_place(const fs::path& path, const std::string& content) {
  test::write_file(path, content);
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
}

inline std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace kio::install::testing
