#include "p2p/identity.h"

#include <sodium.h>

#include "common/sodium_ready.h"

namespace kio::p2p {

P2PResult<SessionIdentity> SessionIdentity::from_unsealed_private_key(SecretKey private_key) {
  sodium_ready();
  static_assert(crypto_scalarmult_BYTES == std::tuple_size_v<StaticKey>);
  StaticKey public_key;
  if (crypto_scalarmult_base(public_key.data(), private_key.data()) != 0) {
    return p2p_fail(P2PError(P2PErrorKind::InvalidSessionIdentity));
  }
  return SessionIdentity(std::move(private_key), public_key);
}

}  // namespace kio::p2p
