#pragma once

#include <sodium.h>

namespace kio {

// libsodium picks its fastest implementations in sodium_init; every user of its
// primitives calls this first (a static guard makes the later calls free).
inline void sodium_ready() {
  static const int initialised = sodium_init();
  (void)initialised;
}

}  // namespace kio
