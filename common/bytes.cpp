#include "common/bytes.h"

#include <sodium.h>

namespace kio {

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
  out.pop_back();  // the terminating NUL
  return out;
}

}  // namespace kio
