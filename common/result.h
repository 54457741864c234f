// Errors are values: every fallible operation outside the transport returns its
// result or one Error (common/error.h); the transport has its own error type,
// P2PError.
#pragma once

#include <expected>
#include <utility>

#include "common/error.h"

namespace kio {

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }

}  // namespace kio
