// Streaming FST builder: keys in strictly increasing byte order, each with a
// u64 output; nodes are written bottom-up to the sink as soon as they are
// frozen, and identical subtrees are shared through a fixed registry of
// 10000 two-way LRU rows (its hashing decides the bytes written).
//
// Layout: u64 version 2, u64 type 0, nodes, u64 key count, u64 root address.
// Addresses count from the FST's first header byte; a node's address is the
// position of its last (state) byte.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/fst/error.h"

namespace fendral::fst {

constexpr uint64_t kVersion = 2;
constexpr uint64_t kEmptyAddress = 0;  // the final node without transitions and output
constexpr uint64_t kNoAddress = 1;

uint8_t pack_size(uint64_t v);

struct Transition {
  uint8_t input = 0;
  uint64_t output = 0;
  uint64_t addr = 0;
  bool operator==(const Transition&) const = default;
};

struct BuilderNode {
  bool is_final = false;
  uint64_t final_output = 0;
  std::vector<Transition> trans;
  bool operator==(const BuilderNode&) const = default;
};

class Registry {
 public:
  Registry(size_t rows, size_t cells_per_row);
  struct Lookup {
    bool found;
    uint64_t addr;  // when found
    size_t cell;    // reserved cell when not found
  };
  Lookup find(const BuilderNode& node);
  void set_addr(size_t cell, uint64_t addr) { cells_[cell].addr = addr; }

 private:
  struct Cell {
    BuilderNode node;
    uint64_t addr = kNoAddress;
  };
  size_t rows_;
  size_t per_row_;
  std::vector<Cell> cells_;
};

class Builder {
 public:
  // Writes the 16-byte header to `sink` (not owned; must outlive the builder).
  static std::expected<Builder, Error> create(Write* sink);

  std::expected<void, Error> insert(std::span<const uint8_t> key, uint64_t output);
  std::expected<void, Error> insert(std::string_view key, uint64_t output) {
    return insert(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size()), output);
  }
  // Compiles what is left and writes the trailer.
  std::expected<void, Error> finish();

  uint64_t bytes_written() const { return position_; }

 private:
  struct LastTransition {
    uint8_t input;
    uint64_t output;
  };
  struct Unfinished {
    BuilderNode node;
    std::optional<LastTransition> last;
  };

  explicit Builder(Write* sink);
  std::expected<void, Error> compile_from(size_t depth);
  std::expected<uint64_t, Error> compile(const BuilderNode& node);
  std::expected<void, Error> write(std::span<const uint8_t> bytes);
  void add_suffix(std::span<const uint8_t> bytes, uint64_t output);

  Write* sink_;
  uint64_t position_ = 0;
  std::vector<Unfinished> stack_;
  Registry registry_;
  std::optional<std::vector<uint8_t>> last_key_;
  uint64_t last_written_address_ = kNoAddress;
  uint64_t key_count_ = 0;
  std::vector<uint8_t> scratch_;
};

// Builds an FST in memory from sorted (key, output) pairs.
std::expected<std::vector<uint8_t>, Error> build_in_memory(
    const std::vector<std::pair<std::vector<uint8_t>, uint64_t>>& sorted_pairs);

}  // namespace fendral::fst
