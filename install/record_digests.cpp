#include "install/record_digests.h"

#include <algorithm>

namespace kio::install {

RecordDigests::RecordDigests(const std::vector<FileStreamEntry>& listed) {
  for (const auto& entry : listed) {
    listed_.insert(entry.name);
    longest_ = std::max(longest_, entry.name.size());
  }
}

bool RecordDigests::name_length(std::uint32_t) {
  name_.clear();
  return true;
}

void RecordDigests::name(std::span<const std::uint8_t> piece) {
  // Only as much of a name as could still match a listed one is kept.
  const std::size_t room = longest_ + 1 - std::min(longest_ + 1, name_.size());
  name_.append(reinterpret_cast<const char*>(piece.data()), std::min(piece.size(), room));
}

bool RecordDigests::body_length(std::uint64_t) {
  // name_ holds the whole name only when it is no longer than the longest listed one.
  hashing_ = name_.size() <= longest_ && listed_.contains(name_);
  return true;
}

bool RecordDigests::body(std::span<const std::uint8_t> piece, std::uint64_t) {
  if (hashing_) sha_.update(piece);
  return true;
}

bool RecordDigests::body_end() {
  if (hashing_) digests_.insert_or_assign(name_, sha_.finish_hex());
  hashing_ = false;
  return true;
}

void RecordDigests::update(std::span<const std::uint8_t> bytes) { reader_.read(bytes, *this); }

}  // namespace kio::install
