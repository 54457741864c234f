#include "common/os_error.h"

#include <cerrno>

namespace kio {

std::string os_error_text(int err) {
  return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

std::string os_error_text(const std::error_code& ec) {
  if (ec.category() == std::generic_category() || ec.category() == std::system_category()) {
    return os_error_text(ec.value());
  }
  return ec.message();
}

std::string last_os_error_text() { return os_error_text(errno); }

}  // namespace kio
