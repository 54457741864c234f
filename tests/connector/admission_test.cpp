// Feature frames admitted together: one replace of the manifest and one flush
// of the log for the whole batch, report lines only once it is durable and in
// the order of the frames, and a failure of what they share failing each of
// them with its own error line.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "connector/admission.h"
#include "connector/manifest.h"
#include "connector/startup.h"
#include "install/geonames.h"
#include "install/json.h"
#include "install/paths.h"
#include "tests/support/connector_process.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::connector {
namespace {

using test::FaultFileSystem;
using test::FsOp;

constexpr const char* kAdmitId = "01939a3c-0000-7000-8000-00000000000a";

struct Sent {
  std::string feature_id, payload;
};
Sent admission(const std::string& feature) {
  return {kAdmitId, test::admission_json(feature)};
}
Sent pack(const std::string& feature) {
  return {install::GEONAMES_FEATURE_ID, test::geonames_pack_json(feature)};
}

// Out of line: g++ 12 at -O2 takes the inlined value() of a vector for uninitialised.
[[gnu::noinline]] std::vector<install::BlobRecord> records_of(install::Persist& store) {
  auto records = store.blob_records();
  if (!records) throw std::runtime_error(records.error().message());
  return std::move(*records);
}

struct Connector {
  test::TestInstall keys;
  OpenedInstall opened = open_install(keys.root, keys.wrap_key, keys.root.string()).value();
  ManifestWriter manifest{keys.root};

  // The lines the batch printed, standard output and error together, in order.
  std::vector<std::string> admit(const std::vector<Sent>& frames) {
    std::FILE* sink = std::tmpfile();
    const Output output{sink, sink};
    AdmissionBatch batch(manifest, opened.store, output);
    for (const Sent& f : frames) batch.add(p2p::KioFeatureFrame{*parse_uuid(f.feature_id), 0, test::bytes_of(f.payload)});
    batch.commit();
    EXPECT_TRUE(batch.empty());
    std::string text(1 << 16, '\0');
    std::rewind(sink);
    text.resize(std::fread(text.data(), 1, text.size(), sink));
    std::fclose(sink);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  std::vector<std::string> listed() const {
    const auto manifest = install::json::read_value(test::read_file(install::features_manifest_path(keys.root)),
                                                    install::json::Duplicates::refuse);
    std::vector<std::string> names;
    for (const auto& entry : manifest->at("features")) names.push_back(entry.at("feature").get<std::string>());
    return names;
  }
};

TEST(AdmissionBatch, OneReplaceAndOneLogFlushThenTheLinesInOrder) {
  Connector c;
  ASSERT_EQ(c.admit({admission("first")}), std::vector<std::string>{"feature_admitted=first"});
  FaultFileSystem counting(c.keys.root);
  std::vector<std::string> lines;
  {
    const ScopedFileSystem installed(counting);
    lines = c.admit({admission("a1"), pack("p1"), {kAdmitId, "not json"}, admission("a2"), pack("p2")});
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"feature_admitted=a1",
                                             std::string("feature_pack_stored=") + install::GEONAMES_FEATURE_ID,
                                             "kio-connector: feature: bootstrap feature payload is not json",
                                             "feature_admitted=a2",
                                             std::string("feature_pack_stored=") + install::GEONAMES_FEATURE_ID}));
  EXPECT_EQ(c.listed(), (std::vector<std::string>{"first", "a1", "geonames", "a2", "geonames"}));
  // Two renames: the last pack's bytes into place and the manifest's replace.
  EXPECT_EQ(counting.count(FsOp::rename), 2u);
  // Four flushes of files: each pack's bytes, the log once, the manifest once.
  EXPECT_EQ(counting.count(FsOp::sync), 4u);
  const auto records = records_of(c.opened.store);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(c.opened.store.check_blob_file(records[0]));
  EXPECT_EQ(c.opened.store.read_frames().value().size(), 2u);
}

// What the frames share fails every one of them, each with its own error line;
// the frames refused on their own keep their own error; nothing is half there;
// the next batch succeeds once the fault clears.
TEST(AdmissionBatch, ASharedFailureFailsEveryFrameOfTheBatch) {
  struct Case {
    const char* what;
    FsOp op;
    std::size_t nth;
    std::size_t frames_after;  // in the log
  };
  const Case cases[] = {
      {"the manifest's replace", FsOp::rename, 2, 2},  // the pack is recorded: its record stays
      {"the log's flush", FsOp::sync, 2, 1},
      {"the pack bytes' flush", FsOp::sync, 1, 1},
      {"the directory's flush", FsOp::sync_directory, 1, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Connector c;
    ASSERT_EQ(c.admit({admission("first"), pack("p0")}).size(), 2u);
    FaultFileSystem faulty(c.keys.root);
    faulty.fail(k.op, k.nth, ENOSPC);
    std::vector<std::string> lines;
    {
      const ScopedFileSystem installed(faulty);
      lines = c.admit({admission("a1"), {kAdmitId, R"({"schema":"other"})"}, pack("p1"), admission("a2")});
    }
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t n : {0u, 2u, 3u}) {
      EXPECT_TRUE(lines[n].starts_with("kio-connector: feature: ")) << lines[n];
      EXPECT_NE(lines[n].find("No space left on device"), std::string::npos) << lines[n];
    }
    EXPECT_EQ(lines[1], "kio-connector: feature: bootstrap feature schema mismatch");
    EXPECT_EQ(c.listed(), (std::vector<std::string>{"first", "geonames"}));
    EXPECT_EQ(c.opened.store.read_frames().value().size(), k.frames_after);
    for (const auto& record : records_of(c.opened.store)) {
      EXPECT_TRUE(c.opened.store.check_blob_file(record));
    }
    EXPECT_EQ(c.admit({admission("a3"), pack("p3")}),
              (std::vector<std::string>{"feature_admitted=a3",
                                        std::string("feature_pack_stored=") + install::GEONAMES_FEATURE_ID}));
    EXPECT_EQ(c.listed(), (std::vector<std::string>{"first", "geonames", "a3", "geonames"}));
  }
}

TEST(AdmissionBatch, IsFullAtItsBoundInFramesOrBytes) {
  Connector c;
  std::FILE* sink = std::tmpfile();
  const Output output{sink, sink};
  AdmissionBatch batch(c.manifest, c.opened.store, output);
  const Sent a = admission("a");
  for (std::size_t n = 0; n < AdmissionBatch::MAX_FRAMES; ++n) {
    EXPECT_FALSE(batch.full());
    batch.add(p2p::KioFeatureFrame{*parse_uuid(a.feature_id), 0, test::bytes_of(a.payload)});
  }
  EXPECT_TRUE(batch.full());
  batch.commit();
  EXPECT_FALSE(batch.full());
  batch.add(p2p::KioFeatureFrame{*parse_uuid(kAdmitId), 0, std::vector<std::uint8_t>(AdmissionBatch::MAX_BYTES, 'x')});
  EXPECT_TRUE(batch.full());
  batch.commit();
  std::fclose(sink);
  EXPECT_EQ(c.listed().size(), AdmissionBatch::MAX_FRAMES);
}

}  // namespace
}  // namespace kio::connector
