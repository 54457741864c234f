// Containers for keys and plaintexts that overwrite their bytes when released.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kio {

// Allocator that zeroes every block before handing it back, so that a vector's
// old buffer is wiped when it grows and its last buffer when it is destroyed.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    sodium_memzero(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// A byte buffer whose storage is wiped when released.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Tests only: when set, sees every WipedBytes buffer just before it is wiped.
inline void (*wipe_observer)(const std::uint8_t* data, std::size_t size) = nullptr;

// Overwrites the bytes with zeros (first showing them to the test observer).
inline void wipe_memory(void* data, std::size_t size) noexcept {
  if (size == 0) return;
  if (wipe_observer != nullptr) wipe_observer(static_cast<const std::uint8_t*>(data), size);
  sodium_memzero(data, size);
}

// A plain std::string's storage, its inline buffer included.
inline void wipe_string(std::string& s) noexcept { wipe_memory(s.data(), s.capacity()); }

// A plain byte vector that wipes its storage (the whole capacity) when it is
// released or assigned over. It can take over an ordinary vector's buffer
// without a copy, which the self-wiping allocator cannot; growing it would
// free the old buffer unwiped, so it is meant for buffers filled once.
class WipedBytes : public std::vector<std::uint8_t> {
 public:
  using Base = std::vector<std::uint8_t>;
  using Base::Base;
  WipedBytes() = default;
  WipedBytes(Base&& other) noexcept : Base(std::move(other)) {}
  WipedBytes(const Base& other) : Base(other) {}
  WipedBytes(WipedBytes&& other) noexcept = default;
  WipedBytes(const WipedBytes& other) = default;
  WipedBytes& operator=(WipedBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      Base::operator=(std::move(other));
    }
    return *this;
  }
  WipedBytes& operator=(const WipedBytes& other) {
    if (this != &other) {
      wipe();
      Base::operator=(other);
    }
    return *this;
  }
  ~WipedBytes() { wipe(); }

  void wipe() noexcept {
    wipe_memory(data(), capacity());
  }
};

// A text whose storage is wiped when released; the destructor also wipes the
// inline buffer that short strings live in.
class SecretText {
 public:
  using String = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  SecretText() = default;
  explicit SecretText(std::string_view text) : s_(text.data(), text.size()) {}
  SecretText(const SecretText&) = default;
  SecretText(SecretText&& other) noexcept : s_(std::move(other.s_)) { other.wipe(); }
  SecretText& operator=(const SecretText&) = default;
  SecretText& operator=(SecretText&& other) noexcept {
    if (this != &other) {
      wipe();
      s_ = std::move(other.s_);
      other.wipe();
    }
    return *this;
  }
  ~SecretText() { wipe(); }

  std::string_view view() const { return {s_.data(), s_.size()}; }
  bool operator==(const SecretText& o) const { return s_ == o.s_; }

 private:
  void wipe() noexcept {
    sodium_memzero(s_.data(), s_.size());
    s_.clear();
  }
  String s_;
};

// A fixed 32-byte key, wiped when released.
class SecretKey {
 public:
  static constexpr std::size_t size = 32;
  SecretKey() { bytes_.fill(0); }
  explicit SecretKey(std::span<const std::uint8_t, size> bytes) { std::memcpy(bytes_.data(), bytes.data(), size); }
  SecretKey(const SecretKey& o) : bytes_(o.bytes_) {}
  SecretKey& operator=(const SecretKey& o) {
    bytes_ = o.bytes_;
    return *this;
  }
  // Moving leaves the source zeroed, so a moved-from key holds no secret.
  SecretKey(SecretKey&& o) noexcept : bytes_(o.bytes_) { o.wipe(); }
  SecretKey& operator=(SecretKey&& o) noexcept {
    bytes_ = o.bytes_;
    if (this != &o) o.wipe();
    return *this;
  }
  ~SecretKey() { wipe(); }

  const std::uint8_t* data() const { return bytes_.data(); }
  std::uint8_t* data() { return bytes_.data(); }
  std::span<const std::uint8_t, size> span() const { return std::span<const std::uint8_t, size>(bytes_); }
  void wipe() noexcept { sodium_memzero(bytes_.data(), bytes_.size()); }

 private:
  std::array<std::uint8_t, size> bytes_;
};

}  // namespace kio
