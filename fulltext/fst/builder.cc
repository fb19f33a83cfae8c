#include "fulltext/fst/builder.h"

#include <algorithm>

#include "fulltext/error/error.h"
#include "fulltext/fst/common_inputs.h"

namespace fendral::fst {

uint8_t pack_size(uint64_t v) {
  uint8_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}

static void pack_uint(std::vector<uint8_t>& out, uint64_t v, uint8_t nbytes) {
  if (!(pack_size(v) <= nbytes && nbytes <= 8)) {
    contract_violation("assertion failed: pack_size(n as u64) <= nbytes && nbytes <= 8");
  }
  for (uint8_t i = 0; i < nbytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// ---- registry --------------------------------------------------------------

Registry::Registry(size_t rows, size_t cells_per_row) : rows_(rows), per_row_(cells_per_row), cells_(rows * cells_per_row) {}

static uint64_t hash_node(const BuilderNode& node) {
  constexpr uint64_t kPrime = 0x100000001b3ull;
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&](uint64_t v) { h = (h ^ v) * kPrime; };
  mix(node.is_final ? 1 : 0);
  mix(node.final_output);
  for (const auto& t : node.trans) {
    mix(t.input);
    mix(t.output);
    mix(t.addr);
  }
  return h;
}

Registry::Lookup Registry::find(const BuilderNode& node) {
  size_t row = static_cast<size_t>(hash_node(node) % rows_);
  Cell* cells = &cells_[row * per_row_];
  for (size_t j = 0; j < per_row_; ++j) {
    if (cells[j].addr != kNoAddress && cells[j].node == node) {
      uint64_t addr = cells[j].addr;
      std::rotate(cells, cells + j, cells + j + 1);  // move to front
      return {true, addr, 0};
    }
  }
  size_t last = per_row_ - 1;
  cells[last].node = node;
  std::rotate(cells, cells + last, cells + last + 1);
  return {false, 0, row * per_row_};
}

// ---- node encoding ---------------------------------------------------------

static void compile_node(std::vector<uint8_t>& out, uint64_t start, uint64_t last_addr, const BuilderNode& node) {
  if (node.trans.size() > 256) contract_violation("assertion failed: node.trans.len() <= 256");
  out.clear();
  auto delta_of = [&](uint64_t target) -> uint64_t { return target == kEmptyAddress ? 0 : start - target; };
  if (node.trans.size() == 1 && !node.is_final) {
    const Transition& t = node.trans[0];
    uint8_t code = common_idx(t.input);
    if (t.addr == last_addr && t.output == 0) {  // Next form
      if (code == 0) out.push_back(t.input);
      out.push_back(static_cast<uint8_t>(0xC0 | code));
      return;
    }
    // One form
    uint8_t osize = t.output == 0 ? 0 : pack_size(t.output);
    uint64_t delta = delta_of(t.addr);
    uint8_t tsize = pack_size(delta);
    if (osize > 0) pack_uint(out, t.output, osize);
    pack_uint(out, delta, tsize);
    out.push_back(static_cast<uint8_t>((tsize << 4) | osize));
    if (code == 0) out.push_back(t.input);
    out.push_back(static_cast<uint8_t>(0x80 | code));
    return;
  }
  // Any form
  size_t n = node.trans.size();
  bool any_output = node.final_output != 0;
  for (const auto& t : node.trans) any_output = any_output || t.output != 0;
  uint8_t osize = 0;
  if (any_output) {
    osize = pack_size(node.final_output);
    for (const auto& t : node.trans) osize = std::max(osize, pack_size(t.output));
  }
  uint8_t tsize = 0;
  for (const auto& t : node.trans) tsize = std::max(tsize, pack_size(delta_of(t.addr)));
  if (node.is_final && osize > 0) pack_uint(out, node.final_output, osize);
  if (osize > 0) {
    for (size_t i = n; i-- > 0;) pack_uint(out, node.trans[i].output, osize);
  }
  for (size_t i = n; i-- > 0;) pack_uint(out, delta_of(node.trans[i].addr), tsize);
  for (size_t i = n; i-- > 0;) out.push_back(node.trans[i].input);
  if (n > 32) {
    uint8_t index[256];
    std::fill(std::begin(index), std::end(index), 0xFF);
    for (size_t i = 0; i < n; ++i) index[node.trans[i].input] = static_cast<uint8_t>(i);
    out.insert(out.end(), std::begin(index), std::end(index));
  }
  out.push_back(static_cast<uint8_t>((tsize << 4) | osize));
  uint8_t state = node.is_final ? 0x40 : 0x00;
  if (n >= 1 && n <= 63) {
    state |= static_cast<uint8_t>(n);
  } else {
    out.push_back(n == 256 ? 1 : static_cast<uint8_t>(n));
  }
  out.push_back(state);
}

// ---- builder ---------------------------------------------------------------

Builder::Builder(Write* sink) : sink_(sink), registry_(10000, 2) {
  stack_.reserve(64);
  stack_.push_back(Unfinished{});
}

std::expected<Builder, Error> Builder::create(Write* sink) {
  Builder b(sink);
  std::vector<uint8_t> header;
  pack_uint(header, kVersion, 8);
  pack_uint(header, 0, 8);
  if (auto r = b.write(header); !r) return std::unexpected(r.error());
  return b;
}

std::expected<void, Error> Builder::write(std::span<const uint8_t> bytes) {
  if (auto r = sink_->write_all(bytes); !r) return std::unexpected(Error::from_io(r.error()));
  position_ += bytes.size();
  return {};
}

std::expected<void, Error> Builder::insert(std::span<const uint8_t> key, uint64_t output) {
  if (last_key_) {
    std::span<const uint8_t> prev(*last_key_);
    auto cmp = std::lexicographical_compare_three_way(key.begin(), key.end(), prev.begin(), prev.end());
    if (cmp == 0) {
      Error e(Error::Kind::DuplicateKey);
      e.key.assign(key.begin(), key.end());
      return std::unexpected(e);
    }
    if (cmp < 0) {
      Error e(Error::Kind::OutOfOrderKey);
      e.key.assign(key.begin(), key.end());
      e.previous = *last_key_;
      return std::unexpected(e);
    }
    last_key_->assign(key.begin(), key.end());
  } else {
    last_key_.emplace(key.begin(), key.end());
  }
  if (key.empty()) {
    key_count_ = 1;
    stack_[0].node.is_final = true;
    stack_[0].node.final_output = output;
    return {};
  }
  // Shared prefix with the previous key; push excess outputs down.
  size_t i = 0;
  while (i < key.size()) {
    auto& last = stack_[i].last;
    if (!last || last->input != key[i]) break;
    uint64_t common = std::min(last->output, output);
    uint64_t excess = last->output - common;
    last->output = common;
    output -= common;
    ++i;
    if (excess != 0) {
      Unfinished& next = stack_[i];
      if (next.node.is_final) next.node.final_output += excess;
      for (auto& t : next.node.trans) t.output += excess;
      if (next.last) next.last->output += excess;
    }
  }
  if (i == key.size()) {
    if (output != 0) contract_violation("assertion failed: out.is_zero()");
    return {};
  }
  ++key_count_;
  if (auto r = compile_from(i); !r) return r;
  add_suffix(key.subspan(i), output);
  return {};
}

void Builder::add_suffix(std::span<const uint8_t> bytes, uint64_t output) {
  if (stack_.back().last) contract_violation("assertion failed: self.stack[last].last.is_none()");
  stack_.back().last = LastTransition{bytes[0], output};
  for (size_t k = 1; k < bytes.size(); ++k) {
    Unfinished u;
    u.last = LastTransition{bytes[k], 0};
    stack_.push_back(std::move(u));
  }
  Unfinished leaf;
  leaf.node.is_final = true;
  stack_.push_back(std::move(leaf));
}

std::expected<void, Error> Builder::compile_from(size_t depth) {
  uint64_t addr = kNoAddress;
  while (stack_.size() > depth + 1) {
    Unfinished u = std::move(stack_.back());
    stack_.pop_back();
    if (addr == kNoAddress) {
      if (u.last) contract_violation("assertion failed: unfinished.last.is_none()");
    } else if (u.last) {
      u.node.trans.push_back(Transition{u.last->input, u.last->output, addr});
    }
    auto compiled = compile(u.node);
    if (!compiled) return std::unexpected(compiled.error());
    addr = *compiled;
  }
  Unfinished& top = stack_.back();
  if (top.last) {
    top.node.trans.push_back(Transition{top.last->input, top.last->output, addr});
    top.last.reset();
  }
  return {};
}

std::expected<uint64_t, Error> Builder::compile(const BuilderNode& node) {
  if (node.is_final && node.trans.empty() && node.final_output == 0) return kEmptyAddress;
  Registry::Lookup hit = registry_.find(node);
  if (hit.found) return hit.addr;
  compile_node(scratch_, position_, last_written_address_, node);
  if (auto r = write(scratch_); !r) return std::unexpected(r.error());
  last_written_address_ = position_ - 1;
  registry_.set_addr(hit.cell, last_written_address_);
  return last_written_address_;
}

std::expected<void, Error> Builder::finish() {
  if (auto r = compile_from(0); !r) return r;
  if (stack_.size() != 1 || stack_[0].last) contract_violation("assertion failed: self.stack[0].last.is_none()");
  BuilderNode root = std::move(stack_[0].node);
  stack_.clear();
  auto root_addr = compile(root);
  if (!root_addr) return std::unexpected(root_addr.error());
  std::vector<uint8_t> trailer;
  pack_uint(trailer, key_count_, 8);
  pack_uint(trailer, *root_addr, 8);
  return write(trailer);
}

std::expected<std::vector<uint8_t>, Error> build_in_memory(
    const std::vector<std::pair<std::vector<uint8_t>, uint64_t>>& sorted_pairs) {
  std::vector<uint8_t> out;
  VecWriter writer(&out);
  auto builder = Builder::create(&writer);
  if (!builder) return std::unexpected(builder.error());
  for (const auto& [key, value] : sorted_pairs) {
    if (auto r = builder->insert(key, value); !r) return std::unexpected(r.error());
  }
  if (auto r = builder->finish(); !r) return std::unexpected(r.error());
  return out;
}

}  // namespace fendral::fst
