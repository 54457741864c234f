// Appending to the LTR: one sealed frame, one line, at the end of the chain.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/crypto.h"
#include "install/persist/ltr_format.h"
#include "install/persist/ltr_reader.h"
#include "install/persist/payloads.h"
#include "install/persist/persist.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

// Cuts a torn final line off, so that the segment ends with its last complete line.
Result<void> cut_back(const fs::path& segment, std::uint64_t length) {
  auto fd = open_file(segment, O_WRONLY);
  if (!fd) return std::unexpected(fd.error());
  if (::ftruncate(fd->get(), static_cast<off_t>(length)) != 0) return fail(last_os_error_text());
  if (auto synced = flush_to_device(fd->get()); !synced) return synced;
  return fd->close();
}

// Appends one line to a segment, creating it (0600) if needed; a segment whose
// last line lacks its line feed gets one first.
Result<void> append_segment_line(const fs::path& segment, std::string_view line) {
  if (auto made = detail::create_private_parent(segment); !made) return made;
  bool created = true;
  Fd fd(::open(segment.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() && errno == EEXIST) {
    created = false;
    fd = Fd(::open(segment.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  }
  if (!fd.valid()) return fail(last_os_error_text());
  if (::fchmod(fd.get(), 0600) != 0) return fail(last_os_error_text());
  std::string bytes;
  struct stat st {};
  if (!created && ::fstat(fd.get(), &st) == 0 && st.st_size > 0) {
    char last = '\n';
    if (::pread(fd.get(), &last, 1, st.st_size - 1) != 1) return fail(last_os_error_text());
    if (last != '\n') bytes.push_back('\n');
  }
  bytes.append(line);
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (auto synced = flush_to_device(fd.get()); !synced) return synced;
  if (auto closed = fd.close(); !closed) return closed;
  if (created) return flush_directory(parent_directory(segment));
  return {};
}

}  // namespace

Result<std::uint64_t> Persist::append_ltr_payload(const LtrPayload& payload) {
  auto tip = detail::read_chain(root_);
  if (!tip) return std::unexpected(tip.error());
  const std::uint64_t sequence = tip->count + 1;

  auto plaintext = serialize_ltr_payload(payload);
  if (!plaintext) return std::unexpected(plaintext.error());
  const auto aad = ltr_aad(founder_id_, LTR_STREAM_LABEL, sequence, tip->last_digest);
  auto sealed = encrypt(wrap_key_, aad, *plaintext);
  sodium_memzero(plaintext->data(), plaintext->size());
  if (!sealed) return std::unexpected(sealed.error());

  std::string line;
  write_frame_line(line, LtrFrameView{LTR_FRAME_SCHEMA, LTR_FRAME_VERSION, sequence, tip->last_digest,
                                      sealed->nonce_b64, sealed->ciphertext_b64});
  line.push_back('\n');

  if (tip->torn_segment) {
    if (auto cut = cut_back(*tip->torn_segment, tip->torn_offset); !cut) return std::unexpected(cut.error());
  }
  auto segment = today_segment_path();
  if (!segment) return std::unexpected(segment.error());
  if (auto appended = append_segment_line(*segment, line); !appended) return std::unexpected(appended.error());
  return sequence;
}

}  // namespace kio::install
