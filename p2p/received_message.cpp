#include "p2p/received_message.h"

#include "p2p/kiofeature_frame.h"

namespace kio::p2p {

P2PResult<KioFeatureFrame> ReceivedMessage::as_kiofeature_frame() const {
  return KioFeatureFrame::decode_exact(payload);
}

}  // namespace kio::p2p
