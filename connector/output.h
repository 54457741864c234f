// The connector's two report channels: name=value lines on standard output and
// "kio-connector: " lines on standard error.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kio::connector {

struct Output {
  std::FILE* out = stdout;
  std::FILE* err = stderr;

  // One "name=value" line. Returns false when the line could not be written.
  bool line(std::string_view name, std::string_view value) const;
  // "kio-connector: " + context + message on standard error. Messages can carry
  // a peer's text (an announced id), so they are kept to one line.
  void error(std::string_view context, std::string_view message) const;
};

// A value that came from a peer, made safe for a one-line report: control
// characters are written as \u00XX so that no peer can start a line of its own.
std::string single_line(std::string_view value);

}  // namespace kio::connector
