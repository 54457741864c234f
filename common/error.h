// The error value of every fallible operation outside the transport: the text
// a user is shown, exactly as it is reported, and a code that a caller tests
// instead of the text. A failure of the operating system carries its errno
// (generic category); any other failure carries no code (value 0).
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace kio {

class Error {
 public:
  Error() = default;
  // A failure that only its text describes.
  Error(std::string message) : message_(std::move(message)) {}
  Error(const char* message) : message_(message) {}
  Error(std::string message, std::error_code code) : message_(std::move(message)), code_(code) {}

  const std::string& message() const { return message_; }
  // The operating system's code, or none (a false code).
  std::error_code code() const { return code_; }
  // Whether this is the operating system's failure `condition`.
  bool is(std::errc condition) const { return code_ == condition; }

  // Where a text is wanted, an error reads as its message.
  operator const std::string&() const { return message_; }
  operator std::string_view() const { return message_; }
  const char* c_str() const { return message_.c_str(); }

  // Errors compare by what they show.
  friend bool operator==(const Error& e, std::string_view text) { return e.message_ == text; }
  friend std::string operator+(std::string text, const Error& e) { return std::move(text) += e.message_; }
  friend std::string operator+(const Error& e, std::string_view text) {
    std::string joined = e.message_;
    return joined += text;
  }
  friend std::ostream& operator<<(std::ostream& out, const Error& e) { return out << e.message_; }

 private:
  std::string message_;
  std::error_code code_;
};

}  // namespace kio
