// The error type of the p2p library, the chunk decoder and the bootstrap stream.
#pragma once

#include <expected>
#include <string>
#include <system_error>
#include <utility>

#include "common/error.h"

namespace kio::p2p {

enum class P2PErrorKind {
  Io,
  Noise,
  NoSuchSession,
  HandshakeNotComplete,
  WireFormat,
  InvalidSessionIdentity,
  InvalidParticipantId,
  InvalidFeatureId,
  RelationshipNotAccepted,
  RemoteIdentityMismatch,
  MessageTooLarge,
  Protocol,
  SimultaneousOpen,
  Other,
};

class P2PError {
 public:
  P2PError(P2PErrorKind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  static P2PError io(std::string text) { return {P2PErrorKind::Io, std::move(text)}; }
  static P2PError io(const char* text) { return {P2PErrorKind::Io, text}; }
  // An error of the file layer or the operating system, its code kept.
  static P2PError io(const kio::Error& error) {
    P2PError e(P2PErrorKind::Io, error.message());
    e.code_ = error.code();
    return e;
  }
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
  // For Io, the operating system's code when the failure was one; none otherwise.
  std::error_code code() const { return code_; }
  // Whether this is the operating system's failure `condition`.
  bool is(std::errc condition) const { return code_ == condition; }
  // The fixed display text of the kind, with the carried value filled in.
  std::string display() const;

  // Errors compare by kind and carried text: by what they show.
  bool operator==(const P2PError& o) const { return kind_ == o.kind_ && text_ == o.text_; }

 private:
  P2PErrorKind kind_;
  std::string text_;
  std::error_code code_;
};

template <class T>
using P2PResult = std::expected<T, P2PError>;

inline std::unexpected<P2PError> p2p_fail(P2PError error) { return std::unexpected(std::move(error)); }

}  // namespace kio::p2p
