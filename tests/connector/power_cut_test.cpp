// Power cuts and failing operations at every step of every write path. The
// path runs against a file system that watches the install; at its kth change
// the power goes (every later operation fails), and the disk is rewritten as it
// could stand after the cut: what was never flushed kept, kept in part or lost.
// Then the real code starts the install again, and everything it acknowledged
// before the cut must be there, whole, with nothing half there and nothing left
// over, and the next message of the same kind must succeed. The same paths then
// run with one operation failing (a full disk, an I/O error, a read-only file
// system, a refused permission) in place of the cut.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "connector/admission.h"
#include "connector/endpoint.h"
#include "connector/landing.h"
#include "connector/manifest.h"
#include "connector/startup.h"
#include "install/geonames.h"
#include "install/json.h"
#include "install/paths.h"
#include "install/stream_format.h"
#include "install/stream_receiver.h"
#include "peer/stream_plan.h"
#include "tests/support/connector_process.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::connector {
namespace {

using Bytes = std::vector<std::uint8_t>;
using install::NamedFile;
using test::FaultFileSystem;
using test::FsOp;

const std::string kPackId = install::GEONAMES_FEATURE_ID;
const std::string kIndexBlob = install::GEONAMES_INDEX_BLOB_ID;
constexpr const char* kAdmitFeatureId = "01939a3c-0000-7000-8000-00000000000a";

using test::admission_json;
std::vector<NamedFile> index_files(const std::string& tag) {
  return {{"data.mdb", test::pseudo_random(6000, static_cast<std::uint32_t>(tag.size()) + 7)},
          {"lock.mdb", test::bytes_of("lock " + tag)},
          {"tag.txt", test::bytes_of(tag)}};
}

// An install as the connector holds it: its lock, store and manifest writer.
struct Install {
  test::TestInstall keys;
  fs::path root = keys.root;
  std::optional<OpenedInstall> opened;
  std::optional<ManifestWriter> manifest;

  // What the connector does before its start-up lines: open, then publish the port.
  Result<void> start() {
    stop();
    auto got = open_install(root, keys.wrap_key, root.string());
    if (!got) return std::unexpected(std::move(got.error()));
    opened.emplace(std::move(*got));
    manifest.emplace(root);
    return write_endpoint(root, 40000);
  }
  void stop() {
    manifest.reset();
    opened.reset();
  }
  install::Persist& store() { return opened->store; }

  // Feature frames received one after another, admitted as one batch: for
  // each, whether it was acknowledged (its report line printed, which can fail
  // too) rather than reported as failed.
  std::vector<bool> frames(const std::vector<std::pair<std::string, std::string>>& sent) {
    std::FILE* sink = std::tmpfile();
    const Output output{sink, sink};
    AdmissionBatch batch(*manifest, store(), output);
    for (const auto& [feature_id, payload] : sent) {
      batch.add(p2p::KioFeatureFrame{*parse_uuid(feature_id), 0, test::bytes_of(payload)});
    }
    batch.commit();
    std::string printed(1 << 16, '\0');
    std::rewind(sink);
    printed.resize(std::fread(printed.data(), 1, printed.size(), sink));
    std::fclose(sink);
    // One line per frame, in order.
    std::vector<bool> acknowledged;
    std::size_t start = 0;
    for (std::size_t end; (end = printed.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = printed.substr(start, end - start);
      acknowledged.push_back(line.starts_with("feature_admitted=") || line.starts_with("feature_pack_stored="));
    }
    acknowledged.resize(sent.size(), false);
    return acknowledged;
  }
  Result<void> frame(const std::string& feature_id, const std::string& payload) {
    if (!frames({{feature_id, payload}}).front()) return fail("the frame was not acknowledged");
    return {};
  }
  Result<void> admit(const std::string& feature) { return frame(kAdmitFeatureId, admission_json(feature)); }
  Result<void> pack(const std::string& feature) { return frame(kPackId, test::geonames_pack_json(feature)); }

  // Receives the stream of `files` (spooled in the blobs root, its files also
  // written there as they arrive when `as_received`) and lands it.
  Result<void> land(const std::vector<NamedFile>& files, bool as_received = false) {
    const Bytes packed = install::pack_files(files);
    auto messages = peer::plan_stream({kPackId, kIndexBlob, "bytes", test::file_entries(files)}, packed, 1000);
    if (!messages) return fail("cannot plan the stream");
    install::FileStreamReceiver receiver({store().blobs_root(), p2p::MAX_PARTIAL_BYTES, as_received});
    for (const auto& m : *messages) {
      auto got = receiver.push(m.channel, m.bytes);
      if (!got) return fail(got.error().display());
      if (*got) return land_feature_index(*manifest, store(), **got);
    }
    return fail("the stream did not complete");
  }
};

// One acknowledged step: what its report line promised.
struct Ack {
  enum Kind { started, admitted, pack, landed } kind;
  std::string what;  // the feature admitted or packed, the landed index's tag
};

struct Step {
  std::string name;
  // Runs the step; what it acknowledged of `acks`.
  std::function<std::vector<Ack>(Install&)> run;
  std::vector<Ack> acks;  // what it asks for, in order
};

struct CutPath {
  const char* name;
  std::function<void(Install&)> prepare;  // with the real file system, before the watched part
  std::vector<Ack> before;                // what the preparation acknowledged
  std::vector<Ack> tried;                 // what it tried without an acknowledgment
  bool started_before;                    // the watched part runs in a started connector
  std::vector<Step> steps;
  std::function<Result<void>(Install&)> next;  // a message of the same kind, after the restart
  std::function<void(Install&)> also = {};     // what else must hold after the restart
  // Operations whose failure the watched part may pass over, and why.
  std::set<FsOp> may_pass_over = {};
};
// A step of one message: acknowledged when it succeeded.
Step single_step(std::string name, std::function<Result<void>(Install&)> run, Ack ack) {
  return {std::move(name),
          [run, ack](Install& i) { return run(i) ? std::vector<Ack>{ack} : std::vector<Ack>{}; },
          {ack}};
}
Step admit_step(const std::string& feature) {
  return single_step("admit " + feature, [feature](Install& i) { return i.admit(feature); }, {Ack::admitted, feature});
}
Step pack_step(const std::string& feature) {
  return single_step("pack " + feature, [feature](Install& i) { return i.pack(feature); }, {Ack::pack, feature});
}
Step land_step(const std::string& tag, bool as_received = false) {
  return single_step("land " + tag, [tag, as_received](Install& i) { return i.land(index_files(tag), as_received); },
                     {Ack::landed, tag});
}
Step start_step() {
  return single_step("start", [](Install& i) { return i.start(); }, {Ack::started, {}});
}
// Admissions and packs received back to back, admitted as one batch.
Step batch_step(const std::vector<Ack>& asked) {
  return {"batch",
          [asked](Install& i) {
            std::vector<std::pair<std::string, std::string>> sent;
            for (const Ack& a : asked) {
              sent.emplace_back(a.kind == Ack::pack ? kPackId : kAdmitFeatureId,
                                a.kind == Ack::pack ? test::geonames_pack_json(a.what) : admission_json(a.what));
            }
            const std::vector<bool> acknowledged = i.frames(sent);
            std::vector<Ack> acked;
            for (std::size_t n = 0; n < asked.size(); ++n) {
              if (acknowledged[n]) acked.push_back(asked[n]);
            }
            return acked;
          },
          asked};
}

void must(const Result<void>& done, const char* what) {
  if (!done) throw std::runtime_error(std::string(what) + ": " + done.error().message());
}

// The features of the manifest's entries, in order (the file must parse).
std::vector<std::string> manifest_features(const fs::path& root) {
  const fs::path path = install::features_manifest_path(root);
  if (!fs::exists(path)) return {};
  const auto manifest = install::json::read_value(test::read_file(path), install::json::Duplicates::refuse);
  if (!manifest) throw std::runtime_error("the manifest does not parse");
  std::vector<std::string> names;
  for (const auto& entry : manifest->at("features")) names.push_back(entry.at("feature").get<std::string>());
  return names;
}

// The files a landed index directory holds, by name.
std::map<std::string, std::string> directory_files(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = test::read_file(e.path());
  return files;
}
std::map<std::string, std::string> files_of(const std::string& tag) {
  std::map<std::string, std::string> files;
  for (const auto& [name, bytes] : index_files(tag)) files[name] = std::string(bytes.begin(), bytes.end());
  return files;
}

// Names a crash may leave and the next start must clear.
std::vector<std::string> leftovers(const fs::path& root) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (name.find(".tmp-") != std::string::npos || name.starts_with(".pending-") || name.starts_with(".spool-") ||
        name.starts_with(".incoming-")) {
      found.push_back(e.path().lexically_relative(root).string());
    }
  }
  return found;
}

std::string keys_file(const Install& i) {
  const fs::path path = i.keys.home.path() / "keys.txt";
  if (!fs::exists(path)) test::write_file(path, i.keys.keys_text());
  return path.string();
}

// After the cut or the fault: the install as the next start finds it.
void check_restart(Install& i, const CutPath& path, const std::vector<Ack>& watched_acks) {
  const auto started = i.start();
  ASSERT_TRUE(started) << "the next start fails: " << started.error().message();
  EXPECT_EQ(leftovers(i.root), std::vector<std::string>{}) << "left over after the next start";
  test::RunOptions verify;
  verify.args = {"verify", "--root", i.root.string(), "--keys", keys_file(i)};
  const auto verified = test::run_program(test::binary_path("kio-ltr"), verify);
  EXPECT_EQ(verified.exit_code, 0) << "kio-ltr verify: " << verified.out << verified.err;

  // Everything tried, in order, and everything acknowledged.
  std::vector<Ack> attempted = path.before;
  attempted.insert(attempted.end(), path.tried.begin(), path.tried.end());
  for (const auto& s : path.steps) attempted.insert(attempted.end(), s.acks.begin(), s.acks.end());
  std::vector<Ack> acked = path.before;
  acked.insert(acked.end(), watched_acks.begin(), watched_acks.end());

  std::vector<std::string> features;
  try {
    features = manifest_features(i.root);
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  const std::set<std::string> listed(features.begin(), features.end());
  std::optional<std::string> last_pack, last_landing;
  for (const auto& ack : acked) {
    if (ack.kind == Ack::admitted) {
      EXPECT_TRUE(listed.contains(ack.what)) << "admitted, then lost: " << ack.what;
    }
    if (ack.kind == Ack::pack) last_pack = ack.what;
    if (ack.kind == Ack::landed) last_landing = ack.what;
  }
  // What may stand: the last one acknowledged, or one tried after it (all tried, when none was).
  const auto may_stand = [&](Ack::Kind kind, const std::optional<std::string>& last) {
    std::set<std::string> allowed;
    bool after = !last.has_value();
    for (const auto& a : attempted) {
      if (a.kind != kind) continue;
      if (last && a.what == *last) after = true;
      if (after) allowed.insert(a.what);
    }
    return allowed;
  };
  const fs::path blobs = i.store().blobs_root();
  if (last_pack || fs::exists(blobs / kPackId)) {
    ASSERT_TRUE(fs::exists(blobs / kPackId)) << "the pack acknowledged (" << *last_pack << ") is lost";
    const std::string stored = test::read_file(blobs / kPackId);
    bool known = false;
    for (const auto& f : may_stand(Ack::pack, last_pack)) known = known || stored.find("\"" + f + "\"") != std::string::npos;
    EXPECT_TRUE(known) << "the pack stored is neither the one acknowledged last nor one tried after it: " << stored;
  }
  if (last_pack) {
    EXPECT_TRUE(listed.contains(install::GEONAMES_FEATURE_NAME));
  }
  const fs::path index = blobs / (kIndexBlob + ".lmdb");
  if (last_landing || fs::exists(index)) {
    ASSERT_TRUE(fs::exists(index)) << "the landing acknowledged (" << *last_landing << ") is lost";
    // Whole: the files of one landing, never a mix, never a part.
    const auto held = directory_files(index);
    bool whole = false;
    for (const auto& tag : may_stand(Ack::landed, last_landing)) whole = whole || held == files_of(tag);
    EXPECT_TRUE(whole) << "the index directory is not one landing, whole";
  }
  if (last_landing) {
    EXPECT_TRUE(listed.contains(install::GEONAMES_FEATURE_NAME));
  }
  if (path.also) path.also(i);

  const auto next = path.next(i);
  EXPECT_TRUE(next) << "the next message fails: " << next.error().message();
}

// Runs the watched steps, keeping what each acknowledged; stops after the
// first step that failed in any part.
std::vector<Ack> run_steps(Install& i, const std::vector<Step>& steps) {
  std::vector<Ack> acked;
  for (const auto& step : steps) {
    const std::vector<Ack> got = step.run(i);
    acked.insert(acked.end(), got.begin(), got.end());
    if (got.size() != step.acks.size()) break;
  }
  return acked;
}

void prepare(Install& i, const CutPath& path) {
  if (path.prepare) path.prepare(i);
  i.stop();
  if (path.started_before) must(i.start(), "start");
}

std::vector<CutPath> write_paths() {
  const auto start_first = [](Install& i) { must(i.start(), "start"); };
  const auto admit_next = [](Install& i) { return i.admit("next"); };
  const auto pack_next = [](Install& i) { return i.pack("next"); };
  // An index blob's id names its bytes for good: a sender with no acknowledgment
  // sends the same stream again, which finds its record and lands it whole.
  const auto land_next = [](Install& i) { return i.land(index_files("first")); };
  const auto packed_p0 = [](Install& i) {
    must(i.start(), "start");
    must(i.pack("p0"), "pack");
  };
  const Ack p0{Ack::pack, "p0"};
  const auto segment = [](Install& i) {
    for (const auto& e : fs::directory_iterator(i.root / "persist" / "ltr" / "current")) return e.path();
    throw std::runtime_error("no segment");
  };
  return {
      {"first start", {}, {}, {}, false, {start_step()}, admit_next},
      {"admissions", start_first, {}, {}, true, {admit_step("a1"), admit_step("a2"), admit_step("a3")}, admit_next},
      {"first pack", start_first, {}, {}, true, {pack_step("p1")}, pack_next},
      {"later packs", packed_p0, {p0}, {}, true, {pack_step("p1"), pack_step("p2")}, pack_next},
      // Admissions and packs that arrive together are made durable together.
      {"batch",
       packed_p0,
       {p0},
       {},
       true,
       {batch_step({{Ack::admitted, "b1"}, {Ack::pack, "p1"}, {Ack::admitted, "b2"}, {Ack::pack, "p2"},
                    {Ack::admitted, "b3"}})},
       admit_next,
       [](Install& i) { EXPECT_TRUE(i.pack("p3")) << "the next pack fails"; }},
      {"first landing", start_first, {}, {}, true, {land_step("first")}, land_next},
      {"replacement index", [](Install& i) { must(i.start(), "start"); must(i.land(index_files("first")), "land"); },
       {{Ack::landed, "first"}}, {}, true, {land_step("first")}, land_next},
      // The files written as the stream arrives, beside its spool.
      {"replacement index written as it arrives",
       [](Install& i) { must(i.start(), "start"); must(i.land(index_files("first")), "land"); },
       {{Ack::landed, "first"}}, {}, true, {land_step("first", true)},
       [](Install& i) { return i.land(index_files("first"), true); }},
      {"legacy migrations",
       [=](Install& i) {
         packed_p0(i);
         i.stop();
         // The segment under the day directories of the older naming, and the older blob directory.
         const fs::path dated = segment(i);
         const std::string name = dated.filename().string();  // YYYY-MM-DD-NNNNN.jsonl
         const fs::path older = dated.parent_path() / name.substr(0, 4) / name.substr(5, 2) / name.substr(8, 2) /
                                "third-party-secrets-2.jsonl";
         fs::create_directories(older.parent_path());
         fs::rename(dated, older);
         test::write_file(i.root / "persist" / "blobs" / "older-a", "older bytes");
       },
       {p0}, {}, false, {start_step()}, admit_next,
       [](Install& i) {
         // Moved or not yet, never lost.
         const fs::path moved = i.store().blobs_root() / "older-a", left = i.root / "persist" / "blobs" / "older-a";
         EXPECT_EQ(test::read_file(fs::exists(moved) ? moved : left), "older bytes");
       }},
      {"torn tail repair",
       [=](Install& i) {
         packed_p0(i);
         i.stop();
         std::FILE* f = std::fopen(segment(i).c_str(), "ab");
         std::fputs("{\"torn\":", f);
         std::fclose(f);
       },
       {p0}, {}, false, {start_step()}, pack_next},
      {"pending pack settled at open",
       [=](Install& i) {
         packed_p0(i);
         // A pack whose new bytes wait beside the blob: the cut came before the rename.
         for (std::size_t k = 1;; ++k) {
           must(i.start(), "start");
           FaultFileSystem watched(i.root);
           watched.cut_at(k);
           {
             const ScopedFileSystem installed(watched);
             (void)i.pack("p1");
             i.stop();
           }
           if (!watched.cut_happened()) throw std::runtime_error("no cut leaves a pending pack");
           watched.power_cut(1);
           for (const auto& e : fs::directory_iterator(i.root / "blobs")) {
             if (e.path().filename().string().starts_with(".pending-")) return;
           }
         }
       },
       {p0}, {{Ack::pack, "p1"}}, false, {start_step()}, pack_next, {},
       // Settling finishes an earlier write; when its flush fails, the next open
       // finds the pending bytes again and settles them then.
       {FsOp::sync_directory}},
  };
}

class PowerCut : public ::testing::TestWithParam<std::size_t> {};

// Every change along the path is a cut point k; each cut is rewritten as a
// disk might hold it under three seeds (all unflushed lost, all kept, a draw).
TEST_P(PowerCut, EverythingAcknowledgedSurvivesACutAtEveryStep) {
  const CutPath path = write_paths()[GetParam()];
  // The drawn seeds come from KIO_CUT_SEED when set, so that a failure can be replayed.
  const char* given = std::getenv("KIO_CUT_SEED");
  const std::uint64_t draw_seed = given != nullptr ? std::stoull(given) : std::random_device{}();
  std::printf("%s: KIO_CUT_SEED=%llu\n", path.name, static_cast<unsigned long long>(draw_seed));
  std::size_t cuts = 0;
  for (std::size_t k = 1;; ++k) {
    Install i;
    prepare(i, path);
    FaultFileSystem watched(i.root);
    watched.cut_at(k);
    std::vector<Ack> acked;
    {
      const ScopedFileSystem installed(watched);
      acked = run_steps(i, path.steps);
      i.stop();
    }
    if (!watched.cut_happened()) break;  // the path ended before its kth change
    ++cuts;
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, draw_seed + k}) {
      SCOPED_TRACE(std::string(path.name) + ": power cut at change " + std::to_string(k) + ", seed " +
                   std::to_string(seed));
      watched.power_cut(seed);
      check_restart(i, path, acked);
      i.stop();
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(cuts, 0u);
  std::printf("%s: %zu cut points\n", path.name, cuts);
}

// Each operation the path performs fails in turn, with each errno a full disk,
// a failing device, a read-only file system or a refused permission gives.
TEST_P(PowerCut, AFailedOperationIsReportedAndTheNextAttemptSucceeds) {
  const CutPath path = write_paths()[GetParam()];
  // How many operations of each kind the path performs.
  std::map<FsOp, std::size_t> performed;
  {
    Install i;
    prepare(i, path);
    FaultFileSystem counting(i.root);
    {
      const ScopedFileSystem installed(counting);
      std::size_t asked = 0;
      for (const auto& step : path.steps) asked += step.acks.size();
      ASSERT_EQ(run_steps(i, path.steps).size(), asked);
      i.stop();
    }
    for (int op = 0; op <= static_cast<int>(FsOp::list); ++op) {
      performed[static_cast<FsOp>(op)] = counting.count(static_cast<FsOp>(op));
    }
  }
  // An operation whose failure no acknowledgment may pass over.
  const std::set<FsOp> must_report = {FsOp::write, FsOp::sync, FsOp::sync_directory, FsOp::truncate, FsOp::rename,
                                      FsOp::exchange, FsOp::link, FsOp::create_unique, FsOp::make_directory};
  std::size_t points = 0;
  const char* only = std::getenv("KIO_FAULT_ONLY");  // "op nth", to replay one fault point
  for (const auto& [op, total] : performed) {
    for (std::size_t nth = 1; nth <= total; ++nth) {
      if (only != nullptr && std::string(only) != std::string(test::op_name(op)) + " " + std::to_string(nth)) continue;
      // Each point fails with one of the four, in turn.
      const int errors[] = {ENOSPC, EIO, EROFS, EACCES};
      for (const int error : {errors[(nth + static_cast<std::size_t>(op)) % 4]}) {
        SCOPED_TRACE(std::string(path.name) + ": " + test::op_name(op) + " " + std::to_string(nth) + " fails with " +
                     std::to_string(error));
        Install i;
        prepare(i, path);
        FaultFileSystem faulty(i.root);
        faulty.fail(op, nth, error);
        std::vector<Ack> acked;
        bool passed_over = false;
        {
          const ScopedFileSystem installed(faulty);
          for (const auto& step : path.steps) {
            const bool failed_before = faulty.failed();
            const std::vector<Ack> got = step.run(i);
            // What a step shares (a flush, a replace) fails all of it: the whole
            // of it may not be acknowledged over the failure. (A report line
            // that could not be printed is one frame of a batch unacknowledged.)
            if (got.size() == step.acks.size() && !failed_before && faulty.failed() && must_report.contains(op) &&
                !path.may_pass_over.contains(op)) {
              passed_over = true;
            }
            acked.insert(acked.end(), got.begin(), got.end());
            if (got.size() != step.acks.size()) break;
          }
          i.stop();
        }
        ++points;
        EXPECT_FALSE(passed_over) << "a step was acknowledged over a failed " << test::op_name(op);
        check_restart(i, path, acked);
        i.stop();
        if (HasFailure()) return;
      }
    }
  }
  std::printf("%s: %zu fault points\n", path.name, points);
}

std::string path_name(const ::testing::TestParamInfo<std::size_t>& info) {
  std::string name = write_paths()[info.param].name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(WritePaths, PowerCut, ::testing::Range<std::size_t>(0, write_paths().size()), path_name);

}  // namespace
}  // namespace kio::connector
