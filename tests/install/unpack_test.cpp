#include "install/unpack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "common/file_io.h"
#include "install/crypto.h"
#include "install/stream_receiver.h"
#include "p2p/error.h"
#include "peer/stream_plan.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using p2p::P2PError;

constexpr char kFeatureId[] = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
constexpr char kBlobId[] = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";

using test::bytes_of;

using test::pseudo_random;

using test::names_in;

Bytes records(const std::vector<NamedFile>& files) { return pack_files(files); }


// A source that only reads: its bodies are written out block by block.
class ReadOnlySource final : public ByteSource {
 public:
  explicit ReadOnlySource(const Bytes& bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return {};
  }

 private:
  const Bytes& bytes_;
};

Result<void> unpack(const Bytes& stream, const fs::path& dir) {
  MemorySource source(stream);
  return unpack_files(source, dir);
}

// An unpacker writing into `dir`: a StreamFilesWriter writes on its own thread.
template <class Writer>
Writer make_writer(const fs::path& dir) {
  if constexpr (std::is_same_v<Writer, StreamFilesWriter>) {
    return StreamFilesWriter(dir, true);
  } else {
    return Writer(dir);
  }
}

// Stream bytes in a file, as a landed stream's packed.bin holds them.
fs::path packed_file(const test::TempDir& tmp, const Bytes& stream) {
  const fs::path packed = tmp / "packed.bin";
  test::write_file(packed, std::string(stream.begin(), stream.end()));
  return packed;
}

// The files written as the stream's bytes arrive, cut into pieces of
// `piece_size` bytes, `per_update` pieces a call, then as a landing takes them:
// moved to `dir` when the unpacker has them all, else unpacked from the bytes.
// `Writer` is StreamUnpacker or StreamFilesWriter (with a writer thread).
template <class Writer = StreamUnpacker>
Result<void> unpack_as_received(const Bytes& stream, const fs::path& dir, std::size_t piece_size,
                                std::size_t per_update) {
  test::TempDir staging;
  Writer unpacker = make_writer<Writer>(staging / ".incoming-spool-abc123");
  std::vector<std::span<const std::uint8_t>> pieces;
  for (std::size_t at = 0; at < stream.size(); at += piece_size) {
    pieces.push_back(std::span(stream).subspan(at, std::min(piece_size, stream.size() - at)));
    if (pieces.size() == per_update) {
      unpacker.update(pieces);
      pieces.clear();
    }
  }
  unpacker.update(pieces);
  auto finished = unpacker.finish();
  if (!finished) return std::unexpected(finished.error());
  if (!*finished) return unpack(stream, dir);
  if (auto made = make_directories(dir.parent_path()); !made) return made;
  return unpacker.move_to(dir);
}

// The ways in: stream bytes in memory, the same bytes in a file (bodies copied
// in the kernel), a source that can only be read, and the bytes as they arrive
// (headers and names cut anywhere). All must give the same files and the same
// errors.
struct Unpacker {
  std::string name;
  std::function<Result<void>(const Bytes&, const fs::path&)> unpack;
};
const std::vector<Unpacker>& unpackers() {
  static const std::vector<Unpacker> all = {
      {"from memory", unpack},
      {"from a file",
       [](const Bytes& stream, const fs::path& dir) {
         test::TempDir packed_dir;
         auto source = FileSource::open(packed_file(packed_dir, stream));
         if (!source) return Result<void>(fail(source.error()));
         return unpack_files(*source, dir);
       }},
      {"from a source that only reads",
       [](const Bytes& stream, const fs::path& dir) {
         ReadOnlySource source(stream);
         return unpack_files(source, dir);
       }},
      {"as received, a byte at a time",
       [](const Bytes& stream, const fs::path& dir) { return unpack_as_received(stream, dir, 1, SIZE_MAX); }},
      {"as received, in pieces of 7 bytes",
       [](const Bytes& stream, const fs::path& dir) { return unpack_as_received(stream, dir, 7, 3); }},
      {"as received, in pieces of 64 KiB",
       [](const Bytes& stream, const fs::path& dir) { return unpack_as_received(stream, dir, 65536, 1); }},
      {"as received on a writer thread, a byte at a time",
       [](const Bytes& stream, const fs::path& dir) {
         return unpack_as_received<StreamFilesWriter>(stream, dir, 1, SIZE_MAX);
       }},
      {"as received on a writer thread, in pieces of 7 bytes",
       [](const Bytes& stream, const fs::path& dir) {
         return unpack_as_received<StreamFilesWriter>(stream, dir, 7, 3);
       }},
  };
  return all;
}

TEST(UnpackFiles, WritesEveryRecordInStreamOrder) {
  for (const auto& [how, unpack_files] : unpackers()) {
  SCOPED_TRACE(how);
  test::TempDir tmp;
  const fs::path dir = tmp / "a" / "b" / "index";
  const Bytes stream = records({{"data.mdb", bytes_of("contents")},
                                {"...", bytes_of("three dots")},
                                {"a..b", {}},
                                {"..x", bytes_of("1")},
                                {"caf\xc3\xa9", pseudo_random(200000, 8)},
                                {"data.mdb", bytes_of("second")}});
  auto written = unpack_files(stream, dir);
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(test::read_file(dir / "data.mdb"), "second");  // the later record wins
  EXPECT_EQ(test::read_file(dir / "..."), "three dots");
  EXPECT_EQ(test::read_file(dir / "a..b"), "");
  const Bytes big = pseudo_random(200000, 8);
  EXPECT_EQ(test::read_file(dir / "caf\xc3\xa9"), std::string(big.begin(), big.end()));
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"...", "..x", "a..b", "caf\xc3\xa9", "data.mdb"}));

  const fs::path empty_dir = tmp / "empty" / "index";
  auto none = unpack_files({}, empty_dir);
  ASSERT_TRUE(none) << none.error();
  EXPECT_TRUE(names_in(empty_dir).empty());
  EXPECT_TRUE(fs::is_directory(empty_dir));
  }
}

TEST(UnpackFiles, RefusesMalformedRecordsAfterWritingTheEarlierOnes) {
  const Bytes first = records({{"first", bytes_of("ok")}});
  const Bytes good = records({{"good", bytes_of("body")}});  // 4 + 4 + 8 + 4 = 20 bytes
  auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)); };
  auto header_only = [](std::uint32_t name_length, const std::string& name, std::uint64_t body_length) {
    Bytes b;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(name_length >> (8 * i)));
    b.insert(b.end(), name.begin(), name.end());
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(body_length >> (8 * i)));
    return b;
  };
  struct Case {
    std::string name;
    Bytes record;
    std::string error;
  };
  const Case cases[] = {
      {"3 bytes of name length", cut(3), "truncated file stream name length"},
      {"name cut short", cut(6), "truncated file stream name"},
      {"body length cut short", cut(15), "truncated file stream name"},
      {"name length 2^32-1", header_only(0xFFFFFFFFu, "ab", 0), "truncated file stream name"},
      {"body one byte short", cut(19), "truncated file stream body"},
      {"body length 2^64-1", header_only(1, "a", UINT64_MAX), "truncated file stream body"},
      {"unsafe name and truncated body", header_only(2, "..", 5), "truncated file stream body"},
      {"name not utf-8", records({{"a\xff", bytes_of("x")}}), "file stream name is not utf8"},
      {"overlong utf-8", records({{"\xc0\xaf", bytes_of("x")}}), "file stream name is not utf8"},
      {"empty name", records({{"", bytes_of("x")}}), "unsafe file stream name"},
      {"two dots", records({{"..", bytes_of("x")}}), "unsafe file stream name"},
      {"slash", records({{"../escape", bytes_of("x")}}), "unsafe file stream name"},
      {"leading slash", records({{"/tmp/escape", bytes_of("x")}}), "unsafe file stream name"},
      {"trailing slash", records({{"dir/", bytes_of("x")}}), "unsafe file stream name"},
      {"backslash", records({{"a\\b", bytes_of("x")}}), "unsafe file stream name"},
      // A NUL would cut the name short at the system call and write another file.
      {"nul byte", records({{std::string("a\0b", 3), bytes_of("x")}}), "unsafe file stream name"},
  };
  for (const auto& [how, unpack_files] : unpackers()) {
    for (const auto& c : cases) {
      test::TempDir tmp;
      const fs::path dir = tmp / "index";
      Bytes stream = first;
      stream.insert(stream.end(), c.record.begin(), c.record.end());
      auto got = unpack_files(stream, dir);
      ASSERT_FALSE(got) << how << ": " << c.name;
      EXPECT_EQ(got.error(), P2PError::wire_format(c.error).display()) << how << ": " << c.name;
      EXPECT_EQ(names_in(dir), std::vector<std::string>{"first"}) << how << ": " << c.name;
      EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"index"}) << how << ": " << c.name;
    }
  }
}

// A name too long to be read whole is checked block by block, with the same
// errors in the same order; a sound one names no file any system takes.
TEST(UnpackFiles, NamesTooLongToReadWhole) {
  const std::string a(65535, 'a');
  struct Case {
    std::string name;
    std::string file_name;
    std::uint64_t body_length;
    P2PError error;
  };
  const Case cases[] = {
      {"plain", std::string(70000, 'a'), 1, P2PError::io("File name too long (os error 36)")},
      {"a character across the block end", a + "\xc3\xa9" + std::string(1000, 'b'), 1,
       P2PError::io("File name too long (os error 36)")},
      {"a character cut at the end", std::string(70000, 'a') + "\xc3", 1,
       P2PError::wire_format("file stream name is not utf8")},
      {"bad byte in the second block", a + "bb\xff", 1, P2PError::wire_format("file stream name is not utf8")},
      {"slash at the end", std::string(69999, 'a') + "/", 1, P2PError::wire_format("unsafe file stream name")},
      {"slash and a body cut short", std::string(69999, 'a') + "/", 5,
       P2PError::wire_format("truncated file stream body")},
  };
  for (const auto& [how, unpack_files] : unpackers()) {
    for (const auto& c : cases) {
      test::TempDir tmp;
      Bytes stream = records({{c.file_name, bytes_of("x")}});
      // The body length field, after the name.
      for (int i = 0; i < 8; ++i) stream[4 + c.file_name.size() + i] = static_cast<std::uint8_t>(c.body_length >> (8 * i));
      auto got = unpack_files(stream, tmp / "index");
      ASSERT_FALSE(got) << how << ": " << c.name;
      EXPECT_EQ(got.error(), c.error.display()) << how << ": " << c.name;
    }
  }
}

TEST(UnpackFiles, OperatingSystemFailuresAreIoErrors) {
  test::TempDir tmp;
  // A single dot passes the name check and names the directory itself.
  auto dot = unpack(records({{"ok", bytes_of("1")}, {".", bytes_of("x")}}), tmp / "index");
  ASSERT_FALSE(dot);
  EXPECT_EQ(dot.error(), P2PError::io("Is a directory (os error 21)").display());
  EXPECT_EQ(test::read_file(tmp / "index" / "ok"), "1");

  test::write_file(tmp / "plain", "file");
  auto not_dir = unpack({}, tmp / "plain" / "index");
  ASSERT_FALSE(not_dir);
  EXPECT_EQ(not_dir.error(), P2PError::io("Not a directory (os error 20)").display());
  // A file where the directory should be: mkdir's own error.
  auto is_file = unpack({}, tmp / "plain");
  ASSERT_FALSE(is_file);
  EXPECT_EQ(is_file.error(), P2PError::io("File exists (os error 17)").display());
  // Missing ancestors are made; an existing directory is fine.
  ASSERT_TRUE(unpack({}, tmp / "deep" / "er" / "index"));
  ASSERT_TRUE(unpack({}, tmp / "deep" / "er" / "index"));

  // A symbolic link already in the directory is not written through.
  test::write_file(tmp / "target", "keep");
  fs::create_directories(tmp / "links");
  fs::create_symlink(tmp / "target", tmp / "links" / "name");
  auto link = unpack(records({{"name", bytes_of("overwrite")}}), tmp / "links");
  ASSERT_FALSE(link);
  EXPECT_TRUE(link.error().message().starts_with("IO error: ")) << link.error();
  EXPECT_EQ(test::read_file(tmp / "target"), "keep");
}

// ---- Materialising

TEST(MaterializeStream, ChecksEveryListedFile) {
  const std::vector<NamedFile> files = {{"data.mdb", pseudo_random(150000, 9)}, {"lock.mdb", bytes_of("L")}};
  const Bytes stream = records(files);
  const std::vector<FileStreamEntry> entries = test::file_entries(files);
  ASSERT_EQ(entries[1], (FileStreamEntry{"lock.mdb", 1, sha256_hex(std::string_view("L"))}));

  auto with_files = [](std::vector<FileStreamEntry> list) {
    FileStreamAnnounce a;
    a.files = std::move(list);
    return a;
  };
  struct Case {
    std::string name;
    std::vector<FileStreamEntry> listed;
    std::optional<P2PError> error;
  };
  test::TempDir outer;
  test::write_file(outer / "outside", "outside");
  std::vector<FileStreamEntry> wrong_size = entries;
  wrong_size[0].size = 1;
  std::vector<FileStreamEntry> wrong_digest = entries;
  wrong_digest[1].sha256 = sha256_hex(std::string_view("M"));
  std::vector<FileStreamEntry> uppercase = entries;
  for (auto& ch : uppercase[0].sha256) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const Case cases[] = {
      {"all listed", entries, std::nullopt},
      {"none listed", {}, std::nullopt},
      {"one listed", {entries[1]}, std::nullopt},
      {"wrong size, right digest", wrong_size, std::nullopt},
      {"wrong digest", wrong_digest, P2PError::wire_format("file stream entry sha256 mismatch")},
      {"digest in upper case", uppercase, P2PError::wire_format("file stream entry sha256 mismatch")},
      {"listed but not sent", {entries[0], {"missing", 0, sha256_hex(std::string_view(""))}},
       P2PError::io("No such file or directory (os error 2)")},
      // Names that cannot come out of a stream are not followed out of the directory.
      {"parent path", {{"../outside", 7, sha256_hex(std::string_view("outside"))}},
       P2PError::wire_format("unsafe file stream name")},
      {"absolute path", {{(outer / "outside").string(), 7, sha256_hex(std::string_view("outside"))}},
       P2PError::wire_format("unsafe file stream name")},
  };
  for (const auto& c : cases) {
    test::TempDir tmp;
    test::write_file(tmp / "outside", "outside");
    const fs::path dir = tmp / "index";
    auto got = materialize_stream(with_files(c.listed), packed_file(tmp, stream), {}, dir);
    if (c.error) {
      ASSERT_FALSE(got) << c.name;
      EXPECT_EQ(got.error(), c.error->display()) << c.name;
    } else {
      ASSERT_TRUE(got) << c.name << ": " << got.error();
    }
    // Every record was written before the digests were checked.
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"data.mdb", "lock.mdb"})) << c.name;
  }

  test::TempDir tmp;
  Bytes broken = stream;
  broken.pop_back();
  EXPECT_EQ(materialize_stream(with_files(entries), packed_file(tmp, broken), {}, tmp / "index").error(),
            P2PError::wire_format("truncated file stream body").display());
}

TEST(MaterializeStream, MultiFrameStreamFromDirectoryToDirectory) {
  test::TempDir tmp;
  const fs::path source = tmp / "source";
  test::write_file(source / "b.bin", std::string(5000, 'b'));
  test::write_file(source / "a.txt", "alpha");
  test::write_file(source / "c", "");
  fs::create_directories(source / "subdir");
  const auto files = test::read_directory_files(source);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].first, "a.txt");
  const Bytes stream = pack_files(files);

  auto messages = peer::plan_stream({kFeatureId, kBlobId, "bytes", test::file_entries(files)}, stream, 2000).value();
  EXPECT_EQ(FileStreamAnnounce::from_control_payload(messages[0].bytes)->segment_count, 3u);
  FileStreamReceiver receiver;
  std::optional<CompletedStream> completed;
  for (const auto& m : messages) {
    ASSERT_FALSE(completed);
    auto got = receiver.push(m.channel, m.bytes);
    ASSERT_TRUE(got) << got.error().display();
    if (*got) completed = std::move(**got);
  }
  ASSERT_TRUE(completed);
  const fs::path out = tmp / "blobs" / (std::string(kBlobId) + ".lmdb");
  auto written = materialize_stream(completed->announce, completed->spool.path(), completed->file_digests, out);
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"a.txt", "b.bin", "c"}));
  for (const char* name : {"a.txt", "b.bin", "c"}) EXPECT_EQ(test::read_file(out / name), test::read_file(source / name));
}

// ---- Writing as the bytes arrive

// Feeds the whole stream to the unpacker in one call, in pieces of 100 bytes.
template <class Writer>
void feed_all(Writer& unpacker, const Bytes& stream) {
  std::vector<std::span<const std::uint8_t>> pieces;
  for (std::size_t at = 0; at < stream.size(); at += 100) {
    pieces.push_back(std::span(stream).subspan(at, std::min<std::size_t>(100, stream.size() - at)));
  }
  unpacker.update(pieces);
}

// What the system refuses while the files are written does not end the stream:
// it is kept, and the landing gets it from finish; a file that cannot be
// opened sends the landing back to the stream's bytes, which say why.
template <class Writer>
void check_refusals_kept_for_finish() {
  const Bytes stream = records({{"one", pseudo_random(3000, 1)}, {"two", bytes_of("2")}});
  struct Case {
    std::string name;
    test::FsOp op;
    std::size_t nth;
    int error;
    std::optional<std::string> finished;  // the error; none: unpack from the bytes
  };
  const Case cases[] = {
      {"the directory cannot be made", test::FsOp::make_directory, 1, EACCES,
       P2PError::io("Permission denied (os error 13)").display()},
      {"a full disk", test::FsOp::write, 2, ENOSPC, P2PError::io("No space left on device (os error 28)").display()},
      {"a failed flush", test::FsOp::sync, 2, EIO, P2PError::io("Input/output error (os error 5)").display()},
      {"a file that cannot be opened", test::FsOp::open, 1, EMFILE, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir tmp;
    test::FaultFileSystem faulty(tmp.path());
    faulty.fail(c.op, c.nth, c.error);
    const ScopedFileSystem installed(faulty);
    {
      Writer unpacker = make_writer<Writer>(tmp / ".incoming-spool-abc123");
      feed_all(unpacker, stream);
      const auto finished = unpacker.finish();
      ASSERT_TRUE(faulty.failed());
      if (c.finished) {
        ASSERT_FALSE(finished);
        EXPECT_EQ(finished.error(), *c.finished);
      } else {
        ASSERT_TRUE(finished) << finished.error();
        EXPECT_FALSE(*finished);
      }
    }
    EXPECT_TRUE(names_in(tmp.path()).empty()) << "nothing left once dropped";
  }
}
TEST(StreamUnpacker, WhatTheSystemRefusesIsKeptForFinish) { check_refusals_kept_for_finish<StreamUnpacker>(); }
TEST(StreamFilesWriter, WhatTheSystemRefusesOnTheWriterThreadIsKeptForFinish) {
  check_refusals_kept_for_finish<StreamFilesWriter>();
}

// Every file is flushed once, also beyond the number that may wait for their
// flush; a directory left by an earlier stream is replaced; the directory goes
// with the unpacker unless it was moved.
template <class Writer>
void check_flushes_and_owns_directory() {
  std::vector<NamedFile> files;
  for (int i = 0; i < 150; ++i) files.push_back({"f" + std::to_string(i), bytes_of(std::to_string(i))});
  const Bytes stream = records(files);
  test::TempDir tmp;
  const fs::path dir = tmp / ".incoming-spool-abc123";
  test::write_file(dir / "stale", "from an earlier stream");
  test::FaultFileSystem counting(tmp.path());
  {
    const ScopedFileSystem installed(counting);
    Writer unpacker = make_writer<Writer>(dir);
    feed_all(unpacker, stream);
    const auto finished = unpacker.finish();
    ASSERT_TRUE(finished) << finished.error();
    EXPECT_TRUE(*finished);
    EXPECT_EQ(counting.count(test::FsOp::sync), files.size());
    EXPECT_EQ(names_in(dir).size(), files.size());
    EXPECT_EQ(test::read_file(dir / "f149"), "149");

    Writer moved = std::move(unpacker);
    ASSERT_TRUE(moved.move_to(tmp / "index"));
  }
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"index"});
  EXPECT_EQ(names_in(tmp / "index").size(), files.size());
}
TEST(StreamUnpacker, FlushesEveryFileAndOwnsItsDirectory) { check_flushes_and_owns_directory<StreamUnpacker>(); }
TEST(StreamFilesWriter, FlushesEveryFileAndOwnsItsDirectory) { check_flushes_and_owns_directory<StreamFilesWriter>(); }

// A stream several times the writer's hand-off: the caller waits for room and
// every byte gets written, in order; a writer dropped while bytes still wait
// has stopped, and its directory is gone, once the drop returns.
TEST(StreamFilesWriter, MoreThanTheHandOffHoldsIsWrittenOrDroppedWhole) {
  const std::size_t big = StreamFilesWriter::kMaxQueuedBytes + 2 * StreamFilesWriter::kBufferBytes + 12345;
  const std::vector<NamedFile> files = {{"big", pseudo_random(big, 7)},
                                        {"small", bytes_of("after the big one")},
                                        {"big2", pseudo_random(StreamFilesWriter::kBufferBytes + 7, 8)}};
  const Bytes stream = records(files);
  auto feed = [&stream](StreamFilesWriter& writer, std::size_t upto) {
    for (std::size_t at = 0; at < upto; at += 65536) {
      const std::span<const std::uint8_t> piece = std::span(stream).subspan(at, std::min<std::size_t>(65536, upto - at));
      writer.update(std::span(&piece, 1));
    }
  };
  {
    test::TempDir tmp;
    StreamFilesWriter writer(tmp / ".incoming-spool-abc123", true);
    ASSERT_TRUE(writer.in_background());
    feed(writer, stream.size());
    const auto finished = writer.finish();
    ASSERT_TRUE(finished) << finished.error();
    ASSERT_TRUE(*finished);
    for (const NamedFile& f : files) {
      const std::string written = test::read_file(writer.dir() / f.first);
      EXPECT_TRUE(written == std::string(f.second.begin(), f.second.end())) << f.first;
    }
  }
  {
    test::TempDir tmp;
    {
      StreamFilesWriter writer(tmp / ".incoming-spool-abc123", true);
      feed(writer, stream.size() / 2);
    }
    EXPECT_TRUE(names_in(tmp.path()).empty()) << "nothing left once dropped";
  }
}

}  // namespace
}  // namespace kio::install
