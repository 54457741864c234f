// The error type of the p2p library, the chunk decoder and the bootstrap stream.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kio::p2p {

enum class P2PErrorKind {
  Io,
  Noise,
  Lmdb,
  NoSuchSession,
  HandshakeNotComplete,
  WireFormat,
  StoreFormat,
  StoreUnlockFailed,
  InvalidSessionIdentity,
  InvalidParticipantId,
  InvalidFeatureId,
  RelationshipNotAccepted,
  RemoteIdentityMismatch,
  RelationshipConflict,
  MessageTooLarge,
  Protocol,
  SimultaneousOpen,
  Other,
};

class P2PError {
 public:
  P2PError(P2PErrorKind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  static P2PError io(std::string text) { return {P2PErrorKind::Io, std::move(text)}; }
  static P2PError noise(std::string text) { return {P2PErrorKind::Noise, std::move(text)}; }
  static P2PError wire_format(std::string message) { return {P2PErrorKind::WireFormat, std::move(message)}; }
  static P2PError protocol(std::string message) { return {P2PErrorKind::Protocol, std::move(message)}; }
  // `address` is the peer's socket address in its standard text form.
  static P2PError simultaneous_open(std::string address) {
    return {P2PErrorKind::SimultaneousOpen, std::move(address)};
  }
  static P2PError other(std::string text) { return {P2PErrorKind::Other, std::move(text)}; }

  P2PErrorKind kind() const { return kind_; }
  // The carried value (socket or Noise text, fixed message, address), empty for plain kinds.
  const std::string& text() const { return text_; }
  // The fixed display text of the kind, with the carried value filled in.
  std::string display() const;

  bool operator==(const P2PError&) const = default;

 private:
  P2PErrorKind kind_;
  std::string text_;
};

template <class T>
using P2PResult = std::expected<T, P2PError>;

inline std::unexpected<P2PError> p2p_fail(P2PError error) { return std::unexpected(std::move(error)); }

}  // namespace kio::p2p
