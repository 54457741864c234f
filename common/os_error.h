#pragma once

#include <string>
#include <system_error>

namespace kio {

// "<description> (os error N)", the one text every operating-system failure is reported with.
std::string os_error_text(int err);
std::string os_error_text(const std::error_code& ec);
// The text of the current errno.
std::string last_os_error_text();

}  // namespace kio
