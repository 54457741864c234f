#include "p2p/error.h"

namespace kio::p2p {

std::string P2PError::display() const {
  switch (kind_) {
    case P2PErrorKind::Io: return "IO error: " + text_;
    case P2PErrorKind::Noise: return "Noise error: " + text_;
    case P2PErrorKind::NoSuchSession: return "No such session";
    case P2PErrorKind::HandshakeNotComplete: return "Handshake not complete";
    case P2PErrorKind::WireFormat: return "Wire format error: " + text_;
    case P2PErrorKind::InvalidSessionIdentity: return "Invalid session identity";
    case P2PErrorKind::InvalidParticipantId: return "Invalid participant UUIDv7";
    case P2PErrorKind::InvalidFeatureId: return "Invalid feature UUIDv7";
    case P2PErrorKind::RelationshipNotAccepted: return "Known relationship is missing or not accepted";
    case P2PErrorKind::RemoteIdentityMismatch: return "Stored remote static identity does not match";
    case P2PErrorKind::MessageTooLarge: return "message exceeds the configured maximum";
    case P2PErrorKind::Protocol: return "protocol failure: " + text_;
    case P2PErrorKind::SimultaneousOpen: return "Simultaneous-open session collision with " + text_;
    case P2PErrorKind::Other: return text_;
  }
  return text_;
}

}  // namespace kio::p2p
