// kio-install: creates an install the connector can serve: the "persist"
// directory, a sealed "identity.json", and a keys file for the connector's stdin.
#include <sodium.h>

#include <cstdio>
#include <filesystem>

#include "common/bytes.h"
#include "common/sodium_ready.h"
#include "common/uuid.h"
#include "install/paths.h"
#include "install/persist/persist.h"
#include "install/persist/store_lock.h"
#include "p2p/relationship.h"
#include "tools/lib/tool_support.h"

namespace fs = std::filesystem;
using namespace kio;

namespace {

constexpr const char* kTool = "kio-install";
constexpr const char* kUsage =
    "usage: kio-install --keys-out FILE [--root PATH | --participant NAME] [--username NAME]\n"
    "                   [--keys-in FILE] [--founder-id UUID]\n"
    "\n"
    "Creates an install root (by default HOME/Library/Application Support/Marrowlark/\n"
    "test/participants/default) with persist/identity.json sealed under a wrap key, and\n"
    "writes the connector's two key lines (noise key, wrap key; mode 0600) to --keys-out.\n"
    "Fresh keys are generated unless --keys-in names an existing keys file.\n"
    "Then: kio-connector --root PATH < FILE\n";

}  // namespace

int main(int argc, char** argv) {
  sodium_ready();
  tools::answer_help_or_version(argc, argv, kTool, kUsage);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  auto args = tools::parse_args(argc, argv, 1,
                                {"--root", "--participant", "--username", "--keys-out", "--keys-in", "--founder-id"}, {});
  if (!args) tools::exit_usage(kTool, args.error(), kUsage);
  if (!args->positional.empty()) tools::exit_usage(kTool, "unexpected argument " + args->positional.front(), kUsage);
  const auto keys_out = args->value("--keys-out");
  if (!keys_out) tools::exit_usage(kTool, "--keys-out FILE is required", kUsage);
  if (args->value("--root") && args->value("--participant")) {
    tools::exit_usage(kTool, "give either --root or --participant", kUsage);
  }

  auto root = tools::resolve_install_root(*args, /*must_exist=*/false);
  if (!root) tools::exit_error(kTool, root.error());
  const fs::path persist = install::persist_root(*root);
  const fs::path identity_path = persist / "identity.json";
  // A root whose store another process holds (a running connector) is not touched.
  const auto store_lock = install::lock_store(persist, root->string());
  if (!store_lock) tools::exit_error(kTool, store_lock.error());
  std::error_code ec;
  if (fs::exists(identity_path, ec)) {
    tools::exit_error(kTool, identity_path.string() + " already exists; an install's identity is never replaced");
  }

  install::InstallKeys keys;
  if (auto keys_in = args->value("--keys-in")) {
    auto read = tools::read_keys_file(*keys_in);
    if (!read) tools::exit_error(kTool, read.error());
    keys = std::move(*read);
  } else {
    randombytes_buf(keys.noise_key.data(), 32);
    randombytes_buf(keys.wrap_key.data(), 32);
  }

  const std::string founder_id = args->value("--founder-id").value_or(format_uuid(new_uuid_v7()));
  const std::string username = args->value("--username").value_or("user");
  if (auto founder = p2p::ParticipantId::from_str(founder_id); !founder) {
    tools::exit_usage(kTool, "--founder-id must be a lowercase UUIDv7", kUsage);
  }

  if (auto written = tools::write_keys_file(*keys_out, keys); !written) tools::exit_error(kTool, written.error());
  // The store's own writer: the persist directory and the file end up owner-only.
  auto written = install::write_identity(persist, keys.wrap_key, install::InstallIdentity{username, founder_id});
  if (!written) tools::exit_error(kTool, identity_path.string() + ": " + written.error());

  std::uint8_t public_key[32];
  crypto_scalarmult_base(public_key, keys.noise_key.data());
  std::printf("root=%s\nfounder_id=%s\nkeys=%s\nnoise_public_key=%s\n", root->c_str(), founder_id.c_str(),
              keys_out->c_str(), hex_encode(public_key).c_str());
  return 0;
}
