#pragma once

#include <string>
#include <system_error>

#include "common/error.h"

namespace kio {

// "<description> (os error N)", the one text every operating-system failure is reported with.
std::string os_error_text(int err);
std::string os_error_text(const std::error_code& ec);
// The text of the current errno.
std::string last_os_error_text();

// The failure `err` (an errno value) as an error value: its text and its code.
Error os_error(int err);
Error os_error(const std::error_code& ec);
// The failure of the current errno.
Error last_os_error();

}  // namespace kio
