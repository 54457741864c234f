#include "common/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace kio {
namespace {

TEST(Uuid, FormatAndParse) {
  const Uuid uuid = {0x01, 0xa0, 0xb0, 0xd4, 0x97, 0xdc, 0x74, 0xa1,
                     0x8e, 0x12, 0x6c, 0x5f, 0x90, 0xb4, 0xd2, 0xe8};
  EXPECT_EQ(format_uuid(uuid), "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8");
  EXPECT_EQ(parse_uuid("01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8"), uuid);
  for (const char* bad : {"", "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e", "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8a",
                          "01a0b0d4097dc-74a1-8e12-6c5f90b4d2e8", "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2eg",
                          "01a0b0d497dc74a18e126c5f90b4d2e8xxxx"}) {
    EXPECT_FALSE(parse_uuid(bad)) << bad;
  }
}

TEST(Uuid, TextFormsAndTheCanonicalOne) {
  const Uuid want = *parse_uuid("01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8");
  struct Case {
    const char* text;
    bool any_form;
    bool canonical;
  };
  const Case cases[] = {
      {"01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8", true, true},
      {"01A0B0D4-97DC-74A1-8E12-6C5F90B4D2E8", true, false},
      {"01a0b0d497dc74a18e126c5f90b4d2e8", true, false},
      {"{01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8}", true, false},
      {"urn:uuid:01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8", true, false},
      {"URN:UUID:01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8", false, false},
      {"{01a0b0d497dc74a18e126c5f90b4d2e8}", false, false},
      {"01a0b0d4-97dc-74a18e12-6c5f90b4d2e8-", false, false},
  };
  for (const auto& c : cases) {
    const auto any = parse_uuid(c.text);
    EXPECT_EQ(any.has_value(), c.any_form) << c.text;
    if (any) {
      EXPECT_EQ(*any, want) << c.text;
    }
    EXPECT_EQ(parse_canonical_uuid(c.text).has_value(), c.canonical) << c.text;
  }
}

TEST(Uuid, FreshVersion7Ids) {
  std::set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    const Uuid id = new_uuid_v7();
    EXPECT_EQ(uuid_version(id), 7u);
    EXPECT_EQ(id[8] & 0xC0, 0x80);  // the standard variant
    EXPECT_TRUE(seen.insert(id).second);
    EXPECT_EQ(parse_canonical_uuid(format_uuid(id)), id);
  }
}

}  // namespace
}  // namespace kio
