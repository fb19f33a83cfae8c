// OwnedBytes: an immutable run of bytes inside a backing buffer shared by
// reference count (a byte vector, a memory map, ...). Copies and sub-ranges
// share the owner; the bytes never change.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace fendral {

class OwnedBytes {
 public:
  OwnedBytes() = default;
  OwnedBytes(const uint8_t* data, size_t len, std::shared_ptr<const void> owner)
      : data_(data), len_(len), owner_(std::move(owner)) {}

  static OwnedBytes from_vector(std::vector<uint8_t> bytes) {
    auto owner = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    return OwnedBytes(owner->data(), owner->size(), owner);
  }
  static OwnedBytes copy_of(std::span<const uint8_t> bytes) {
    return from_vector(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  static OwnedBytes empty() { return OwnedBytes(); }

  size_t len() const { return len_; }
  bool is_empty() const { return len_ == 0; }
  const uint8_t* data() const { return data_; }
  std::span<const uint8_t> as_bytes() const { return {data_, len_}; }
  const std::shared_ptr<const void>& owner() const { return owner_; }

  // Sub-range sharing the owner. Contract: from <= to <= len.
  OwnedBytes sub_range(size_t from, size_t to) const;
  // First n bytes and the rest. Contract: n <= len ("mid > len").
  std::pair<OwnedBytes, OwnedBytes> split_at(size_t n) const;

  // "OwnedBytes([1, 2, 3], len=3)"
  std::string debug() const;

 private:
  const uint8_t* data_ = nullptr;
  size_t len_ = 0;
  std::shared_ptr<const void> owner_;
};

}  // namespace fendral
