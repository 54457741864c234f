#include <cstdio>
#include <string>
#include <vector>

#include "connector/key_intake.h"
#include "install/paths.h"

namespace {

int fail_startup(const std::string& message) {
  std::fprintf(stderr, "kio-connector: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kio;
  const std::vector<std::string> args(argv + 1, argv + argc);

  auto root = connector::choose_install_root(args);
  if (!root) return fail_startup(root.error());
  if (auto ready = connector::check_ready(*root); !ready) return fail_startup(ready.error());
  install::set_this_install_root(*root);

  auto keys = connector::read_keys_from_stdin(0);
  if (!keys) return fail_startup(keys.error());
  return 0;
}
