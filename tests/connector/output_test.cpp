#include "connector/output.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace kio::connector {
namespace {

extern "C" void ignore_signal(int) {}

// A signal that arrives while the reader of standard output is slow (here a
// handler that does not restart calls, and a pipe with little room) must not cut
// the report line: it is written whole, however often the write is interrupted.
TEST(Output, ALineIsWrittenWholeThroughInterruptions) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  (void)::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  std::FILE* out = ::fdopen(fds[1], "w");
  ASSERT_NE(out, nullptr);
  std::setvbuf(out, nullptr, _IOLBF, 0);
  struct sigaction action {}, previous{};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  const std::string value(200000, 'v');
  std::atomic<bool> done = false;
  bool written = false;
  std::thread writer([&] {
    written = Output{out, stderr}.line("blob_received", value);
    done = true;
  });
  for (int i = 0; i < 30 && !done; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::pthread_kill(writer.native_handle(), SIGUSR1);
  }
  std::string received;
  char buffer[65536];
  while (received.find('\n') == std::string::npos) {
    if (done && received.size() >= value.size()) break;
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    if (done) {
      // Whatever the writer left behind is in the pipe already.
      ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
  }
  writer.join();
  std::fclose(out);
  ::fcntl(fds[0], F_SETFL, 0);
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_TRUE(written);
  EXPECT_EQ(received.size(), std::string("blob_received=").size() + value.size() + 1);
  EXPECT_TRUE(received == "blob_received=" + value + "\n");
}

}  // namespace
}  // namespace kio::connector
