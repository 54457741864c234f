// Errors are values: every fallible operation of the install library and the
// connector returns its result or one error text.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kio::install {

template <class T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace kio::install
