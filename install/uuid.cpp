#include "install/uuid.h"

#include <chrono>
#include <cstdint>

#include "common/sodium_ready.h"
#include "install/crypto.h"

namespace kio::install {

std::string new_uuid_v7() {
  sodium_ready();
  std::uint8_t b[16];
  randombytes_buf(b, sizeof b);
  const auto ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  for (int i = 0; i < 6; ++i) b[i] = static_cast<std::uint8_t>(ms >> (8 * (5 - i)));
  b[6] = static_cast<std::uint8_t>(0x70 | (b[6] & 0x0F));
  b[8] = static_cast<std::uint8_t>(0x80 | (b[8] & 0x3F));
  const std::string hex = hex_encode(b);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20, 12);
}

}  // namespace kio::install
