#include "p2p/session_table.h"

#include <utility>

namespace kio::p2p {
namespace {

bool is_handshaking(const PeerSession& session) { return session.state() == PeerSession::State::Handshaking; }

}  // namespace

PeerSession* SessionTable::find(std::uint64_t session_id) {
  const auto it = sessions_.find(session_id);
  return it == sessions_.end() ? nullptr : &it->second;
}

const PeerSession* SessionTable::find(std::uint64_t session_id) const {
  const auto it = sessions_.find(session_id);
  return it == sessions_.end() ? nullptr : &it->second;
}

std::optional<std::uint64_t> SessionTable::for_address(const SocketAddress& address) const {
  const auto it = by_address_.find(address);
  if (it == by_address_.end()) return std::nullopt;
  return it->second;
}

void SessionTable::insert(PeerSession session, Clock::time_point now) {
  evict_for_new_session();
  const std::uint64_t session_id = session.session_id();
  session.set_started(now);
  if (is_handshaking(session)) ++handshaking_;
  by_address_.insert_or_assign(session.peer_address(), session_id);
  sessions_.emplace(session_id, std::move(session));
  creation_order_.push_back(session_id);
}

P2PResult<std::optional<std::vector<std::uint8_t>>> SessionTable::read_handshake_message(
    PeerSession& session, std::span<const std::uint8_t> message) {
  const bool before = is_handshaking(session);
  auto reply = session.read_handshake_message(message);
  const bool after = is_handshaking(session);
  if (before && !after) --handshaking_;
  if (!before && after) ++handshaking_;
  return reply;
}

void SessionTable::forget(const PeerSession& session) {
  if (is_handshaking(session)) --handshaking_;
  // Only the address the session was set up from can name it, and only while no
  // later session took that address over.
  if (const auto it = by_address_.find(session.peer_address());
      it != by_address_.end() && it->second == session.session_id()) {
    by_address_.erase(it);
  }
  if (reporter_ != nullptr && session.state() == PeerSession::State::Transport) {
    reporter_->session_ended(session.session_id());
  }
}

void SessionTable::remove(std::uint64_t session_id) {
  const auto it = sessions_.find(session_id);
  if (it == sessions_.end()) return;
  forget(it->second);
  sessions_.erase(it);
}

SweepCounts SessionTable::sweep(Clock::time_point now) {
  SweepCounts swept;
  std::erase_if(sessions_, [&](const auto& entry) {
    const PeerSession& session = entry.second;
    if (session.state() == PeerSession::State::Transport) {
      if (now - session.last_active() < SESSION_IDLE_TIMEOUT) return false;
      ++swept.idle_sessions;
    } else {
      if (now - session.started_at() < HANDSHAKE_TIMEOUT) return false;
      ++swept.handshakes;
    }
    forget(session);
    return true;
  });
  // Ids of sessions gone by any road; kept short so that a stream of handshakes
  // past one long-lived session cannot grow it.
  std::erase_if(creation_order_, [this](std::uint64_t id) { return !sessions_.contains(id); });
  return swept;
}

template <typename Pick>
bool SessionTable::evict_oldest(const Pick& pick) {
  for (auto it = creation_order_.begin(); it != creation_order_.end(); ++it) {
    const auto session = sessions_.find(*it);
    if (session != sessions_.end() && pick(session->second)) {
      remove(*it);
      creation_order_.erase(it);
      return true;
    }
  }
  return false;
}

void SessionTable::evict_for_new_session() {
  while (!creation_order_.empty() && !sessions_.contains(creation_order_.front())) creation_order_.pop_front();
  if (handshaking_ >= limits_.max_handshaking) evict_oldest(is_handshaking);
  if (sessions_.size() < limits_.max_sessions) return;
  // Established sessions are the valuable ones: a half-open (or failed)
  // handshake gives way first, and only when there is none the oldest session.
  if (evict_oldest([](const PeerSession& session) { return session.state() != PeerSession::State::Transport; })) {
    return;
  }
  evict_oldest([](const PeerSession&) { return true; });
}

}  // namespace kio::p2p
