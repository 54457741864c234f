// Fresh identifiers for new installs and peers.
#pragma once

#include <string>

namespace kio::install {

// A fresh version-7 UUID (48-bit Unix milliseconds, random rest) in lowercase text.
std::string new_uuid_v7();

}  // namespace kio::install
