// kio-ltr: reads an install's long-term record with the wrap key from a keys
// file. Secret values are never printed.
#include <cstdio>
#include <string>
#include <variant>

#include "common/file_io.h"
#include "install/paths.h"
#include "install/persist/persist.h"
#include "tools/lib/tool_support.h"

using namespace kio;

namespace {

constexpr const char* kTool = "kio-ltr";
constexpr const char* kUsage =
    "usage: kio-ltr verify|list|blobs --keys FILE [--root PATH | --participant NAME]\n"
    "\n"
    "  verify  check the whole hash chain and open every event; exit 0 when sound,\n"
    "          1 with the first error\n"
    "  list    print every event in chain order (secret values are redacted)\n"
    "  blobs   print the blobs the log records, one per id\n"
    "\n"
    "FILE holds the two key lines the connector reads (only the wrap key is used).\n"
    "Opening the store fixes its directory modes as the connector does.\n";

void print_blob_header() { std::printf("%-38s %-8s %-9s %-64s %s\n", "blob_id", "class", "encrypted", "sha256", "url"); }

void print_blob(const install::BlobRecord& r) {
  std::printf("%-38s %-8s %-9s %-64s %s\n", r.blob_id.c_str(), r.class_name.c_str(), r.encrypted ? "yes" : "no",
              r.sha256.c_str(), r.url.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) tools::exit_usage(kTool, "a command is required", kUsage);
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command != "verify" && command != "list" && command != "blobs") {
    tools::exit_usage(kTool, "unknown command " + command, kUsage);
  }
  auto args = tools::parse_args(argc, argv, 2, {"--keys", "--root", "--participant"}, {});
  if (!args) tools::exit_usage(kTool, args.error(), kUsage);
  if (!args->positional.empty()) tools::exit_usage(kTool, "unexpected argument " + args->positional.front(), kUsage);
  const auto keys_path = args->value("--keys");
  if (!keys_path) tools::exit_usage(kTool, "--keys FILE is required", kUsage);

  auto root = tools::resolve_install_root(*args, /*must_exist=*/true);
  if (!root) tools::exit_error(kTool, root.error());
  if (!is_directory_path(install::persist_root(*root))) {
    tools::exit_error(kTool, root->string() + " has no persist directory");
  }
  auto keys = tools::read_keys_file(*keys_path);
  if (!keys) tools::exit_error(kTool, keys.error());
  auto store = install::Persist::open(install::persist_root(*root), std::move(keys->wrap_key));
  if (!store) tools::exit_error(kTool, store.error());

  if (command == "blobs") {
    auto records = store->blob_records();
    if (!records) tools::exit_error(kTool, records.error());
    print_blob_header();
    for (const auto& r : *records) print_blob(r);
    return 0;
  }

  auto frames = store->read_frames();
  if (!frames) tools::exit_error(kTool, frames.error());
  auto events = store->read_payloads();
  if (!events) tools::exit_error(kTool, events.error());
  if (command == "verify") {
    std::printf("ok: %zu frames, chain verified, every event opened\n", events->size());
    return 0;
  }
  std::printf("%-5s %-20s %s\n", "seq", "kind", "detail");
  for (std::size_t i = 0; i < events->size(); ++i) {
    const auto& event = (*events)[i];
    if (const auto* blob = std::get_if<install::BlobRecord>(&event)) {
      std::printf("%-5zu %-20s blob_id=%s class=%s encrypted=%s sha256=%s url=%s\n", i + 1, blob->kind.c_str(),
                  blob->blob_id.c_str(), blob->class_name.c_str(), blob->encrypted ? "true" : "false",
                  blob->sha256.c_str(), blob->url.c_str());
    } else {
      const auto& secret = std::get<install::SecretEvent>(event);
      std::printf("%-5zu %-20s label=%s value=<redacted>\n", i + 1, secret.kind.c_str(), secret.label.c_str());
    }
  }
  return 0;
}
