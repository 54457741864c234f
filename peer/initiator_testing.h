// For tests only: an initiator whose handshake uses a fixed ephemeral key, so
// that its messages are the same on every run (see p2p/noise_testing.h).
#pragma once

#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/noise_testing.h"
#include "peer/initiator.h"

namespace kio::peer {

struct InitiatorTestSeam {
  // Refused once the session has written its first message.
  static p2p::P2PResult<void> use_fixed_ephemeral(InitiatorSession& session, const SecretKey& ephemeral) {
    if (!session.handshake_) return p2p::p2p_fail(p2p::P2PError(p2p::P2PErrorKind::HandshakeNotComplete));
    return p2p::noise::HandshakeTestSeam::use_fixed_ephemeral(*session.handshake_, ephemeral);
  }
};

}  // namespace kio::peer
