#include "p2p/chunking.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string_view>
#include <string>

#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hx(std::string text) {
  std::erase(text, ' ');
  return test::from_hex(text);
}

// frame id 0x0102030405060708, then chunk id, total chunks, payload length as given.
Bytes header(const std::string& chunk_total_length_hex) {
  return hx("0807060504030201 " + chunk_total_length_hex);
}

Bytes plus(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(FrameChunkDeserialize, RefusesInOrder) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::string error;
  };
  const Case cases[] = {
      {"empty", {}, "Chunk buffer too small"},
      {"17 bytes, payload length 0", plus(header("0000 0100 00000000"), Bytes(1)), "Chunk buffer too small"},
      {"zero total, bad chunk id", plus(header("0500 0000 00000000"), Bytes(2)), "total_chunks cannot be zero"},
      {"chunk id equals total", plus(header("0300 0300 00000000"), Bytes(2)), "chunk_id must be < total_chunks"},
      {"chunk id above total", plus(header("ffff 0300 00000000"), Bytes(2)), "chunk_id must be < total_chunks"},
      {"payload 1339, message long enough", plus(header("0000 0100 3b050000"), Bytes(1339)),
       "chunk payload exceeds MAX_CHUNK_SIZE"},
      {"payload length 2^32-1", plus(header("0000 0100 ffffffff"), Bytes(2)), "chunk payload exceeds MAX_CHUNK_SIZE"},
      {"payload one byte short", plus(header("0000 0100 05000000"), Bytes(4)), "chunk payload truncated"},
  };
  for (const auto& c : cases) {
    auto got = FrameChunk::deserialize(c.bytes);
    ASSERT_FALSE(got) << c.name;
    EXPECT_STREQ(got.error(), c.error.c_str()) << c.name;
  }
}

TEST(FrameChunkDeserialize, DecodesAndIgnoresTrailingBytes) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::uint16_t chunk_id;
    std::uint16_t total;
    Bytes payload;
  };
  const Case cases[] = {
      {"18 bytes, empty payload", plus(header("0000 0100 00000000"), Bytes{0xEE, 0xEE}), 0, 1, {}},
      {"18 bytes, one-byte payload", plus(header("0100 0200 01000000"), Bytes{0x41, 0xEE}), 1, 2, {0x41}},
      {"trailing bytes", plus(header("0200 0300 02000000"), Bytes{1, 2, 3, 4}), 2, 3, {1, 2}},
      {"largest payload", plus(header("feff ffff 3a050000"), Bytes(1338, 7)), 65534, 65535, Bytes(1338, 7)},
  };
  for (const auto& c : cases) {
    auto got = FrameChunk::deserialize(c.bytes);
    ASSERT_TRUE(got) << c.name << ": " << got.error();
    EXPECT_EQ(got->frame_id, 0x0102030405060708u) << c.name;
    EXPECT_EQ(got->chunk_id, c.chunk_id) << c.name;
    EXPECT_EQ(got->total_chunks, c.total) << c.name;
    EXPECT_EQ(got->payload, c.payload) << c.name;
  }
}

TEST(FrameChunkDeserialize, RoundTripsTheEncoder) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{1000}, MAX_CHUNK_SIZE}) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const Bytes message = encode_chunk(0xFFFFFFFFFFFFFFFFu, 4, 9, payload);
    EXPECT_EQ(message.size(), std::max<std::size_t>(16 + size, 18));
    auto chunk = FrameChunk::deserialize(message);
    ASSERT_TRUE(chunk) << size << ": " << chunk.error();
    EXPECT_EQ(*chunk, (FrameChunk{payload, 0xFFFFFFFFFFFFFFFFu, 4, 9})) << size;
  }
}

TEST(FrameMetadata, ReadsOnlyRegistrations) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::optional<FrameMetadata> expected;
  };
  const Case cases[] = {
      {"registration", hx("fa 0807060504030201 0300 78563412"), FrameMetadata{0x0102030405060708u, 3, 0x12345678}},
      {"zero chunks", hx("fa 0807060504030201 0000 78563412"), std::nullopt},
      {"16 bytes", hx("fa 0807060504030201 0300 78563412 00"), std::nullopt},
      {"14 bytes", hx("fa 0807060504030201 0300 785634"), std::nullopt},
      {"other marker", hx("fb 0807060504030201 0300 78563412"), std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(FrameMetadata::from_control_payload(c.bytes), c.expected) << c.name;

  const Bytes encoded = encode_registration(42, 65535, 0xFFFFFFFFu);
  EXPECT_EQ(FrameMetadata::from_control_payload(encoded), (FrameMetadata{42, 65535, 0xFFFFFFFFu}));
}

// Reassembler fixture: frames whose chunk k holds the text "<frame>:<k>;".
class Reassembly : public ::testing::Test {
 protected:
  static Bytes piece(std::uint64_t frame, std::uint16_t k) {
    return test::bytes_of(std::to_string(frame) + ":" + std::to_string(k) + ";");
  }
  static FrameChunk chunk(std::uint64_t frame, std::uint16_t k, std::uint16_t total) {
    return FrameChunk{piece(frame, k), frame, k, total};
  }
  static Bytes whole(std::uint64_t frame, std::uint16_t total) {
    Bytes out;
    for (std::uint16_t k = 0; k < total; ++k) out = plus(out, piece(frame, k));
    return out;
  }
  void add(std::uint64_t frame, std::uint16_t total) { r.register_frame(FrameMetadata{frame, total, 0}); }
  // Adds chunks in the given order; returns the frame if the last one completed it and
  // checks that no earlier one did.
  std::optional<Bytes> send(std::uint64_t frame, std::uint16_t total, std::initializer_list<std::uint16_t> ids) {
    std::optional<Bytes> result;
    for (std::uint16_t k : ids) {
      EXPECT_FALSE(result) << "frame " << frame << " completed before its last chunk";
      result = r.add_chunk(chunk(frame, k, total));
    }
    return result;
  }

  FrameReassembler r;
};

TEST_F(Reassembly, CompletesInChunkOrderWhateverTheArrivalOrder) {
  add(7, 3);
  EXPECT_EQ(send(7, 3, {2, 0, 1}), whole(7, 3));
  add(8, 1);
  EXPECT_EQ(send(8, 1, {0}), whole(8, 1));
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_EQ(r.registration_count(), 0u);
}

TEST_F(Reassembly, KeepsTheFirstCopyOfADuplicate) {
  add(1, 2);
  EXPECT_FALSE(r.add_chunk(chunk(1, 1, 2)));
  EXPECT_FALSE(r.add_chunk(FrameChunk{test::bytes_of("late copy"), 1, 1, 2}));
  EXPECT_EQ(r.add_chunk(chunk(1, 0, 2)), whole(1, 2));
}

TEST_F(Reassembly, DropsWhatItCannotPlace) {
  // No registration at all, then an unregistered id, then an invalid chunk.
  EXPECT_FALSE(r.add_chunk(chunk(1, 0, 1)));
  add(2, 1);
  EXPECT_FALSE(r.add_chunk(chunk(1, 0, 1)));
  EXPECT_FALSE(r.add_chunk(FrameChunk{{}, 2, 0, 0}));
  EXPECT_FALSE(r.add_chunk(FrameChunk{{}, 2, 1, 1}));
  EXPECT_EQ(r.partial_count(), 0u);
  // The chunk that arrived before its registration is lost for good.
  add(1, 2);
  EXPECT_FALSE(r.add_chunk(chunk(1, 1, 2)));
  EXPECT_EQ(r.add_chunk(chunk(1, 0, 2)), whole(1, 2));
}

TEST_F(Reassembly, ACompletedFrameIsForgotten) {
  add(5, 2);
  EXPECT_EQ(send(5, 2, {0, 1}), whole(5, 2));
  EXPECT_FALSE(r.add_chunk(chunk(5, 0, 2)));
  EXPECT_FALSE(r.add_chunk(chunk(5, 1, 2)));
  add(5, 2);  // registered again: a new frame
  EXPECT_EQ(send(5, 2, {1, 0}), whole(5, 2));
}

TEST_F(Reassembly, DisagreeingChunkCountAbandonsTheFrame) {
  add(3, 3);
  EXPECT_FALSE(r.add_chunk(chunk(3, 0, 3)));
  EXPECT_FALSE(r.add_chunk(chunk(3, 1, 4)));
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_EQ(r.registration_count(), 0u);
  EXPECT_FALSE(r.add_chunk(chunk(3, 1, 3)));
  EXPECT_FALSE(r.add_chunk(chunk(3, 2, 3)));
  add(3, 3);
  EXPECT_EQ(send(3, 3, {0, 1, 2}), whole(3, 3));
}

TEST_F(Reassembly, RegisteringAgainRestartsTheFrame) {
  add(9, 4);
  EXPECT_FALSE(send(9, 4, {0, 1}));
  add(9, 4);
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_FALSE(send(9, 4, {2, 3}));  // chunks 0 and 1 were discarded
  EXPECT_EQ(send(9, 4, {0, 1}), whole(9, 4));
}

TEST_F(Reassembly, SixteenFramesInFlightAtMost) {
  for (std::uint64_t f = 0; f < 17; ++f) add(f, 2);
  for (std::uint64_t f = 0; f < 16; ++f) EXPECT_FALSE(r.add_chunk(chunk(f, 0, 2)));
  EXPECT_EQ(r.partial_count(), 16u);
  // A chunk of one of the sixteen evicts nothing.
  EXPECT_FALSE(r.add_chunk(chunk(3, 0, 2)));
  EXPECT_EQ(r.partial_count(), 16u);
  EXPECT_EQ(r.registration_count(), 17u);
  // The seventeenth frame's first chunk evicts one of them, registration included.
  EXPECT_FALSE(r.add_chunk(chunk(16, 0, 2)));
  EXPECT_EQ(r.partial_count(), 16u);
  EXPECT_EQ(r.registration_count(), 16u);
  int completed = 0;
  for (std::uint64_t f = 0; f < 17; ++f) {
    if (auto frame = r.add_chunk(chunk(f, 1, 2))) {
      EXPECT_EQ(*frame, whole(f, 2));
      ++completed;
    }
  }
  EXPECT_EQ(completed, 16);
  EXPECT_EQ(r.partial_count(), 0u);
}

TEST_F(Reassembly, AChunkThatWillNotBeKeptEvictsNothing) {
  for (std::uint64_t f = 0; f < 17; ++f) add(f, 2);
  for (std::uint64_t f = 0; f < 16; ++f) r.add_chunk(chunk(f, 0, 2));
  EXPECT_FALSE(r.add_chunk(chunk(16, 0, 5)));  // disagrees: its own frame is abandoned, no other
  EXPECT_EQ(r.partial_count(), 16u);
  EXPECT_EQ(r.registration_count(), 16u);
  for (std::uint64_t f = 0; f < 16; ++f) EXPECT_EQ(r.add_chunk(chunk(f, 1, 2)), whole(f, 2)) << f;
}

TEST_F(Reassembly, RegistrationTableIsBounded) {
  const std::uint64_t limit = FrameReassembler::MAX_REGISTRATIONS;
  add(0, 2);
  EXPECT_FALSE(r.add_chunk(chunk(0, 0, 2)));
  for (std::uint64_t f = 1; f < limit; ++f) add(f, 1);
  add(1, 1);  // re-registering makes frame 1 the newest
  EXPECT_EQ(r.registration_count(), limit);
  add(limit, 1);  // forgets frame 0, the oldest, with its partial data
  EXPECT_EQ(r.registration_count(), limit);
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_FALSE(r.add_chunk(chunk(0, 1, 2)));
  add(limit + 1, 1);  // forgets frame 2 (frame 1 was renewed)
  EXPECT_FALSE(r.add_chunk(chunk(2, 0, 1)));
  EXPECT_EQ(r.add_chunk(chunk(1, 0, 1)), whole(1, 1));
  EXPECT_EQ(r.add_chunk(chunk(limit + 1, 0, 1)), whole(limit + 1, 1));
}

TEST_F(Reassembly, PartialFramesAreBoundedInBytes) {
  // Chunks of these frames hold 4 bytes ("f:k;"); each frame of 2 chunks is
  // charged its 2 slots when it starts.
  const std::size_t frame_start = 2 * FrameReassembler::SLOT_COST + 4;
  r = FrameReassembler(3 * frame_start + 4);
  for (std::uint64_t f = 1; f <= 5; ++f) add(f, 2);
  for (std::uint64_t f = 1; f <= 3; ++f) EXPECT_FALSE(r.add_chunk(chunk(f, 0, 2)));
  EXPECT_EQ(r.partial_count(), 3u);
  EXPECT_EQ(r.partial_bytes(), 3 * frame_start);
  // A fourth frame does not fit beside them: the oldest gives way, registration included.
  EXPECT_FALSE(r.add_chunk(chunk(4, 0, 2)));
  EXPECT_EQ(r.partial_count(), 3u);
  EXPECT_FALSE(r.add_chunk(chunk(1, 1, 2)));
  // A chunk of a frame already held fits in what is left, and completes it.
  EXPECT_EQ(r.add_chunk(chunk(2, 1, 2)), whole(2, 2));
  EXPECT_EQ(r.partial_bytes(), 2 * frame_start);

  // A frame that could not fit even alone is dropped at once and evicts nothing.
  add(6, 60000);
  EXPECT_FALSE(r.add_chunk(chunk(6, 0, 60000)));
  EXPECT_EQ(r.partial_count(), 2u);
  EXPECT_EQ(r.registration_count(), 3u);  // frames 3, 4, 5
  EXPECT_EQ(r.add_chunk(chunk(3, 1, 2)), whole(3, 2));
  EXPECT_EQ(r.add_chunk(chunk(4, 1, 2)), whole(4, 2));
  EXPECT_EQ(r.partial_bytes(), 0u);


}

TEST_F(Reassembly, LargestFrameAndEncodedChunks) {
  // 65,535 chunks of 1338 bytes, sent through the wire encoding in reverse
  // order: in memory, to a reassembler whose byte bound leaves room for them,
  // and on disk, with the default bound.
  const std::uint16_t total = 65535;
  test::TempDir spill;
  struct Case {
    const char* name;
    std::size_t max_partial_bytes;
    std::filesystem::path spill_dir;
  };
  const Case cases[] = {
      {"in memory", std::size_t{total} * (MAX_CHUNK_SIZE + FrameReassembler::SLOT_COST), {}},
      {"on disk", MAX_PARTIAL_BYTES, spill.path()},
  };
  for (const auto& c : cases) {
    r = FrameReassembler(c.max_partial_bytes, c.spill_dir);
    r.register_frame(*FrameMetadata::from_control_payload(encode_registration(77, total, 0)));
    std::optional<Bytes> frame;
    for (int k = total - 1; k >= 0; --k) {
      ASSERT_FALSE(frame) << c.name;
      Bytes payload(MAX_CHUNK_SIZE, static_cast<std::uint8_t>(k));
      frame = r.add_chunk(*FrameChunk::deserialize(encode_chunk(77, static_cast<std::uint16_t>(k), total, payload)));
    }
    ASSERT_TRUE(frame) << c.name;
    ASSERT_EQ(frame->size(), std::size_t{total} * MAX_CHUNK_SIZE) << c.name;
    for (std::size_t k = 0; k < total; ++k) {
      ASSERT_EQ((*frame)[k * MAX_CHUNK_SIZE], static_cast<std::uint8_t>(k)) << c.name;
      ASSERT_EQ((*frame)[k * MAX_CHUNK_SIZE + MAX_CHUNK_SIZE - 1], static_cast<std::uint8_t>(k)) << c.name;
    }
  }
  // The spill file never had a lasting name.
  EXPECT_TRUE(std::filesystem::is_empty(spill.path()));
}

// Frames too large for the memory bound wait on disk: with a bound of 1000
// bytes, a frame of 2 chunks (2 x 1,339 charged at full size) goes to disk.
class SpilledReassembly : public Reassembly {
 protected:
  void SetUp() override { r = FrameReassembler(1000, spill.path()); }
  test::TempDir spill;
};

TEST_F(SpilledReassembly, FramesOnDiskBehaveAsInMemory) {
  // Out of order, a duplicate, chunks of every length (the last ones short).
  add(7, 3);
  EXPECT_FALSE(r.add_chunk(chunk(7, 2, 3)));
  EXPECT_FALSE(r.add_chunk(FrameChunk{Bytes(MAX_CHUNK_SIZE, 'b'), 7, 1, 3}));
  EXPECT_FALSE(r.add_chunk(FrameChunk{test::bytes_of("late copy"), 7, 1, 3}));
  EXPECT_EQ(r.partial_bytes(), 0u);
  EXPECT_EQ(r.spilled_bytes(), MAX_CHUNK_SIZE + piece(7, 2).size());
  EXPECT_EQ(r.add_chunk(FrameChunk{Bytes(MAX_CHUNK_SIZE, 'a'), 7, 0, 3}),
            plus(plus(Bytes(MAX_CHUNK_SIZE, 'a'), Bytes(MAX_CHUNK_SIZE, 'b')), piece(7, 2)));
  EXPECT_EQ(r.spilled_bytes(), 0u);
  // Empty and one-byte chunks in the middle.
  add(8, 4);
  EXPECT_EQ(send(8, 4, {3, 1, 0}), std::nullopt);
  EXPECT_EQ(r.add_chunk(FrameChunk{{}, 8, 2, 4}), plus(plus(piece(8, 0), piece(8, 1)), piece(8, 3)));
  // Restarting, a disagreeing count and eviction drop what the frame held.
  add(9, 4);
  EXPECT_FALSE(send(9, 4, {0, 1}));
  add(9, 4);
  EXPECT_EQ(r.spilled_bytes(), 0u);
  EXPECT_FALSE(send(9, 4, {2, 3}));
  EXPECT_FALSE(r.add_chunk(chunk(9, 0, 5)));
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_EQ(r.spilled_bytes(), 0u);
  for (std::uint64_t f = 20; f < 37; ++f) add(f, 2);
  for (std::uint64_t f = 20; f < 37; ++f) EXPECT_FALSE(r.add_chunk(chunk(f, 0, 2)));
  EXPECT_EQ(r.partial_count(), 16u);
  EXPECT_FALSE(r.add_chunk(chunk(20, 1, 2)));  // the oldest gave way
  for (std::uint64_t f = 21; f < 37; ++f) EXPECT_EQ(r.add_chunk(chunk(f, 1, 2)), whole(f, 2)) << f;
  EXPECT_EQ(r.spilled_bytes(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(spill.path()));
}

TEST_F(SpilledReassembly, AFramePassingTheSpillLimitIsRefusedAtOnce) {
  r.set_spill_limit(10);
  add(4, 3);
  add(5, 2);
  ASSERT_TRUE(r.add_chunk_parts(chunk(4, 0, 3)).value() == std::nullopt);
  ASSERT_TRUE(r.add_chunk_parts(chunk(5, 0, 2)).value() == std::nullopt);  // 8 bytes held
  auto refused = r.add_chunk_parts(chunk(4, 1, 3));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(),
            "frame 4 of 3 chunks refused: its chunks pass the 10 bytes left of the announced stream "
            "(it holds 4, other partial frames 4)");
  // Only the refused frame is gone.
  EXPECT_EQ(r.partial_count(), 1u);
  EXPECT_EQ(r.spilled_bytes(), 4u);
  EXPECT_EQ(r.add_chunk(chunk(5, 1, 2)), whole(5, 2));
}

TEST_F(SpilledReassembly, AFrameThatCannotBeKeptOnDiskIsReported) {
  r = FrameReassembler(1000, spill.path() / "missing");
  add(3, 2);
  auto refused = r.add_chunk_parts(chunk(3, 0, 2));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(),
            "IO error: frame 3 of 2 chunks could not be kept on disk: No such file or directory (os error 2)");
  EXPECT_EQ(r.partial_count(), 0u);
  EXPECT_EQ(r.registration_count(), 0u);
}

// Every decrypted chunk payload is wiped when it is released, whether it was
// dropped, evicted, kept in memory or written to disk.
TEST(ChunkPayloads, AreWipedWhenReleased) {
  static const std::string marker = "plaintext-marker";
  static std::size_t seen = 0;
  seen = 0;
  wipe_observer = [](const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (auto at = text.find(marker); at != std::string_view::npos; at = text.find(marker, at + 1)) ++seen;
  };
  test::TempDir spill;
  std::size_t sent = 0;
  {
    const auto with_marker = [&](std::uint64_t frame, std::uint16_t k, std::uint16_t total) {
      ++sent;
      return *FrameChunk::deserialize(encode_chunk(frame, k, total, test::bytes_of(marker + std::to_string(k))));
    };
    struct Case {
      const char* name;
      std::size_t max_partial_bytes;
    };
    for (const Case& c : {Case{"in memory", MAX_PARTIAL_BYTES}, Case{"on disk", 1000}}) {
      FrameReassembler r(c.max_partial_bytes, spill.path());
      r.add_chunk(with_marker(1, 0, 2));  // not registered: dropped
      r.register_frame({1, 2, 0});
      r.add_chunk(with_marker(1, 0, 2));
      r.add_chunk(with_marker(1, 0, 2));  // duplicate
      EXPECT_TRUE(r.add_chunk(with_marker(1, 1, 2))) << c.name;
      r.register_frame({2, 2, 0});
      r.add_chunk(with_marker(2, 0, 2));  // left partial when the reassembler goes
    }
  }
  wipe_observer = nullptr;
  // Buffers of the disk path carry further copies, also wiped.
  EXPECT_GE(seen, sent);
}

}  // namespace
}  // namespace kio::p2p
