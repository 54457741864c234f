#include "install/crypto.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kio::install {
namespace {

TEST(HexDecode, AcceptsAndRefuses) {
  struct Case {
    std::string input;
    std::string hex_or_error;  // expected bytes as hex, or "!message"
  };
  const Case cases[] = {
      {"  0aFf\n", "0aff"},
      {"", ""},
      {" \t\r\n", ""},
      {"abc", "!hex length is not even"},
      {"0g", "!hex contains a non-hex character"},
      {"\xc3\xa9", "!hex contains a non-hex character"},  // one two-byte character: even length
      {"\xc2\xa0" "0a\xe3\x80\x80", "0a"},                  // U+00A0 and U+3000 are trimmed
      {"0a 0b", "!hex length is not even"},
      {"0a\x0b", "0a"},                                     // vertical tab is white space
  };
  for (const auto& c : cases) {
    auto got = hex_decode(c.input);
    if (c.hex_or_error.starts_with("!")) {
      ASSERT_FALSE(got.has_value()) << c.input;
      EXPECT_EQ(got.error(), c.hex_or_error.substr(1)) << c.input;
    } else {
      ASSERT_TRUE(got.has_value()) << c.input << ": " << got.error();
      EXPECT_EQ(test::hex_of(*got), c.hex_or_error);
    }
  }
}

TEST(Sha256, DigestTexts) {
  EXPECT_EQ(sha256_hex(std::string_view("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex(std::string_view("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  test::TempDir dir;
  test::write_file(dir / "empty", "");
  EXPECT_EQ(sha256_file(dir / "empty").value(), sha256_hex(std::string_view("")));
  std::string big(200000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  test::write_file(dir / "big", big);  // spans several 64 KiB blocks
  EXPECT_EQ(sha256_file(dir / "big").value(), sha256_hex(std::string_view(big)));
  auto missing = sha256_file(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

TEST(Base64, StrictDecoding) {
  EXPECT_EQ(base64_encode(as_bytes("")), "");
  EXPECT_EQ(base64_encode(as_bytes("f")), "Zg==");
  EXPECT_EQ(base64_encode(as_bytes("fo")), "Zm8=");
  EXPECT_EQ(base64_encode(as_bytes("foo")), "Zm9v");
  const char* refused[] = {"Zg", "Zg=", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "=Zg=", "Zg==Zg==", "Z===", "Zm-v"};
  for (const char* text : refused) EXPECT_FALSE(base64_decode(text).has_value()) << text;
  EXPECT_EQ(base64_decode("Zm9vYg==").value(), test::bytes_of("foob"));
}

TEST(Base64, RefusesEveryNonCanonicalText) {
  using namespace std::string_literals;
  // Only the standard alphabet with exact padding: no white space anywhere, no
  // padding inside the text or beyond the last group, no bits set past the data.
  const std::string refused[] = {
      "Zg\0="s, "Zg==\0"s, "\0Zg=="s, "Zm9v\r\n"s, " Zm9v", "Zm9v====", "Zg===", "Zm8==", "Zm8=Zm8=",
      "Zm9v=", "Z", "Zm9vY", "Zm9vYg", "Zm9vYmE", "Zm9vYh==", "Zm9vYmF=", "Zm9_", "Zm9v\xc3\xa9", "====",
  };
  for (const std::string& text : refused) EXPECT_FALSE(base64_decode(text).has_value()) << text;

  std::vector<std::uint8_t> every(256);
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i);
  for (std::size_t length = 0; length <= every.size(); length += 85) {
    const std::span<const std::uint8_t> part(every.data(), length);
    const std::string text = base64_encode(part);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(base64_decode(text).value(), std::vector<std::uint8_t>(part.begin(), part.end())) << text;
  }
  EXPECT_EQ(base64_encode(std::vector<std::uint8_t>{0xfb, 0xff, 0xbf}), "+/+/");
}

TEST(Envelope, SealsAndOpens) {
  SecretKey key;
  key.data()[0] = 7;
  const auto aad = as_bytes("aad");
  auto empty = encrypt(key, aad, {});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->nonce_b64.size(), 16u);
  EXPECT_EQ(empty->ciphertext_b64.size(), 24u);

  auto a = encrypt(key, aad, as_bytes("hello")).value();
  auto b = encrypt(key, aad, as_bytes("hello")).value();
  EXPECT_NE(a.nonce_b64, b.nonce_b64);
  EXPECT_NE(a.ciphertext_b64, b.ciphertext_b64);
  auto opened = decrypt(key, aad, a.nonce_b64, a.ciphertext_b64);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::string(opened->begin(), opened->end()), "hello");

  SecretKey other;
  EXPECT_EQ(decrypt(other, aad, a.nonce_b64, a.ciphertext_b64).error(), "decryption failed");
  EXPECT_EQ(decrypt(key, as_bytes("other"), a.nonce_b64, a.ciphertext_b64).error(), "decryption failed");
  EXPECT_EQ(decrypt(key, aad, base64_encode(std::vector<uint8_t>(11)), "!!").error(), "corrupt nonce");
  EXPECT_EQ(decrypt(key, aad, base64_encode(std::vector<uint8_t>(13)), a.ciphertext_b64).error(), "corrupt nonce");
  EXPECT_EQ(decrypt(key, aad, a.nonce_b64, "abc").error(), "corrupt ciphertext");
  EXPECT_EQ(decrypt(key, aad, a.nonce_b64, base64_encode(std::vector<uint8_t>(15))).error(), "decryption failed");
}

}  // namespace
}  // namespace kio::install
