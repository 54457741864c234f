#include "p2p/noise.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>
#include <string_view>

#include "common/sodium_ready.h"

namespace kio::p2p::noise {

namespace {

P2PError noise_error(const char* text) { return P2PError::noise(text); }

// The tokens of a message pattern. `e` and `s` carry one of the sender's public
// keys; each of the other four mixes one DH result into the keys, its first
// letter naming the initiator's key and its second the responder's.
enum class Token : std::uint8_t { E, S, EE, ES, SE, SS };

struct MessagePattern {
  std::array<Token, 4> tokens;
  std::size_t count;
  std::span<const Token> list() const { return {tokens.data(), count}; }
};

// The handshake messages alternate and the initiator (->) speaks first, so the
// even indexes are the initiator's and the odd ones the responder's (<-).

// XX: neither side knows the other's static key beforehand; each sends its own.
constexpr MessagePattern XX_MESSAGES[] = {
    // -> e
    {{Token::E}, 1},
    // <- e, ee, s, es
    {{Token::E, Token::EE, Token::S, Token::ES}, 4},
    // -> s, se
    {{Token::S, Token::SE}, 2},
};

// KK: each side knows the other's static key beforehand. These pre-messages are
// hashed when the handshake is created (HandshakeState::create):
//   -> s
//   <- s
//   ...
constexpr MessagePattern KK_MESSAGES[] = {
    // -> e, es, ss
    {{Token::E, Token::ES, Token::SS}, 3},
    // <- e, ee, se
    {{Token::E, Token::EE, Token::SE}, 3},
};

std::span<const MessagePattern> messages_of(HandshakePattern pattern) {
  if (pattern == HandshakePattern::KK) return KK_MESSAGES;
  return XX_MESSAGES;
}

using Hash = std::array<std::uint8_t, HASH_LEN>;

constexpr std::size_t BLOCK_LEN = 128;

void blake2b(Hash& out, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b = {},
             std::span<const std::uint8_t> c = {}) {
  crypto_generichash_state st;
  crypto_generichash_init(&st, nullptr, 0, HASH_LEN);
  crypto_generichash_update(&st, a.data(), a.size());
  if (!b.empty()) crypto_generichash_update(&st, b.data(), b.size());
  if (!c.empty()) crypto_generichash_update(&st, c.data(), c.size());
  crypto_generichash_final(&st, out.data(), HASH_LEN);
  sodium_memzero(&st, sizeof st);
}

// HMAC over BLAKE2b-512 with its 128-byte block. Keys here are at most 64 bytes,
// so they are only zero-padded, never hashed first.
void hmac(Hash& out, std::span<const std::uint8_t, HASH_LEN> key, std::span<const std::uint8_t> data,
          std::span<const std::uint8_t> data2 = {}) {
  std::array<std::uint8_t, BLOCK_LEN> pad{};
  std::memcpy(pad.data(), key.data(), key.size());
  for (auto& b : pad) b ^= 0x36;
  Hash inner;
  blake2b(inner, pad, data, data2);
  for (auto& b : pad) b ^= 0x36 ^ 0x5c;
  blake2b(out, pad, inner);
  sodium_memzero(pad.data(), pad.size());
  sodium_memzero(inner.data(), inner.size());
}

// HKDF with two outputs.
void hkdf2(std::span<const std::uint8_t, HASH_LEN> chaining_key, std::span<const std::uint8_t> input, Hash& out1,
           Hash& out2) {
  Hash temp_key;
  hmac(temp_key, chaining_key, input);
  const std::uint8_t one = 0x01, two = 0x02;
  hmac(out1, temp_key, {&one, 1});
  hmac(out2, temp_key, out1, {&two, 1});
  sodium_memzero(temp_key.data(), temp_key.size());
}

void aead_nonce(std::uint64_t n, std::uint8_t out[crypto_aead_chacha20poly1305_IETF_NPUBBYTES]) {
  std::memset(out, 0, 4);
  for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
}

bool aead_encrypt(const std::uint8_t* key, std::uint64_t n, std::span<const std::uint8_t> ad,
                  std::span<const std::uint8_t> plaintext, std::uint8_t* out) {
  std::uint8_t nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  aead_nonce(n, nonce);
  unsigned long long out_len = 0;
  return crypto_aead_chacha20poly1305_ietf_encrypt(out, &out_len, plaintext.data(), plaintext.size(), ad.data(),
                                                   ad.size(), nullptr, nonce, key) == 0;
}

bool aead_decrypt(const std::uint8_t* key, std::uint64_t n, std::span<const std::uint8_t> ad,
                  std::span<const std::uint8_t> ciphertext, std::uint8_t* out) {
  std::uint8_t nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  aead_nonce(n, nonce);
  unsigned long long out_len = 0;
  return crypto_aead_chacha20poly1305_ietf_decrypt(out, &out_len, nullptr, ciphertext.data(), ciphertext.size(),
                                                   ad.data(), ad.size(), nonce, key) == 0;
}

// A fresh ephemeral private key from the operating system's random bytes.
SecretKey random_secret_key() {
  SecretKey key;
  randombytes_buf(key.data(), SecretKey::size);
  return key;
}

}  // namespace

const char* protocol_name(HandshakePattern pattern) {
  return pattern == HandshakePattern::KK ? "Noise_KK_25519_ChaChaPoly_BLAKE2b" : "Noise_XX_25519_ChaChaPoly_BLAKE2b";
}

// The handshake's whole state, in the framework's names: the symmetric state
// (ck, h) with its cipher state (k, n), and the key pairs s, e, rs, re. Whether
// a key is known yet is whether it is there. A read or write works on a copy and
// commits it only on success. Keys wipe themselves; the destructor wipes ck and h.
struct HandshakeState::State {
  struct KeyPair {
    SecretKey priv;
    StaticKey pub{};
  };

  Hash ck{};
  Hash h{};
  std::optional<SecretKey> k;  // none before the first DH: fields go in clear until then
  std::uint64_t n = 0;
  KeyPair s;                         // ours, given at creation
  std::optional<KeyPair> e;          // ours, made by our e token
  std::optional<StaticKey> rs;       // the peer's: given at creation for KK, read from its s token for XX
  std::optional<StaticKey> re;       // the peer's, read from its e token
  std::optional<SecretKey> fixed_e;  // set only through HandshakeTestSeam
  std::size_t message_index = 0;     // the next message of the pattern

  State() = default;
  State(const State&) = default;
  State& operator=(const State&) = default;
  State(State&&) noexcept = default;
  State& operator=(State&&) noexcept = default;
  ~State() {
    sodium_memzero(ck.data(), ck.size());
    sodium_memzero(h.data(), h.size());
  }

  // The tag a sealed field carries: none before the first DH.
  std::size_t tag_len() const { return k ? TAG_LEN : 0; }

  // MixHash(data): h = HASH(h || data).
  void mix_hash(std::span<const std::uint8_t> data) { blake2b(h, h, data); }

  // MixKey(input): ck, temp_k = HKDF(ck, input); k = the first 32 bytes of temp_k; n = 0.
  void mix_key(std::span<const std::uint8_t> input) {
    Hash temp_k;
    hkdf2(ck, input, ck, temp_k);
    k.emplace(std::span<const std::uint8_t, KEY_LEN>(temp_k.data(), KEY_LEN));
    n = 0;
    sodium_memzero(temp_k.data(), temp_k.size());
  }

  // EncryptAndHash(plaintext), appended to `out`: sealed under k with h as
  // associated data once there is a k, in clear before; then MixHash of what
  // was appended.
  P2PResult<void> encrypt_and_hash(std::span<const std::uint8_t> plaintext, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    if (!k) {
      out.insert(out.end(), plaintext.begin(), plaintext.end());
    } else {
      if (n == RESERVED_NONCE) return p2p_fail(noise_error("nonce exhausted"));
      out.resize(at + plaintext.size() + TAG_LEN);
      if (!aead_encrypt(k->data(), n, h, plaintext, out.data() + at)) return p2p_fail(noise_error("encrypt error"));
      ++n;
    }
    mix_hash(std::span<const std::uint8_t>(out).subspan(at));
    return {};
  }

  // DecryptAndHash(ciphertext) into `out`, which has room for the ciphertext's
  // length less tag_len(); h after it is MixHash of the ciphertext.
  P2PResult<void> decrypt_and_hash(std::span<const std::uint8_t> ciphertext, std::uint8_t* out) {
    if (!k) {
      if (!ciphertext.empty()) std::memcpy(out, ciphertext.data(), ciphertext.size());
    } else {
      if (n == RESERVED_NONCE) return p2p_fail(noise_error("nonce exhausted"));
      if (!aead_decrypt(k->data(), n, h, ciphertext, out)) return p2p_fail(noise_error("decrypt error"));
      ++n;
    }
    mix_hash(ciphertext);
    return {};
  }

  // MixKey(DH(local, remote)). A key not there yet would be a fault of the
  // pattern tables; it is refused, not trusted.
  P2PResult<void> mix_dh(const KeyPair& local, const std::optional<StaticKey>& remote) {
    if (!remote) return p2p_fail(noise_error("missing key for DH"));
    std::array<std::uint8_t, DH_LEN> shared;
    // libsodium refuses a peer key of small order (an all-zero shared secret).
    if (crypto_scalarmult(shared.data(), local.priv.data(), remote->data()) != 0) {
      sodium_memzero(shared.data(), shared.size());
      return p2p_fail(noise_error("invalid DH public key"));
    }
    mix_key(shared);
    sodium_memzero(shared.data(), shared.size());
    return {};
  }

  P2PResult<void> mix_dh(const std::optional<KeyPair>& local, const std::optional<StaticKey>& remote) {
    if (!local) return p2p_fail(noise_error("missing key for DH"));
    return mix_dh(*local, remote);
  }

  // The DH tokens, the same on the side that writes them and the side that
  // reads them; the role only says which of the two keys is ours.
  P2PResult<void> mix_dh_token(Token token, Role role) {
    const bool initiator = role == Role::Initiator;
    switch (token) {
      case Token::EE:
        // ee: MixKey(DH(e, re)), both ephemerals.
        return mix_dh(e, re);
      case Token::ES:
        // es: the initiator's ephemeral and the responder's static key:
        // MixKey(DH(e, rs)) for the initiator, MixKey(DH(s, re)) for the responder.
        return initiator ? mix_dh(e, rs) : mix_dh(s, re);
      case Token::SE:
        // se: the initiator's static key and the responder's ephemeral:
        // MixKey(DH(s, re)) for the initiator, MixKey(DH(e, rs)) for the responder.
        return initiator ? mix_dh(s, re) : mix_dh(e, rs);
      case Token::SS:
        // ss: MixKey(DH(s, rs)), both static keys.
        return mix_dh(s, rs);
      case Token::E:
      case Token::S:
        break;
    }
    return p2p_fail(noise_error("unexpected token"));
  }
};

HandshakeState::HandshakeState(HandshakePattern pattern, Role role)
    : pattern_(pattern), role_(role), state_(std::make_unique<State>()) {}
HandshakeState::HandshakeState(HandshakeState&&) noexcept = default;
HandshakeState& HandshakeState::operator=(HandshakeState&&) noexcept = default;
HandshakeState::~HandshakeState() = default;

P2PResult<HandshakeState> HandshakeState::create(HandshakeConfig config) {
  sodium_ready();
  if (config.pattern == HandshakePattern::KK && !config.remote_static) {
    return p2p_fail(noise_error("missing remote static key"));
  }
  if (config.pattern == HandshakePattern::XX && config.remote_static) {
    return p2p_fail(noise_error("unexpected remote static key"));
  }
  HandshakeState hs(config.pattern, config.role);
  State& st = *hs.state_;
  st.s.priv = std::move(config.local_static);
  if (config.local_static_public) {
    st.s.pub = *config.local_static_public;
  } else if (crypto_scalarmult_base(st.s.pub.data(), st.s.priv.data()) != 0) {
    return p2p_fail(noise_error("invalid static key"));
  }

  // h = the protocol name, zero-padded as it is no longer than HASH_LEN (ours
  // never are); ck = h; then MixHash(prologue). There is no k yet.
  const std::string_view name = protocol_name(config.pattern);
  static_assert(sizeof("Noise_XX_25519_ChaChaPoly_BLAKE2b") - 1 <= HASH_LEN);
  std::memcpy(st.h.data(), name.data(), name.size());
  st.ck = st.h;
  st.mix_hash(config.prologue);

  if (config.pattern == HandshakePattern::KK) {
    // KK's pre-messages:
    //   -> s
    //   <- s
    // MixHash(the initiator's static key), then MixHash(the responder's), on
    // both sides alike; rs is the peer's key known beforehand.
    st.rs = *config.remote_static;
    const bool initiator = config.role == Role::Initiator;
    st.mix_hash(initiator ? st.s.pub : *st.rs);
    st.mix_hash(initiator ? *st.rs : st.s.pub);
  }
  return hs;
}

P2PResult<void> HandshakeState::use_fixed_ephemeral(const SecretKey& ephemeral) {
  if (state_->e) return p2p_fail(noise_error("ephemeral key already in use"));
  state_->fixed_e = ephemeral;
  return {};
}

bool HandshakeState::is_finished() const { return state_->message_index >= messages_of(pattern_).size(); }

bool HandshakeState::is_my_turn() const {
  const bool initiator_turn = state_->message_index % 2 == 0;
  return !is_finished() && initiator_turn == (role_ == Role::Initiator);
}

std::optional<StaticKey> HandshakeState::remote_static() const { return state_->rs; }

HandshakeHash HandshakeState::handshake_hash() const { return state_->h; }

P2PResult<std::vector<std::uint8_t>> HandshakeState::write_message(std::span<const std::uint8_t> payload,
                                                                   std::size_t max_message_len) {
  if (is_finished()) return p2p_fail(noise_error("handshake already finished"));
  if (!is_my_turn()) return p2p_fail(noise_error("not our turn to write"));
  State work = *state_;
  std::vector<std::uint8_t> out;
  out.reserve(2 * DH_LEN + TAG_LEN + payload.size() + TAG_LEN);
  for (const Token token : messages_of(pattern_)[work.message_index].list()) {
    switch (token) {
      case Token::E: {
        // e: a new ephemeral key pair; its public half is sent in clear and
        // MixHash(e.public_key). (With no pre-shared key there is no MixKey.)
        State::KeyPair e{work.fixed_e ? *work.fixed_e : random_secret_key(), {}};
        if (crypto_scalarmult_base(e.pub.data(), e.priv.data()) != 0) {
          return p2p_fail(noise_error("invalid ephemeral key"));
        }
        out.insert(out.end(), e.pub.begin(), e.pub.end());
        work.mix_hash(e.pub);
        work.e = std::move(e);
        break;
      }
      case Token::S:
        // s: EncryptAndHash(s.public_key), our static key, sealed under the k
        // of the DH tokens before it.
        if (auto r = work.encrypt_and_hash(work.s.pub, out); !r) return p2p_fail(r.error());
        break;
      case Token::EE:
      case Token::ES:
      case Token::SE:
      case Token::SS:
        // ee, es, se, ss: MixKey(DH(..)), as the reading side does.
        if (auto r = work.mix_dh_token(token, role_); !r) return p2p_fail(r.error());
        break;
    }
  }
  // The payload: EncryptAndHash(payload).
  if (auto r = work.encrypt_and_hash(payload, out); !r) return p2p_fail(r.error());
  if (out.size() > max_message_len) return p2p_fail(noise_error("message too long"));
  ++work.message_index;
  *state_ = std::move(work);
  return out;
}

P2PResult<SecretBytes> HandshakeState::read_message(std::span<const std::uint8_t> message,
                                                    std::size_t max_payload_len) {
  if (is_finished()) return p2p_fail(noise_error("handshake already finished"));
  if (is_my_turn()) return p2p_fail(noise_error("not our turn to read"));
  if (message.size() > MAX_MESSAGE_LEN) return p2p_fail(noise_error("message too long"));
  State work = *state_;
  std::size_t pos = 0;
  for (const Token token : messages_of(pattern_)[work.message_index].list()) {
    switch (token) {
      case Token::E: {
        // e: the peer's ephemeral public key, in clear: re = the next 32 bytes;
        // MixHash(re).
        if (message.size() - pos < DH_LEN) return p2p_fail(noise_error("input too short"));
        StaticKey re;
        std::memcpy(re.data(), message.data() + pos, DH_LEN);
        work.mix_hash(re);
        work.re = re;
        pos += DH_LEN;
        break;
      }
      case Token::S: {
        // s: the peer's static public key: rs = DecryptAndHash(the next 32 bytes
        // and, once there is a k, their tag).
        const std::size_t len = DH_LEN + work.tag_len();
        if (message.size() - pos < len) return p2p_fail(noise_error("input too short"));
        StaticKey rs;
        if (auto r = work.decrypt_and_hash(message.subspan(pos, len), rs.data()); !r) return p2p_fail(r.error());
        work.rs = rs;
        pos += len;
        break;
      }
      case Token::EE:
      case Token::ES:
      case Token::SE:
      case Token::SS:
        // ee, es, se, ss: MixKey(DH(..)), as the writing side does.
        if (auto r = work.mix_dh_token(token, role_); !r) return p2p_fail(r.error());
        break;
    }
  }
  // The payload: DecryptAndHash(the rest of the message).
  const auto rest = message.subspan(pos);
  const std::size_t overhead = work.tag_len();
  if (rest.size() < overhead) return p2p_fail(noise_error("input too short"));
  if (rest.size() - overhead > max_payload_len) return p2p_fail(noise_error("payload too long for buffer"));
  SecretBytes payload(rest.size() - overhead);
  if (auto r = work.decrypt_and_hash(rest, payload.data()); !r) return p2p_fail(r.error());
  ++work.message_index;
  *state_ = std::move(work);
  return payload;
}

P2PResult<Transport> HandshakeState::into_stateless_transport() const {
  if (!is_finished()) return p2p_fail(noise_error("handshake not finished"));
  Hash k1, k2;
  hkdf2(state_->ck, {}, k1, k2);
  SecretKey first(std::span<const std::uint8_t, KEY_LEN>(k1.data(), KEY_LEN));
  SecretKey second(std::span<const std::uint8_t, KEY_LEN>(k2.data(), KEY_LEN));
  sodium_memzero(k1.data(), k1.size());
  sodium_memzero(k2.data(), k2.size());
  const bool initiator = role_ == Role::Initiator;
  const SecretKey& receive_key = initiator ? second : first;

  std::unique_ptr<evp_cipher_ctx_st, Transport::ContextFree> receive(EVP_CIPHER_CTX_new());
  if (!receive || EVP_DecryptInit_ex(receive.get(), EVP_chacha20_poly1305(), nullptr, receive_key.data(), nullptr) != 1) {
    return p2p_fail(noise_error("cipher unavailable"));
  }
  return Transport(initiator ? std::move(first) : std::move(second), std::move(receive));
}

void Transport::ContextFree::operator()(evp_cipher_ctx_st* ctx) const {
  EVP_CIPHER_CTX_free(ctx);  // cleanses the key schedule
}

Transport::Transport(Transport&&) noexcept = default;
Transport& Transport::operator=(Transport&&) noexcept = default;
Transport::~Transport() = default;

P2PResult<std::size_t> Transport::encrypt(std::uint64_t nonce, std::span<const std::uint8_t> plaintext,
                                          std::span<std::uint8_t> out) const {
  if (nonce == RESERVED_NONCE) return p2p_fail(noise_error("reserved nonce"));
  if (plaintext.size() > MAX_MESSAGE_LEN - TAG_LEN) return p2p_fail(noise_error("message too long"));
  if (out.size() < plaintext.size() + TAG_LEN) return p2p_fail(noise_error("output buffer too small"));
  if (!aead_encrypt(send_.data(), nonce, {}, plaintext, out.data())) return p2p_fail(noise_error("encrypt error"));
  return plaintext.size() + TAG_LEN;
}

P2PResult<std::size_t> Transport::decrypt(std::uint64_t nonce, std::span<const std::uint8_t> ciphertext,
                                          std::span<std::uint8_t> out) const {
  if (nonce == RESERVED_NONCE) return p2p_fail(noise_error("reserved nonce"));
  if (ciphertext.size() < TAG_LEN) return p2p_fail(noise_error("input too short"));
  if (ciphertext.size() > MAX_MESSAGE_LEN) return p2p_fail(noise_error("message too long"));
  const std::size_t len = ciphertext.size() - TAG_LEN;
  if (out.size() < len) return p2p_fail(noise_error("output buffer too small"));
  if (!receive_) return p2p_fail(noise_error("cipher unavailable"));  // moved from
  std::uint8_t iv[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  aead_nonce(nonce, iv);
  EVP_CIPHER_CTX* ctx = receive_.get();
  int written = 0;
  bool ok = EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1;
  if (ok && len > 0) ok = EVP_DecryptUpdate(ctx, out.data(), &written, ciphertext.data(), static_cast<int>(len)) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, TAG_LEN,
                                 const_cast<std::uint8_t*>(ciphertext.data() + len)) == 1;
  ok = ok && EVP_DecryptFinal_ex(ctx, out.data() + written, &written) == 1;
  if (!ok) {
    // The bytes were deciphered before the tag was checked: none may leak out.
    if (len > 0) sodium_memzero(out.data(), len);
    return p2p_fail(noise_error("decrypt error"));
  }
  return len;
}

}  // namespace kio::p2p::noise
