// kio-ltr: reads an install's long-term record with the wrap key from a keys
// file. Secret values are never printed.
#include <cstdio>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "common/file_io.h"
#include "install/paths.h"
#include "install/persist/blobs.h"
#include "install/persist/persist.h"
#include "tools/lib/tool_support.h"

using namespace kio;

namespace {

constexpr const char* kTool = "kio-ltr";
constexpr const char* kUsage =
    "usage: kio-ltr verify|list|blobs --keys FILE [--root PATH | --participant NAME]\n"
    "\n"
    "  verify  check the whole hash chain, open every event, and check every\n"
    "          recorded blob file against its latest record; prints each blob\n"
    "          file that does not match; exit 0 when all holds, 1 otherwise\n"
    "  list    print every event in chain order (secret values are redacted)\n"
    "  blobs   print the blobs the log records, one per id\n"
    "\n"
    "FILE holds the two key lines the connector reads (only the wrap key is used).\n"
    "A damaged log is reported with its segment file and line. kio-ltr only reads:\n"
    "it changes nothing in the install and takes no lock.\n";

void print_blob_header() { std::printf("%-38s %-8s %-9s %-64s %s\n", "blob_id", "class", "encrypted", "sha256", "url"); }

void print_blob(const install::BlobRecord& r) {
  std::printf("%-38s %-8s %-9s %-64s %s\n", r.blob_id.c_str(), r.class_name.c_str(), r.encrypted ? "yes" : "no",
              r.sha256.c_str(), r.url.c_str());
}

std::string describe(std::uint64_t sequence, const install::LtrPayload& event) {
  char head[64];
  std::snprintf(head, sizeof head, "%-5llu ", static_cast<unsigned long long>(sequence));
  std::string line = head;
  if (const auto* blob = std::get_if<install::BlobRecord>(&event)) {
    char kind[32];
    std::snprintf(kind, sizeof kind, "%-20s ", blob->kind.c_str());
    return line + kind + "blob_id=" + blob->blob_id + " class=" + blob->class_name +
           " encrypted=" + (blob->encrypted ? "true" : "false") + " sha256=" + blob->sha256 + " url=" + blob->url;
  }
  const auto& secret = std::get<install::SecretEvent>(event);
  char kind[32];
  std::snprintf(kind, sizeof kind, "%-20s ", secret.kind.c_str());
  return line + kind + "label=" + secret.label + " value=<redacted>";
}

}  // namespace

int main(int argc, char** argv) {
  tools::answer_help_or_version(argc, argv, kTool, kUsage);
  if (argc < 2) tools::exit_usage(kTool, "a command is required", kUsage);
  const std::string command = argv[1];
  if (command == "help") {
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
  auto store = install::Persist::open_read_only(install::persist_root(*root), std::move(keys->wrap_key));
  if (!store) tools::exit_error(kTool, store.error());

  // One pass over the log: every frame verified and opened, the latest record
  // of each blob kept, and (for list) each event described.
  std::map<std::string, install::BlobRecord> blobs;
  std::vector<std::string> lines;
  auto frames = store->visit_events([&](std::uint64_t sequence, install::LtrPayload& event) {
    if (command == "list") lines.push_back(describe(sequence, event));
    if (auto* record = std::get_if<install::BlobRecord>(&event); record && install::is_listed_blob(*record)) {
      std::string id = record->blob_id;
      blobs.insert_or_assign(std::move(id), std::move(*record));
    }
  });
  if (!frames) tools::exit_error(kTool, frames.error().located());

  if (command == "list") {
    std::printf("%-5s %-20s %s\n", "seq", "kind", "detail");
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    return 0;
  }
  if (command == "blobs") {
    print_blob_header();
    for (const auto& [id, record] : blobs) print_blob(record);
    return 0;
  }

  // verify: each recorded blob file against its latest record, as a file-system
  // check would; every one that does not hold is reported.
  std::size_t mismatched = 0;
  for (const auto& [id, record] : blobs) {
    // The connector may be writing while this runs: a file is judged against
    // the log as it stands when the file is looked at, not only this snapshot.
    if (auto checked = store->audit_blob_file(record, *frames); !checked) {
      std::printf("blob %s: %s\n", id.c_str(), checked.error().c_str());
      ++mismatched;
    }
  }
  if (mismatched != 0) {
    std::fflush(stdout);
    tools::exit_error(kTool, std::to_string(mismatched) + " of " + std::to_string(blobs.size()) +
                                 " recorded blob files do not match their records");
  }
  std::printf("ok: %llu frames, chain verified, every event opened, every blob file matches its record (%zu)\n",
              static_cast<unsigned long long>(*frames), blobs.size());
  return 0;
}
