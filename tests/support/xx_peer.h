// A peer of the connector under test: an XX initiator with a fresh static key,
// connected over UDP to 127.0.0.1, and the feature frames it sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "peer/peer_client.h"

namespace kio::test {

inline constexpr const char* kPeerParticipantId = "01939a3c-7000-7abc-8def-0123456789ab";

// Completes an XX handshake with the connector listening on `port`; throws
// std::runtime_error with the error's display text when it cannot.
peer::PeerClient connect_xx(std::uint16_t port, std::uint64_t session_id,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Sends `payload` as a feature frame of `feature_id` (a UUID text) on `channel`;
// false when the send failed.
bool send_feature_frame(peer::PeerClient& client, const std::string& feature_id, const std::string& payload,
                        std::uint8_t channel = 0);

}  // namespace kio::test
