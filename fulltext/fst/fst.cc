#include "fulltext/fst/fst.h"

#include <fmt/format.h>

#include <cstring>

#include "fulltext/fst/common_inputs.h"

namespace fendral::fst {

static uint64_t read_u64_le(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

static Error corrupt_at(uint64_t addr, const char* what) {
  return Error::corrupt(fmt::format("{} in node at address {}", what, addr));
}

std::expected<Node, Error> Node::decode(std::span<const uint8_t> data, uint64_t version, uint64_t addr) {
  Node n;
  n.data_ = data;
  n.addr_ = addr;
  if (addr == kEmptyAddress) return n;  // the empty final node
  if (addr >= data.size()) return std::unexpected(corrupt_at(addr, "address past the end"));
  uint8_t state = data[addr];
  uint8_t top = state >> 6;
  if (top == 3 || top == 2) {
    uint8_t code = state & 0x3F;
    uint64_t input_len = code == 0 ? 1 : 0;
    if (addr < input_len) return std::unexpected(corrupt_at(addr, "input byte before the data"));
    uint8_t input = code == 0 ? data[addr - 1] : common_input(code);
    n.is_final_ = false;
    n.ntrans_ = 1;
    n.single_.input = input;
    if (top == 3) {  // Next
      n.form_ = NodeForm::Next;
      n.start_ = addr - input_len;
      if (n.start_ == 0) return std::unexpected(corrupt_at(addr, "next node at the start"));
      n.single_.addr = n.start_ - 1;
      n.single_.output = 0;
      return n;
    }
    n.form_ = NodeForm::One;
    if (addr < input_len + 1) return std::unexpected(corrupt_at(addr, "pack sizes before the data"));
    uint64_t pack_pos = addr - input_len - 1;
    uint8_t sizes = data[pack_pos];
    n.tsize_ = sizes >> 4;
    n.osize_ = sizes & 0x0F;
    if (n.tsize_ > 8 || n.osize_ > 8) return std::unexpected(corrupt_at(addr, "pack size above 8"));
    if (pack_pos < uint64_t{n.tsize_} + n.osize_) return std::unexpected(corrupt_at(addr, "node before the data"));
    n.start_ = pack_pos - n.tsize_ - n.osize_;
    uint64_t delta = n.read_packed(n.start_ + n.osize_, n.tsize_);
    n.single_.output = n.read_packed(n.start_, n.osize_);
    if (delta == 0) {
      n.single_.addr = kEmptyAddress;
    } else {
      if (delta > n.start_) return std::unexpected(corrupt_at(addr, "target before the data"));
      n.single_.addr = n.start_ - delta;
    }
    return n;
  }
  // Any form
  n.form_ = NodeForm::Any;
  n.is_final_ = (state & 0x40) != 0;
  uint32_t ntrans = state & 0x3F;
  uint64_t count_len = 0;
  if (ntrans == 0) {
    if (addr < 1) return std::unexpected(corrupt_at(addr, "count byte before the data"));
    ntrans = data[addr - 1];
    if (ntrans == 1) ntrans = 256;
    count_len = 1;
  }
  n.ntrans_ = ntrans;
  if (addr < count_len + 1) return std::unexpected(corrupt_at(addr, "pack sizes before the data"));
  uint64_t pack_pos = addr - count_len - 1;
  uint8_t sizes = data[pack_pos];
  n.tsize_ = sizes >> 4;
  n.osize_ = sizes & 0x0F;
  if (n.tsize_ > 8 || n.osize_ > 8) return std::unexpected(corrupt_at(addr, "pack size above 8"));
  n.has_index_ = version >= 2 && ntrans > 32;
  uint64_t index_len = n.has_index_ ? 256 : 0;
  uint64_t below = index_len + ntrans + uint64_t{ntrans} * (n.tsize_ + n.osize_) + (n.is_final_ ? n.osize_ : 0);
  if (pack_pos < below) return std::unexpected(corrupt_at(addr, "node before the data"));
  n.inputs_ = pack_pos - index_len - ntrans;
  n.start_ = pack_pos - below;
  if (n.is_final_ && n.osize_ > 0) {
    n.final_output_ = n.read_packed(n.inputs_ - uint64_t{ntrans} * (n.tsize_ + n.osize_) - n.osize_, n.osize_);
  }
  // Every non-empty target must lie below the node's start.
  for (uint32_t i = 0; i < ntrans; ++i) {
    uint64_t delta = n.read_packed(n.inputs_ - uint64_t{i + 1} * n.tsize_, n.tsize_);
    if (delta > n.start_) return std::unexpected(corrupt_at(addr, "target before the data"));
  }
  return n;
}

uint64_t Node::read_packed(uint64_t pos, uint8_t size) const {
  uint64_t v = 0;
  for (uint8_t i = 0; i < size; ++i) v |= uint64_t{data_[pos + i]} << (8 * i);
  return v;
}

Transition Node::transition(uint32_t i) const {
  if (form_ != NodeForm::Any) return single_;
  Transition t;
  t.input = data_[inputs_ + ntrans_ - 1 - i];
  uint64_t delta = read_packed(inputs_ - uint64_t{i + 1} * tsize_, tsize_);
  t.addr = delta == 0 ? kEmptyAddress : start_ - delta;
  t.output = osize_ == 0 ? 0 : read_packed(inputs_ - uint64_t{ntrans_} * tsize_ - uint64_t{i + 1} * osize_, osize_);
  return t;
}

std::optional<uint32_t> Node::find_input(uint8_t b) const {
  if (form_ != NodeForm::Any) {
    if (single_.input == b) return 0u;
    return std::nullopt;
  }
  if (has_index_) {
    uint8_t t = data_[inputs_ + ntrans_ + b];
    if (t >= ntrans_) return std::nullopt;
    return t;
  }
  for (uint32_t j = 0; j < ntrans_; ++j) {
    if (data_[inputs_ + j] == b) return ntrans_ - 1 - j;
  }
  return std::nullopt;
}

std::expected<Fst, Error> Fst::open(OwnedBytes bytes) {
  size_t n = bytes.len();
  if (n < 32) return std::unexpected(Error::bad_format());
  const uint8_t* p = bytes.data();
  uint64_t version = read_u64_le(p);
  if (version != 1 && version != 2) return std::unexpected(Error::version_mismatch(kVersion, version));
  uint64_t root = read_u64_le(p + n - 8);
  if (root == 0 && n != 32) return std::unexpected(Error::bad_format());
  Fst f;
  f.data_ = std::move(bytes);
  f.version_ = version;
  f.type_ = read_u64_le(p + 8);
  f.key_count_ = read_u64_le(p + n - 16);
  f.root_ = root;
  return f;
}

std::expected<std::optional<uint64_t>, Error> Fst::get(std::span<const uint8_t> key) const {
  auto node = root();
  if (!node) return std::unexpected(node.error());
  uint64_t sum = 0;
  for (uint8_t b : key) {
    auto i = node->find_input(b);
    if (!i) return std::optional<uint64_t>();
    Transition t = node->transition(*i);
    sum += t.output;
    node = this->node(t.addr);
    if (!node) return std::unexpected(node.error());
  }
  if (!node->is_final()) return std::optional<uint64_t>();
  return std::optional<uint64_t>(sum + node->final_output());
}

std::optional<uint64_t> Fst::automaton_accept(std::optional<uint64_t> state, uint8_t b) const {
  if (!state || *state == kEmptyAddress) return std::nullopt;
  auto n = node(*state);
  if (!n) return std::nullopt;
  auto i = n->find_input(b);
  if (!i) return std::nullopt;
  return n->transition(*i).addr;
}

bool Fst::automaton_is_match(std::optional<uint64_t> state) const {
  if (!state) return false;
  auto n = node(*state);
  return n && n->is_final();
}

}  // namespace fendral::fst
