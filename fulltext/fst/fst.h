// Reading an FST in place: open, decode nodes on demand, look keys up.
// Every position computed while decoding a node is checked against the data;
// a node that breaks the format is reported as a Corrupt error, never read
// outside the bytes. Targets always lie strictly below their node's start,
// so walks terminate even on corrupt input.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/fst/builder.h"
#include "fulltext/fst/error.h"

namespace fendral::fst {

enum class NodeForm { Next, One, Any };

class Node {
 public:
  static std::expected<Node, Error> decode(std::span<const uint8_t> data, uint64_t version, uint64_t addr);

  uint64_t addr() const { return addr_; }
  NodeForm form() const { return form_; }
  bool is_final() const { return is_final_; }
  uint64_t final_output() const { return final_output_; }
  uint32_t len() const { return ntrans_; }
  uint64_t start() const { return start_; }
  // Contract: i < len().
  Transition transition(uint32_t i) const;
  std::optional<uint32_t> find_input(uint8_t b) const;

 private:
  uint64_t read_packed(uint64_t pos, uint8_t size) const;
  std::span<const uint8_t> data_;
  uint64_t addr_ = 0;
  NodeForm form_ = NodeForm::Any;
  bool is_final_ = true;
  uint32_t ntrans_ = 0;
  uint8_t tsize_ = 0;
  uint8_t osize_ = 0;
  uint64_t final_output_ = 0;
  uint64_t start_ = 0;
  uint64_t inputs_ = 0;  // Any: position I of the first stored input
  bool has_index_ = false;
  // Next and One: their single transition.
  Transition single_{};
};

class Fst {
 public:
  static std::expected<Fst, Error> open(OwnedBytes bytes);

  uint64_t version() const { return version_; }
  uint64_t fst_type() const { return type_; }
  uint64_t len() const { return key_count_; }
  uint64_t root_addr() const { return root_; }
  std::span<const uint8_t> as_bytes() const { return data_.as_bytes(); }

  std::expected<Node, Error> node(uint64_t addr) const { return Node::decode(data_.as_bytes(), version_, addr); }
  std::expected<Node, Error> root() const { return node(root_); }
  std::expected<std::optional<uint64_t>, Error> get(std::span<const uint8_t> key) const;
  std::expected<std::optional<uint64_t>, Error> get(std::string_view key) const {
    return get(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
  }

  // The FST used as an automaton over another key space: a state is a node
  // address, or none (dead). A corrupt node reads as a dead state.
  std::optional<uint64_t> automaton_start() const { return root_; }
  std::optional<uint64_t> automaton_accept(std::optional<uint64_t> state, uint8_t b) const;
  bool automaton_is_match(std::optional<uint64_t> state) const;
  bool automaton_can_match(std::optional<uint64_t> state) const { return state.has_value(); }

 private:
  OwnedBytes data_;
  uint64_t version_ = 0;
  uint64_t type_ = 0;
  uint64_t key_count_ = 0;
  uint64_t root_ = 0;
};

}  // namespace fendral::fst
