// The feature pack: the small JSON document that admits one feature to an
// install. `decode` reads received bytes strictly and admits them, `encode`
// writes the canonical stored bytes, `verify` is the admission check both run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace kio::install {

inline constexpr char FEATURE_PACK_SCHEMA[] = "kio.feature.pack.v1";

struct FeaturePackAction {
  std::uint16_t id = 0;
  std::string name;

  bool operator==(const FeaturePackAction&) const = default;
};

struct FeaturePack {
  std::string schema;
  std::string id;
  std::string blob;
  std::string class_name;  // JSON "class"
  std::string short_name;
  std::string description;
  std::uint64_t geonames_id = 0;
  std::vector<std::string> features;        // empty when absent
  std::vector<FeaturePackAction> actions;   // empty when absent

  // One UTF-8 JSON object, read strictly, then verified. Any reading failure is
  // "feature pack could not be parsed"; admission errors come from `verify`.
  static Result<FeaturePack> decode(std::span<const std::uint8_t> bytes);
  // Verifies, then writes the canonical form: keys in field order, two-space
  // indentation, empty lists left out, no line break after the final brace.
  static Result<std::string> encode(const FeaturePack& pack);
  // Schema, then class, then non-empty id, blob and short name.
  static Result<void> verify(const FeaturePack& pack);

  bool operator==(const FeaturePack&) const = default;
};

// Overwrites every text of the pack with zeros: a received pack is decrypted
// plaintext, wiped when released like every other.
void wipe(FeaturePack& pack);

}  // namespace kio::install
