#include "connector/output.h"

#include <cerrno>

#include "common/file_io.h"

namespace kio::connector {

bool Output::line(std::string_view name, std::string_view value) const {
  std::string text;
  text.reserve(name.size() + value.size() + 2);
  text.append(name).push_back('=');
  text.append(value).push_back('\n');
  const int fd = ::fileno(out);
  if (fd < 0) {
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return std::fflush(out) == 0 && written;
  }
  // A stop signal that arrives while the reader is slow must not cut the line:
  // whatever the stream still holds goes first, then the whole line with write,
  // which goes on after an interruption or a partial write.
  while (std::fflush(out) != 0) {
    if (errno != EINTR) return false;
    std::clearerr(out);
  }
  return write_all(fd, text).has_value();
}

void Output::error(std::string_view context, std::string_view message) const {
  std::string text = "kio-connector: ";
  text.append(context).append(single_line(message)).push_back('\n');
  std::fwrite(text.data(), 1, text.size(), err);
  std::fflush(err);
}

std::string single_line(std::string_view value) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xF]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace kio::connector
