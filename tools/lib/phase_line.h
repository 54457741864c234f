// A phase of a tool's work shown on the terminal (hashing, sending, waiting for
// the landing): one line on standard output, rewritten in place while the phase
// runs and ended with a line feed when it ends. Nothing is shown when the line
// is not to be shown (standard output is not a terminal), so that what a
// script reads stays as it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kio::tools {

class PhaseLine {
 public:
  PhaseLine(bool shown, std::string name);
  PhaseLine(const PhaseLine&) = delete;
  PhaseLine& operator=(const PhaseLine&) = delete;
  ~PhaseLine() { end(); }

  // Seconds since the phase began.
  double seconds() const;

  // `done` of `total` bytes: a bar, the rate so far and the time left.
  void bytes(std::uint64_t done, std::uint64_t total);
  // The time waited, against the longest wait.
  void waited(std::chrono::seconds limit);
  // The phase's last state and a line feed: for bytes, the total rate and the time taken.
  void end_bytes(std::uint64_t done, std::uint64_t total);
  void end_with(const std::string& outcome);
  void end();
  // Ends whatever line is open, so that an error starts on a line of its own.
  static void end_open();

  // "[####......]  12.5%    98.3 MB/s  3 s left", or "... in 1.25 s" once finished.
  static std::string bytes_text(std::uint64_t done, std::uint64_t total, double elapsed, bool finished);

 private:
  using Clock = std::chrono::steady_clock;

  // At most ten redraws a second.
  bool due();
  void draw(const std::string& text);

  static inline PhaseLine* open_ = nullptr;
  bool shown_;
  std::string name_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point next_draw_ = start_ + std::chrono::milliseconds(100);  // the first after a rate can be told
  std::size_t drawn_ = 0;
};

}  // namespace kio::tools
