// Ordered walks over an FST's keys, optionally bounded and steered by an
// automaton, and the union of several walks.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fulltext/fst/fst.h"

namespace fendral::fst {

struct Bound {
  enum class Kind { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  std::vector<uint8_t> key;

  static Bound included(std::span<const uint8_t> k) { return {Kind::Included, {k.begin(), k.end()}}; }
  static Bound excluded(std::span<const uint8_t> k) { return {Kind::Excluded, {k.begin(), k.end()}}; }
  static Bound included(std::string_view k) { return {Kind::Included, {k.begin(), k.end()}}; }
  static Bound excluded(std::string_view k) { return {Kind::Excluded, {k.begin(), k.end()}}; }
  static Bound unbounded() { return {}; }
  bool is_empty_key() const { return kind != Kind::Unbounded && key.empty(); }
  // Whether `k` lies beyond this bound taken as an upper bound.
  bool exceeded_by(std::span<const uint8_t> k) const;
};

// The automaton that accepts everything.
struct AlwaysMatch {
  using State = bool;
  State start() const { return true; }
  State accept(State, uint8_t) const { return true; }
  bool is_match(State) const { return true; }
  bool can_match(State) const { return true; }
};

// An FST used as the automaton of another FST's stream (term sets): the
// stream yields the keys present in both.
struct FstAutomaton {
  using State = std::optional<uint64_t>;
  const Fst* fst;
  State start() const { return fst->automaton_start(); }
  State accept(State s, uint8_t b) const { return fst->automaton_accept(s, b); }
  bool is_match(State s) const { return fst->automaton_is_match(s); }
  bool can_match(State s) const { return fst->automaton_can_match(s); }
};

// (key, output) lent until the next call; nullopt at the end.
using StreamItem = std::optional<std::pair<std::span<const uint8_t>, uint64_t>>;
using StreamResult = std::expected<StreamItem, Error>;

// Type-erased stream, as the union holds them.
class BoxedStream {
 public:
  virtual ~BoxedStream() = default;
  virtual StreamResult next() = 0;
};

// Zero-filled buffer that doubles when full, starting at 128 bytes.
class ByteBuffer {
 public:
  ByteBuffer() : buf_(128, 0) {}
  void push(uint8_t b) {
    if (len_ == buf_.size()) buf_.resize(buf_.size() * 2, 0);
    buf_[len_++] = b;
  }
  void pop() { --len_; }
  void truncate(size_t n) { len_ = n; }
  size_t len() const { return len_; }
  std::span<const uint8_t> as_slice() const { return {buf_.data(), len_}; }

 private:
  std::vector<uint8_t> buf_;
  size_t len_ = 0;
};

template <class A = AlwaysMatch>
class Stream final : public BoxedStream {
 public:
  Stream(const Fst* fst, A aut) : fst_(fst), aut_(std::move(aut)) {}

  // Positions the stream before its first key (what into_stream does).
  std::expected<void, Error> seek(const Bound& lower, const Bound& upper);

  StreamResult next() override;

 private:
  struct Frame {
    Node node;
    uint32_t trans;
    uint64_t out;
    typename A::State state;
    size_t depth;  // length of the key buffer when the frame was pushed
  };

  const Fst* fst_;
  A aut_;
  std::vector<Frame> frames_;
  ByteBuffer key_;
  std::optional<uint64_t> empty_key_output_;
  Bound upper_;
  bool ended_ = false;
};

template <class A = AlwaysMatch>
class StreamBuilder {
 public:
  StreamBuilder(const Fst* fst, A aut = A()) : fst_(fst), aut_(std::move(aut)) {}
  StreamBuilder& ge(std::span<const uint8_t> k) { lower_ = Bound::included(k); return *this; }
  StreamBuilder& gt(std::span<const uint8_t> k) { lower_ = Bound::excluded(k); return *this; }
  StreamBuilder& le(std::span<const uint8_t> k) { upper_ = Bound::included(k); return *this; }
  StreamBuilder& lt(std::span<const uint8_t> k) { upper_ = Bound::excluded(k); return *this; }
  StreamBuilder& lower_bound(Bound b) { lower_ = std::move(b); return *this; }
  StreamBuilder& upper_bound(Bound b) { upper_ = std::move(b); return *this; }

  std::expected<std::unique_ptr<Stream<A>>, Error> into_stream() const {
    auto s = std::make_unique<Stream<A>>(fst_, aut_);
    if (auto r = s->seek(lower_, upper_); !r) return std::unexpected(r.error());
    return s;
  }

 private:
  const Fst* fst_;
  A aut_;
  Bound lower_;
  Bound upper_;
};

template <class A>
std::expected<void, Error> Stream<A>::seek(const Bound& lower, const Bound& upper) {
  upper_ = upper;
  auto root = fst_->root();
  if (!root) return std::unexpected(root.error());
  auto start = aut_.start();
  bool lower_allows_empty = lower.kind == Bound::Kind::Unbounded ||
                            (lower.kind == Bound::Kind::Included && lower.key.empty());
  bool upper_allows_empty = !(upper.kind == Bound::Kind::Excluded && upper.key.empty());
  if (lower_allows_empty && upper_allows_empty && root->is_final() && aut_.is_match(start)) {
    empty_key_output_ = root->final_output();
  }
  if (lower.kind == Bound::Kind::Unbounded || lower.key.empty()) {
    frames_.push_back(Frame{*root, 0, 0, start, 0});
    return {};
  }
  Node node = *root;
  uint64_t out = 0;
  auto state = start;
  for (uint8_t b : lower.key) {
    auto i = node.find_input(b);
    if (i) {
      Transition t = node.transition(*i);
      frames_.push_back(Frame{node, *i + 1, out, state, key_.len()});
      key_.push(b);
      out += t.output;
      state = aut_.accept(state, b);
      auto next = fst_->node(t.addr);
      if (!next) return std::unexpected(next.error());
      node = *next;
    } else {
      uint32_t j = 0;
      while (j < node.len() && node.transition(j).input <= b) ++j;
      frames_.push_back(Frame{node, j, out, state, key_.len()});
      return {};
    }
  }
  if (lower.kind == Bound::Kind::Included) {
    frames_.back().trans -= 1;
    key_.pop();
  } else {
    frames_.push_back(Frame{node, 0, out, state, key_.len()});
  }
  return {};
}

template <class A>
StreamResult Stream<A>::next() {
  if (empty_key_output_) {
    uint64_t out = *empty_key_output_;
    empty_key_output_.reset();
    return StreamItem(std::pair<std::span<const uint8_t>, uint64_t>(std::span<const uint8_t>(), out));
  }
  if (ended_) return StreamItem();
  while (!frames_.empty()) {
    Frame& top = frames_.back();
    if (top.trans >= top.node.len() || !aut_.can_match(top.state)) {
      if (top.depth > 0) key_.truncate(top.depth - 1);
      frames_.pop_back();
      continue;
    }
    Transition t = top.node.transition(top.trans);
    top.trans += 1;
    uint64_t out = top.out + t.output;
    auto q = aut_.accept(top.state, t.input);
    key_.push(t.input);
    auto node = fst_->node(t.addr);
    if (!node) {
      frames_.clear();
      ended_ = true;
      return std::unexpected(node.error());
    }
    bool is_final = node->is_final();
    uint64_t final_output = node->final_output();
    frames_.push_back(Frame{*node, 0, out, q, key_.len()});
    if (upper_.exceeded_by(key_.as_slice())) {
      frames_.clear();
      ended_ = true;
      return StreamItem();
    }
    if (is_final && aut_.is_match(frames_.back().state)) {
      return StreamItem(std::pair<std::span<const uint8_t>, uint64_t>(key_.as_slice(), out + final_output));
    }
  }
  ended_ = true;
  return StreamItem();
}

// ---- union -----------------------------------------------------------------

struct StreamValue {
  size_t index;
  uint64_t output;
};

class Union {
 public:
  explicit Union(std::vector<std::unique_ptr<BoxedStream>> streams);
  // Initial fill of every slot; a stream error is returned here.
  std::expected<void, Error> init();

  // Next distinct key with the (stream index, output) of every stream that
  // holds it; the key is lent until the next call.
  using Item = std::optional<std::pair<std::span<const uint8_t>, const std::vector<StreamValue>*>>;
  std::expected<Item, Error> next();

 private:
  struct Slot {
    size_t index;
    std::vector<uint8_t> key;
    uint64_t output;
  };
  std::expected<void, Error> refill(Slot slot);
  static bool greater(const Slot& a, const Slot& b);

  std::vector<std::unique_ptr<BoxedStream>> streams_;
  std::vector<Slot> heap_;
  std::optional<Slot> current_;
  std::vector<StreamValue> values_;
};

}  // namespace fendral::fst
