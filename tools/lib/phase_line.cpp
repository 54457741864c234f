#include "tools/lib/phase_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kio::tools {

PhaseLine::PhaseLine(bool shown, std::string name) : shown_(shown), name_(std::move(name)) {
  if (shown_) open_ = this;
}

double PhaseLine::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void PhaseLine::bytes(std::uint64_t done, std::uint64_t total) {
  if (!shown_ || !due()) return;
  draw(bytes_text(done, total, seconds(), false));
}

void PhaseLine::waited(std::chrono::seconds limit) {
  if (!shown_ || !due()) return;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f s (at most %lld s)", seconds(), static_cast<long long>(limit.count()));
  draw(text);
}

void PhaseLine::end_bytes(std::uint64_t done, std::uint64_t total) {
  if (shown_ && open_ == this) draw(bytes_text(done, total, seconds(), true));
  end();
}

void PhaseLine::end_with(const std::string& outcome) {
  if (shown_ && open_ == this) draw(outcome);
  end();
}

void PhaseLine::end() {
  if (!shown_ || open_ != this) return;
  open_ = nullptr;
  if (drawn_ == 0) return;
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PhaseLine::end_open() {
  if (open_) open_->end();
}

bool PhaseLine::due() {
  const auto now = Clock::now();
  if (now < next_draw_) return false;
  next_draw_ = now + std::chrono::milliseconds(100);
  return true;
}

std::string PhaseLine::bytes_text(std::uint64_t done, std::uint64_t total, double elapsed, bool finished) {
  constexpr int width = 30;
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = std::clamp(static_cast<int>(fraction * width), 0, width);
  const double bytes_per_second = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  char tail[48];
  if (finished) {
    std::snprintf(tail, sizeof tail, "in %.2f s", elapsed);
  } else if (bytes_per_second <= 0) {
    std::snprintf(tail, sizeof tail, "? s left");
  } else {
    const auto left =
        static_cast<long long>(std::ceil(static_cast<double>(total - std::min(done, total)) / bytes_per_second));
    if (left >= 3600) {
      std::snprintf(tail, sizeof tail, "%lld:%02lld:%02lld left", left / 3600, left / 60 % 60, left % 60);
    } else if (left >= 60) {
      std::snprintf(tail, sizeof tail, "%lld:%02lld left", left / 60, left % 60);
    } else {
      std::snprintf(tail, sizeof tail, "%lld s left", left);
    }
  }
  char text[160];
  std::snprintf(text, sizeof text, "[%s%s] %5.1f%% %7.1f MB/s  %s", std::string(filled, '#').c_str(),
                std::string(width - filled, '.').c_str(), fraction * 100.0, bytes_per_second / 1e6, tail);
  return text;
}

void PhaseLine::draw(const std::string& text) {
  std::string line = name_;
  line.resize(std::max<std::size_t>(line.size() + 2, 25), ' ');
  line += text;
  // Spaces over what a longer earlier line left.
  const std::size_t length = line.size();
  if (length < drawn_) line.append(drawn_ - length, ' ');
  drawn_ = length;
  std::fprintf(stdout, "\r%s", line.c_str());
  std::fflush(stdout);
}

}  // namespace kio::tools
