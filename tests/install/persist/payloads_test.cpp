// The events sealed into frames: exact JSON, decoding rules and opening the log.
#include <gtest/gtest.h>

#include "install/crypto.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

std::string decoded(const std::string& json) {
  const auto event = decode_ltr_payload(bytes_of(json));
  if (!event) return "!" + event.error();
  if (const auto* b = std::get_if<BlobRecord>(&*event)) {
    return "blob " + b->blob_id + " " + b->class_name + " " + b->url + " " + (b->encrypted ? "sealed " : "plain ") +
           b->sha256;
  }
  const auto& s = std::get<SecretEvent>(*event);
  return s.kind + " " + s.label + "=" + std::string(s.value.view());
}

TEST(LtrEvents, Decoding) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"kind":"persist-blob","blob_id":"b","class":"feature","url":"u","encrypted":true,"sha256":"d"})",
       "blob b feature u sealed d"},
      {R"( {"sha256":"d","encrypted":false,"url":"u","class":"x","blob_id":"b","kind":"persist-blob","more":[{}]} )",
       "blob b x u plain d"},
      {R"({"kind":"nope","kind":"persist-blob","blob_id":"b","class":"c","url":"u","encrypted":1,"encrypted":false,"sha256":"d"})",
       "blob b c u plain d"},  // the last of a repeated member counts
      {R"({"kind":"persist-blob","blob_id":"b","class":"c","url":"u","encrypted":false})", "!corrupt LTR event"},
      {R"({"kind":"persist-blob","blob_id":"b","class":"c","url":"u","encrypted":"true","sha256":"d"})", "!corrupt LTR event"},
      {R"({"kind":"persist-blob","blob_id":null,"class":"c","url":"u","encrypted":true,"sha256":"d"})", "!corrupt LTR event"},
      {R"({"kind":"third-party-secret","label":"l","value":"v\u00e9\n"})", "third-party-secret l=v\xc3\xa9\n"},
      {R"({"kind":"connector-noise","label":"k","value":""})", "connector-noise k="},
      {R"({"kind":"connector-noise","label":"k"})", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":7})", "!corrupt LTR event"},
      {R"({"kind":"third-party-secrets","label":"l","value":"v"})", "!unsupported LTR event"},
      {R"({"kind":"Persist-blob","blob_id":"b","class":"c","url":"u","encrypted":true,"sha256":"d"})", "!unsupported LTR event"},
      {R"({"kind":1})", "!unsupported LTR event"},
      {R"({"label":"l","value":"v"})", "!unsupported LTR event"},
      {R"(["persist-blob"])", "!unsupported LTR event"},
      {R"("persist-blob")", "!unsupported LTR event"},
      {"", "!corrupt LTR event"},
      {"{\"kind\":\"persist-blob\"", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"v"} x)", "!corrupt LTR event"},
      {"{\"kind\":\"connector-noise\",\"label\":\"k\",\"value\":\"\xff\"}", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"\ud800"})", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"\udc00\ud800"})", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"\ud83d\ude00"})", "connector-noise k=\xf0\x9f\x98\x80"},
      {"{\"kind\":\"connector-noise\",\"label\":\"k\",\"value\":\"a\tb\"}", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"v","n":1e999})", "!corrupt LTR event"},
      {R"({"kind":"connector-noise","label":"k","value":"v","n":-1e-999,"m":123456789012345678901234567890})",
       "connector-noise k=v"},
      {std::string("{\"kind\":\"connector-noise\",\"label\":\"k\",\"value\":\"v\"}\0", 51), "!corrupt LTR event"},
      {"\xef\xbb\xbf{\"kind\":\"connector-noise\",\"label\":\"k\",\"value\":\"v\"}", "!corrupt LTR event"},
  };
  for (const auto& [json, want] : cases) EXPECT_EQ(decoded(json), want) << json;
}

TEST(LtrEvents, WrittenAsCompactJsonInDeclarationOrder) {
  const auto blob = serialize_ltr_payload(BlobRecord{"persist-blob", "i", "bytes", "file:///b/\xc3\xa9", true, "d"}).value();
  EXPECT_EQ(std::string(blob.begin(), blob.end()),
            "{\"kind\":\"persist-blob\",\"blob_id\":\"i\",\"class\":\"bytes\",\"url\":\"file:///b/\xc3\xa9\","
            "\"encrypted\":true,\"sha256\":\"d\"}");
  const auto secret = serialize_ltr_payload(SecretEvent{"connector-noise", "n\"", SecretText("\x1f\\\t\r\b\f/\x7f")}).value();
  EXPECT_EQ(std::string(secret.begin(), secret.end()),
            "{\"kind\":\"connector-noise\",\"label\":\"n\\\"\",\"value\":\"\\u001f\\\\\\t\\r\\b\\f/\x7f\"}");
}

TEST(LtrEvents, ReadPayloadsIsAllOrNothing) {
  Store a;
  Persist store = a.open();
  EXPECT_TRUE(store.read_payloads().value().empty());
  ASSERT_TRUE(store.append_ltr_payload(sample_record(1)));

  // A second install with the same founder but another wrap key seals frame 2
  // at the right place in the chain.
  Store b;
  b.key = key_from(99);
  Store::init(b.persist, b.key, FOUNDER);
  Persist other = b.open();
  fs::copy_file(a.segment("2026-01-05-00001.jsonl"), b.segment("2026-01-05-00001.jsonl"));
  ASSERT_EQ(other.append_ltr_payload(SecretEvent{"third-party-secret", "l", SecretText("v")}).value(), 2u);
  fs::copy_file(b.segment("2026-01-05-00001.jsonl"), a.segment("2026-01-05-00001.jsonl"),
                fs::copy_options::overwrite_existing);
  ASSERT_EQ(store.append_ltr_payload(sample_record(3)).value(), 3u);

  EXPECT_EQ(store.read_frames().value().size(), 3u);  // the chain itself verifies
  const auto events = store.read_payloads();
  ASSERT_FALSE(events);
  EXPECT_EQ(events.error(), "decryption failed");
}

TEST(LtrEvents, FramesDoNotOpenInAnotherInstall) {
  Store a, b;
  Store::init(b.persist, b.key, "01939a3c-5f2e-7b44-9c1d-000000000000");  // same key, other founder
  Persist mine = a.open();
  Persist theirs = b.open();
  ASSERT_TRUE(mine.append_ltr_payload(sample_record(1)));
  fs::copy_file(a.segment("2026-01-05-00001.jsonl"), b.segment("2026-01-05-00001.jsonl"));
  EXPECT_EQ(theirs.read_frames().value().size(), 1u);
  EXPECT_EQ(theirs.read_payloads().error(), "decryption failed");
}

TEST(LtrEvents, AlteredLastFrameShowsWhenOpened) {
  Store s;
  Persist store = s.open();
  ASSERT_TRUE(store.append_ltr_payload(sample_record(1)));
  ASSERT_TRUE(store.append_ltr_payload(sample_record(2)));
  auto lines = lines_of(s.segment("2026-01-05-00001.jsonl"));
  const std::size_t at = lines[1].find("ciphertext_b64") + 20;
  lines[1][at] = lines[1][at] == 'A' ? 'B' : 'A';
  test::write_file(s.segment("2026-01-05-00001.jsonl"), join_lines(lines));
  EXPECT_EQ(store.read_frames().value().size(), 2u);
  EXPECT_EQ(store.read_payloads().error(), "decryption failed");
}

TEST(LtrEvents, RefusesToWriteWhatCouldNotBeReadBack) {
  Store s;
  Persist store = s.open();
  const auto appended = store.append_ltr_payload(SecretEvent{"third-party-secret", "l", SecretText("\xc3")});
  ASSERT_FALSE(appended);
  EXPECT_TRUE(appended.error().message().starts_with("[json.exception.type_error.316]")) << appended.error();
  // A kind no reader knows would make the whole log unreadable.
  auto odd = sample_record(1);
  odd.kind = "persist-blob ";
  EXPECT_EQ(store.append_ltr_payload(odd).error(), "unsupported LTR event");
  EXPECT_EQ(store.append_ltr_payload(SecretEvent{"third-party-secrets", "l", SecretText("v")}).error(),
            "unsupported LTR event");
  EXPECT_TRUE(store.read_frames().value().empty());
  EXPECT_TRUE(store.read_payloads().value().empty());
}

}  // namespace
}  // namespace kio::install
