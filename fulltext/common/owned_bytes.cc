#include "fulltext/common/owned_bytes.h"

#include <fmt/format.h>

#include "fulltext/error/error.h"

namespace fendral {

OwnedBytes OwnedBytes::sub_range(size_t from, size_t to) const {
  if (from > to || to > len_) contract_violation(fmt::format("range {}..{} out of bounds for length {}", from, to, len_));
  return OwnedBytes(data_ + from, to - from, owner_);
}

std::pair<OwnedBytes, OwnedBytes> OwnedBytes::split_at(size_t n) const {
  if (n > len_) contract_violation("mid > len");
  return {OwnedBytes(data_, n, owner_), OwnedBytes(data_ + n, len_ - n, owner_)};
}

std::string OwnedBytes::debug() const {
  std::string out = "OwnedBytes([";
  size_t shown = std::min<size_t>(len_, 10);
  for (size_t i = 0; i < shown; ++i) {
    if (i) out += ", ";
    out += std::to_string(data_[i]);
  }
  out += fmt::format("], len={})", len_);
  return out;
}

}  // namespace fendral
