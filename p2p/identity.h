// The local long-term Noise static key pair.
#pragma once

#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/protocol.h"

namespace kio::p2p {

class SessionIdentity {
 public:
  // The key is used exactly as given (X25519 clamps when it multiplies); the public
  // key is its product with the base point.
  static P2PResult<SessionIdentity> from_unsealed_private_key(SecretKey private_key);

  SessionIdentity(SessionIdentity&&) noexcept = default;
  SessionIdentity& operator=(SessionIdentity&&) noexcept = default;
  // One copy of the private key per identity: copies are made only on purpose.
  SessionIdentity(const SessionIdentity&) = delete;
  SessionIdentity& operator=(const SessionIdentity&) = delete;

  const StaticKey& public_key() const { return public_key_; }
  const SecretKey& private_key() const { return private_key_; }

 private:
  SessionIdentity(SecretKey private_key, const StaticKey& public_key)
      : private_key_(std::move(private_key)), public_key_(public_key) {}

  SecretKey private_key_;  // wiped when released
  StaticKey public_key_;
};

}  // namespace kio::p2p
