// The document store's skip index: layer 0 holds one checkpoint per block;
// each layer is a run of checkpoint blocks of 1..8 checkpoints
//   VInt count | VInt first doc | VInt first byte | count x (VInt doc count, VInt byte length)
// and layer k+1 holds one checkpoint per checkpoint block of layer k (its
// byte range is the block's position within layer k's bytes).
// Stored form: VInt L, L VInt cumulative end offsets (top layer first), then
// the layers' bytes in that order. A store without documents is the byte 0x80.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/store/checkpoint.h"

namespace fendral::store {

class SkipIndexBuilder {
 public:
  // Contract: each checkpoint follows the previous one
  // ("assertion failed: checkpoint.follows(prev_checkpoint)").
  void insert(Checkpoint checkpoint);
  // Closes every layer's pending block and appends the stored form to out.
  void write(std::vector<uint8_t>& out);

 private:
  struct Layer {
    std::vector<uint8_t> buffer;
    std::vector<Checkpoint> pending;
    Checkpoint close_block();
  };
  std::vector<Layer> layers_;
};

// Reading position in one layer.
class LayerCursor {
 public:
  explicit LayerCursor(std::span<const uint8_t> bytes) : rest_(bytes) {}
  // The next checkpoint, none at the end of the layer, or DataCorruption for
  // a damaged checkpoint block.
  Result<std::optional<Checkpoint>> next_checkpoint();

 private:
  std::span<const uint8_t> rest_;
  std::vector<Checkpoint> block_;
  size_t next_ = 0;
};

class SkipIndex {
 public:
  // Reads the header; every layer must lie within the area and the end
  // offsets must not decrease (DataCorruption otherwise).
  static Result<SkipIndex> open(OwnedBytes area);

  // The layer-0 checkpoint whose docs contain `doc`, or none.
  Result<std::optional<Checkpoint>> find_checkpoint(uint32_t doc) const;
  // A cursor over layer 0 (empty without layers).
  LayerCursor block_checkpoints() const;
  size_t num_layers() const { return layers_.size(); }

 private:
  OwnedBytes area_;
  std::vector<std::span<const uint8_t>> layers_;  // top layer first
};

}  // namespace fendral::store
