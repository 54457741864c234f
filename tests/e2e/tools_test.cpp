// The tools as separate processes against a real connector: kio-install, then
// kio-connector, then kio-peer, then kio-ltr.
#include <gtest/gtest.h>

#include "install/crypto.h"
#include "install/json.h"
#include "tests/support/connector_process.h"

namespace fs = std::filesystem;

namespace kio {
namespace {

test::RunResult run_tool(const std::string& tool, std::vector<std::string> args, const fs::path& home) {
  test::RunOptions options;
  options.args = std::move(args);
  options.env["HOME"] = home.string();
  options.stdin_text = "";
  return test::run_program(test::binary_path(tool), options);
}

TEST(Tools, InstallServeSendAndVerify) {
  test::TempDir home;
  const fs::path keys = home / "keys";
  auto installed = run_tool("kio-install", {"--participant", "alice", "--keys-out", keys.string(), "--username", "alice"},
                            home.path());
  ASSERT_EQ(installed.exit_code, 0) << installed.err;
  const fs::path root = home / "Library/Application Support/Marrowlark/test/participants/alice";
  EXPECT_TRUE(installed.out.starts_with("root=" + root.string() + "\n"));
  EXPECT_EQ(test::file_mode(keys), 0600u);
  EXPECT_EQ(test::read_file(keys).size(), 130u);
  EXPECT_EQ(install::json::Json::parse(test::read_file(root / "persist/identity.json"))["version"], 1);
  // An identity is never replaced.
  auto again = run_tool("kio-install", {"--participant", "alice", "--keys-out", (home / "keys2").string()}, home.path());
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_FALSE(fs::exists(home / "keys2"));

  test::ConnectorProcess connector(home.path(), {}, test::read_file(keys));
  connector.await_startup();

  test::write_file(home / "pack.json", R"({"schema":"kio.feature.pack.v1","id":"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
    "blob":"b","class":"feature","short_name":"geo","description":"","geonames_id":42})");
  auto pack = run_tool("kio-peer", {"send-pack", (home / "pack.json").string()}, home.path());
  ASSERT_EQ(pack.exit_code, 0) << pack.err;
  EXPECT_EQ(connector.next_out_line(), "feature_pack_stored=01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");

  auto admit = run_tool("kio-peer", {"send-admit", "--json", R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"maps"})"},
                        home.path());
  ASSERT_EQ(admit.exit_code, 0) << admit.err;
  EXPECT_EQ(connector.next_out_line(), "feature_admitted=maps");

  const fs::path index = home / "index";
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  test::write_file(index / "data.mdb", big);
  test::write_file(index / "lock.mdb", "lock");
  auto sent = run_tool("kio-peer", {"send-index", index.string(), "--root", root.string(), "--wait", "--frame-size", "65536"},
                       home.path());
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  EXPECT_NE(sent.out.find("landed:"), std::string::npos) << sent.out;
  EXPECT_EQ(connector.next_out_line(), "blob_received=01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8");
  EXPECT_EQ(test::read_file(root / "blobs/01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8.lmdb/data.mdb"), big);

  // A stream the connector refuses to land: --wait reports the failure.
  auto refused = run_tool("kio-peer", {"send-index", index.string(), "--root", root.string(), "--wait", "--class", "Bytes"},
                          home.path());
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "kio-peer: landing failed: unsupported blob_class Bytes\n");

  auto verified = run_tool("kio-ltr", {"verify", "--keys", keys.string()}, home.path());
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_EQ(verified.out, "ok: 2 frames, chain verified, every event opened, every blob file matches its record (2)\n");
  auto blobs = run_tool("kio-ltr", {"blobs", "--keys", keys.string(), "--root", root.string()}, home.path());
  EXPECT_EQ(blobs.exit_code, 0);
  EXPECT_NE(blobs.out.find("01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8   bytes"), std::string::npos) << blobs.out;

  // A damaged log: verify fails with the first error, and where it is.
  const fs::path segments = root / "persist/ltr/current";
  const fs::path segment = fs::directory_iterator(segments)->path();
  std::string text = test::read_file(segment);
  text.insert(0, "{\"not\":\"a frame\"}\n");
  test::write_file(segment, text);
  auto broken = run_tool("kio-ltr", {"verify", "--keys", keys.string()}, home.path());
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_EQ(broken.err, "kio-ltr: " + segment.string() + ":1: corrupt LTR frame\n");
}

TEST(Tools, UsageErrorsAndHelp) {
  test::TempDir home;
  const std::vector<std::pair<std::string, std::vector<std::string>>> usage_errors = {
      {"kio-install", {}},
      {"kio-install", {"--keys-out"}},
      {"kio-install", {"--keys-out", "k", "--bogus"}},
      {"kio-peer", {}},
      {"kio-peer", {"fly"}},
      {"kio-peer", {"send-pack"}},
      {"kio-peer", {"send-index", "dir", "--connect", "127.0.0.1:1", "--wait"}},
      {"kio-ltr", {}},
      {"kio-ltr", {"verify"}},
      {"kio-ltr", {"check", "--keys", "k"}},
  };
  // Numbers are taken exactly: no sign, nothing after, no exponent, no "nan".
  const std::vector<std::string> admit = {"send-admit", "--json", "{}", "--connect", "127.0.0.1:1", "--timeout"};
  const std::string index = (home / "index").string();
  test::write_file(home / "index" / "data.mdb", "d");
  std::vector<std::pair<std::string, std::vector<std::string>>> bad_numbers;
  for (const std::string timeout : {"10abc", "-1", "+5", " 5", "0", ""}) {
    bad_numbers.push_back({"kio-peer", admit});
    bad_numbers.back().second.push_back(timeout);
  }
  for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
           {"--frame-size", "4096abc"}, {"--frame-size", "-1"}, {"--frame-size", "+4096"},
           {"--frame-size", "18446744073709551616"}, {"--rate", "10abc"}, {"--rate", "-0"},
           {"--rate", "nan"}, {"--rate", "1e3"}, {"--rate", "."}}) {
    bad_numbers.push_back({"kio-peer", {"send-index", index, "--connect", "127.0.0.1:1", option, value}});
  }
  for (const auto& [tool, args] : bad_numbers) {
    SCOPED_TRACE(args[args.size() - 2] + " \"" + args.back() + "\"");
    auto r = run_tool(tool, args, home.path());
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_TRUE(r.err.starts_with("kio-peer: --")) << r.err;
  }
  for (const auto& [tool, args] : usage_errors) {
    SCOPED_TRACE(tool + " " + (args.empty() ? "" : args.front()));
    auto r = run_tool(tool, args, home.path());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(r.err.starts_with(tool + ": ")) << r.err;
  }
  for (const std::string tool : {"kio-install", "kio-peer", "kio-ltr"}) {
    auto r = run_tool(tool, {"--help"}, home.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.starts_with("usage: " + tool)) << r.out;
  }
  // Runtime errors are one line and status 1.
  auto no_connector = run_tool("kio-peer", {"send-admit", "--json", "{}", "--root", (home / "none").string()}, home.path());
  EXPECT_EQ(no_connector.exit_code, 1);
  EXPECT_EQ(std::count(no_connector.err.begin(), no_connector.err.end(), '\n'), 1) << no_connector.err;
}

// A keys file that cannot be written whole (here a file size limit below its 130
// bytes) is reported with the error that stopped it and not left behind.
TEST(Tools, AKeysFileCutShortIsReportedAndRemoved) {
  test::TempDir home;
  const fs::path keys = home / "keys";
  test::RunOptions options;
  options.args = {"-c", "trap '' XFSZ; exec prlimit --fsize=100 \"$0\" --root \"$1\" --keys-out \"$2\"",
                  test::binary_path("kio-install").string(), (home / "install").string(), keys.string()};
  options.env["HOME"] = home.path().string();
  options.stdin_text = "";
  const auto r = test::run_program("/bin/sh", options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kio-install: " + keys.string() + ": File too large (os error 27)\n");
  EXPECT_FALSE(fs::exists(keys));
}

}  // namespace
}  // namespace kio
