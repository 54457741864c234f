// Every program answers --version with its name and the project's version, as
// Debian's tools do, without reading standard input or touching any install.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "common/version.h"
#include "tests/support/test_support.h"

namespace kio {
namespace {

// MAJOR.MINOR.PATCH, each a run of digits.
bool is_three_part_version(std::string_view v) {
  if (std::count(v.begin(), v.end(), '.') != 2 || v.front() == '.' || v.back() == '.') return false;
  if (v.find("..") != std::string_view::npos) return false;
  return std::all_of(v.begin(), v.end(), [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

TEST(Version, EveryProgramNamesItselfAndTheProjectVersion) {
  ASSERT_TRUE(is_three_part_version(project_version())) << project_version();
  for (const std::string program : {"kio-connector", "kio-install", "kio-peer", "kio-ltr"}) {
    SCOPED_TRACE(program);
    test::TempDir home;
    test::RunOptions options;
    options.args = {"--version"};
    options.env["HOME"] = home.path().string();  // an empty HOME: no install to find or create
    const auto r = test::run_program(test::binary_path(program), options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, program + " " + project_version() + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
  }
}

}  // namespace
}  // namespace kio
