// Runs the real kio-connector and compares standard error and the exit status
// of every failure before the store is opened.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio {
namespace {

const std::string kKey(64, 'a');

struct Install {
  test::TempDir home;
  fs::path root() const { return home / "install"; }
  Install() { fs::create_directories(root() / "persist"); }
};

test::RunResult run_connector(const Install& install, std::vector<std::string> args,
                              std::optional<std::string> stdin_text, std::optional<fs::path> cwd = std::nullopt) {
  test::RunOptions options;
  options.args = std::move(args);
  options.stdin_text = std::move(stdin_text);
  options.env["HOME"] = install.home.path().string();
  options.cwd = cwd;
  return test::run_program(test::binary_path("kio-connector"), options);
}

void expect_failure(const test::RunResult& r, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kio-connector: " + message + "\n");
  EXPECT_EQ(r.out, "");
}

TEST(KeyIntake, RefusesEveryOtherArgumentForm) {
  Install install;
  const std::string root = install.root().string();
  const std::vector<std::vector<std::string>> forms = {
      {"--root"}, {"--root", root, "extra"}, {"--root=" + root}, {"-r", root}, {"--ROOT", root}, {root},
      {"--help"},
  };
  for (const auto& args : forms) {
    SCOPED_TRACE(args.front());
    expect_failure(run_connector(install, args, kKey + "\n" + kKey + "\n"), "usage: kio-connector [--root PATH]");
  }
}

TEST(KeyIntake, ChoosesTheFirstParticipantInstall) {
  Install install;
  const fs::path parts = install.home / "Library/Application Support/Marrowlark/test/participants";
  // Without HOME there is nowhere to look.
  test::RunOptions no_home;
  no_home.env["HOME"] = std::nullopt;
  no_home.stdin_text = "";
  expect_failure(test::run_program(test::binary_path("kio-connector"), no_home), "HOME is not set");

  expect_failure(run_connector(install, {}, ""), "no participants under test/participants");
  // "a" sorts before "b" and has no persist directory, so it is chosen and refused.
  fs::create_directories(parts / "b" / "persist");
  fs::create_directories(parts / "a");
  expect_failure(run_connector(install, {}, ""), "install root is not a ready connector");
}

TEST(KeyIntake, ReadinessComesBeforeTheKeys) {
  Install install;
  fs::remove_all(install.root() / "persist");
  test::write_file(install.root() / "persist", "a file, not a directory");
  expect_failure(run_connector(install, {"--root", install.root().string()}, "garbage\n"),
                 "install root is not a ready connector");
  // An empty root is the working directory itself.
  expect_failure(run_connector(install, {"--root", ""}, std::nullopt, install.home.path()),
                 "install root is not a ready connector");
  fs::create_directories(install.home / "persist");
  expect_failure(run_connector(install, {"--root", ""}, "", install.home.path()), "noise key missing on stdin");
}

TEST(KeyIntake, JudgesBothLinesInOrder) {
  Install install;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "noise key missing on stdin"},
      {kKey, "wrap key missing on stdin"},
      {kKey + "\n", "wrap key missing on stdin"},
      {"\n" + kKey + "\n", "noise key must be 32 bytes"},
      {kKey + "\n\n", "wrap key must be 32 bytes"},
      {kKey + "\n" + std::string(62, 'b'), "wrap key must be 32 bytes"},
      {std::string(63, 'a') + "\ngarbage\n", "hex length is not even"},
      {kKey + "\nzz" + std::string(62, 'a') + "\n", "hex contains a non-hex character"},
      {"zz\n" + std::string(63, 'a'), "hex contains a non-hex character"},  // both decoded before lengths
      {"00\nzz\n", "hex contains a non-hex character"},
      {"00\n" + std::string(3, 'a') + "\n", "hex length is not even"},
      {"00\n00\n", "noise key must be 32 bytes"},
      {"\xff\xfe\n" + kKey + "\n", "stream did not contain valid UTF-8"},
      {kKey + "\n\xc3\n", "stream did not contain valid UTF-8"},
  };
  for (const auto& [input, message] : cases) {
    SCOPED_TRACE(input);
    expect_failure(run_connector(install, {"--root", install.root().string()}, input), message);
  }
}

}  // namespace
}  // namespace kio
