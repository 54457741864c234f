// The Noise Protocol Framework (revision 34) for the suites
// Noise_XX_25519_ChaChaPoly_BLAKE2b and Noise_KK_25519_ChaChaPoly_BLAKE2b, both
// roles, on libsodium: X25519, ChaCha20-Poly1305 (IETF, nonce = 4 zero bytes and
// the 64-bit counter little-endian), BLAKE2b-512 as HASH and HMAC-BLAKE2b inside
// HKDF. After the handshake the keys become a stateless transport that encrypts
// and decrypts with caller-supplied nonces.
//
// Every failure is a P2PError of kind Noise with a short text of our own. A failed
// read or write leaves the handshake exactly as it was before the call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/protocol.h"

struct evp_cipher_ctx_st;

namespace kio::p2p::noise {

inline constexpr std::size_t DH_LEN = 32;
inline constexpr std::size_t HASH_LEN = 64;
inline constexpr std::size_t KEY_LEN = 32;
inline constexpr std::size_t TAG_LEN = 16;
inline constexpr std::size_t MAX_MESSAGE_LEN = 65535;
// The one nonce value the cipher never uses.
inline constexpr std::uint64_t RESERVED_NONCE = ~std::uint64_t{0};

using HandshakeHash = std::array<std::uint8_t, HASH_LEN>;

enum class Role { Initiator, Responder };

struct HandshakeTestSeam;  // p2p/noise_testing.h

// "Noise_XX_25519_ChaChaPoly_BLAKE2b" or "Noise_KK_25519_ChaChaPoly_BLAKE2b".
const char* protocol_name(HandshakePattern pattern);

struct HandshakeConfig {
  HandshakePattern pattern = HandshakePattern::XX;
  Role role = Role::Responder;
  SecretKey local_static;
  // Its public half, when the caller already holds it (saves one multiplication
  // per handshake); it must belong to `local_static`.
  std::optional<StaticKey> local_static_public;
  // KK only, and required there: the peer's static key known before the handshake.
  std::optional<StaticKey> remote_static;
  std::vector<std::uint8_t> prologue;
};

// The two cipher keys after the handshake, used with explicit nonces. The initiator
// sends with the first key of the split and the responder receives with it.
//
// Receiving is the hot path (every data packet of a bulk stream), so it runs on a
// libcrypto cipher context keyed once: on CPUs with wide vector units its
// ChaCha20-Poly1305 opens packets about half again as fast as libsodium's. The
// context makes a Transport unfit for concurrent use, like everything on the
// receive path.
class Transport {
 public:
  Transport(Transport&&) noexcept;
  Transport& operator=(Transport&&) noexcept;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  ~Transport();

  // Writes plaintext + 16-byte tag into `out`; returns the ciphertext length.
  P2PResult<std::size_t> encrypt(std::uint64_t nonce, std::span<const std::uint8_t> plaintext,
                                 std::span<std::uint8_t> out) const;
  // Authenticates and writes the plaintext (ciphertext length - 16) into `out`.
  P2PResult<std::size_t> decrypt(std::uint64_t nonce, std::span<const std::uint8_t> ciphertext,
                                 std::span<std::uint8_t> out) const;

 private:
  friend class HandshakeState;
  struct ContextFree {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };
  Transport(SecretKey send, std::unique_ptr<evp_cipher_ctx_st, ContextFree> receive)
      : send_(std::move(send)), receive_(std::move(receive)) {}
  SecretKey send_;
  std::unique_ptr<evp_cipher_ctx_st, ContextFree> receive_;  // keyed with the receive key, wiped when freed
};

class HandshakeState {
 public:
  static P2PResult<HandshakeState> create(HandshakeConfig config);

  HandshakeState(HandshakeState&&) noexcept;
  HandshakeState& operator=(HandshakeState&&) noexcept;
  HandshakeState(const HandshakeState&) = delete;
  HandshakeState& operator=(const HandshakeState&) = delete;
  ~HandshakeState();

  // The next handshake message carrying `payload`; fails if it would exceed `max_message_len`.
  P2PResult<std::vector<std::uint8_t>> write_message(std::span<const std::uint8_t> payload,
                                                     std::size_t max_message_len = MAX_MESSAGE_LEN);
  // The payload of the peer's next handshake message; fails if it exceeds `max_payload_len`.
  P2PResult<SecretBytes> read_message(std::span<const std::uint8_t> message,
                                      std::size_t max_payload_len = MAX_MESSAGE_LEN);

  bool is_finished() const;
  bool is_my_turn() const;  // to write
  Role role() const { return role_; }
  HandshakePattern pattern() const { return pattern_; }
  // The peer's static key: known from the start for KK, learned from a message for XX.
  std::optional<StaticKey> remote_static() const;
  HandshakeHash handshake_hash() const;

  // Split: only once the last message was written or read.
  P2PResult<Transport> into_stateless_transport() const;

  struct State;  // chaining key, hash, cipher state, keys: wiped when released

 private:
  // Real handshakes draw a fresh ephemeral key for their e token; only tests,
  // through the seam, make it a fixed one to reproduce published vectors.
  friend struct HandshakeTestSeam;
  P2PResult<void> use_fixed_ephemeral(const SecretKey& ephemeral);

  HandshakeState(HandshakePattern pattern, Role role);
  HandshakePattern pattern_;
  Role role_;
  std::unique_ptr<State> state_;
};

}  // namespace kio::p2p::noise
