// Errors are values: every fallible operation outside the transport returns its
// result or one error text (the transport has its own error type, P2PError).
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kio {

template <class T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace kio
