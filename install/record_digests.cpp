#include "install/record_digests.h"

#include <algorithm>
#include <cstring>

namespace kio::install {

RecordDigests::RecordDigests(const std::vector<FileStreamEntry>& listed) {
  for (const auto& entry : listed) {
    listed_.push_back(entry.name);
    longest_ = std::max(longest_, entry.name.size());
  }
}

void RecordDigests::finish_body() {
  if (hashing_) digests_.insert_or_assign(name_, sha_.finish_hex());
  hashing_ = false;
  field_ = Field::NameLength;
}

void RecordDigests::update(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (field_ == Field::NameLength || field_ == Field::BodyLength) {
      const std::size_t width = field_ == Field::NameLength ? RECORD_NAME_LENGTH_SIZE : RECORD_BODY_LENGTH_SIZE;
      const std::size_t take = std::min(width - number_filled_, bytes.size());
      std::memcpy(number_ + number_filled_, bytes.data(), take);
      number_filled_ += take;
      bytes = bytes.subspan(take);
      if (number_filled_ < width) continue;
      number_filled_ = 0;
      if (field_ == Field::NameLength) {
        left_ = decode_name_length(std::span(number_).first<RECORD_NAME_LENGTH_SIZE>());
        name_.clear();
        field_ = left_ == 0 ? Field::BodyLength : Field::Name;
      } else {
        left_ = decode_body_length(number_);
        // name_ holds the whole name only when it is no longer than the longest listed one.
        hashing_ = name_.size() <= longest_ && std::find(listed_.begin(), listed_.end(), name_) != listed_.end();
        field_ = Field::Body;
        if (left_ == 0) finish_body();
      }
      continue;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
    if (field_ == Field::Name) {
      // Only as much of a name as could still match a listed one is kept.
      const std::size_t room = longest_ + 1 - std::min(longest_ + 1, name_.size());
      name_.append(reinterpret_cast<const char*>(bytes.data()), std::min(take, room));
    } else if (hashing_) {
      sha_.update(bytes.first(take));
    }
    left_ -= take;
    bytes = bytes.subspan(take);
    if (left_ != 0) continue;
    if (field_ == Field::Name) {
      field_ = Field::BodyLength;
    } else {
      finish_body();
    }
  }
}

}  // namespace kio::install
