// For tests only. Published Noise test vectors are made with fixed ephemeral
// keys, so reproducing them byte for byte needs a handshake whose e token uses a
// given key instead of a fresh one. Nothing outside tests and fuzz targets
// includes this header; HandshakeConfig has no such field, so a real session
// always draws its ephemeral from the operating system's random bytes.
#pragma once

#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/noise.h"

namespace kio::p2p::noise {

struct HandshakeTestSeam {
  // The handshake's e token will use `ephemeral`. Refused once the handshake
  // has written its e.
  static P2PResult<void> use_fixed_ephemeral(HandshakeState& handshake, const SecretKey& ephemeral) {
    return handshake.use_fixed_ephemeral(ephemeral);
  }
};

}  // namespace kio::p2p::noise
