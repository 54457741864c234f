#include "common/os_error.h"

#include <cerrno>

namespace kio {

namespace {

bool is_os_category(const std::error_code& ec) {
  return ec.category() == std::generic_category() || ec.category() == std::system_category();
}

}  // namespace

std::string os_error_text(int err) {
  return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

std::string os_error_text(const std::error_code& ec) {
  if (is_os_category(ec)) return os_error_text(ec.value());
  return ec.message();
}

std::string last_os_error_text() { return os_error_text(errno); }

Error os_error(int err) { return Error(os_error_text(err), std::error_code(err, std::generic_category())); }

Error os_error(const std::error_code& ec) {
  if (is_os_category(ec)) return os_error(ec.value());
  return Error(ec.message(), ec);
}

Error last_os_error() { return os_error(errno); }

}  // namespace kio
