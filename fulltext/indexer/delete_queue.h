// The delete queue: delete operations in opstamp order, read independently
// by many cursors (each worker, each registered segment). Pushed operations
// wait in a pending list and move into an immutable block when a cursor that
// has used up the last block asks for more; blocks form a chain that lives as
// long as some cursor still needs it.
//
// Lock order: a block's link lock, then the queue's lock; never the reverse.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "fulltext/query/weight.h"

namespace fendral::indexer {

struct DeleteOperation {
  uint64_t opstamp = 0;
  std::shared_ptr<const query::Weight> target;
};

class DeleteBlock;
class DeleteCursor;

class DeleteQueue {
 public:
  DeleteQueue() : inner_(std::make_shared<Inner>()) {}
  void push(DeleteOperation op);
  // A cursor that sees every operation still pending and every later one.
  DeleteCursor cursor() const;

 private:
  friend class DeleteBlock;
  struct Inner {
    std::mutex mu;
    std::vector<DeleteOperation> pending;
    std::weak_ptr<DeleteBlock> last_block;
  };
  explicit DeleteQueue(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
  // Moves pending operations into a new last block; null when none pend.
  std::shared_ptr<DeleteBlock> flush() const;
  static std::shared_ptr<DeleteBlock> new_block(std::shared_ptr<Inner> inner, std::vector<DeleteOperation> ops);
  std::shared_ptr<Inner> inner_;
};

class DeleteBlock {
 public:
  DeleteBlock(std::vector<DeleteOperation> ops, DeleteQueue queue) : operations(std::move(ops)), next_(queue) {}
  const std::vector<DeleteOperation> operations;
  // The next block, created from the queue's pending list when needed.
  std::shared_ptr<DeleteBlock> next() ;

 private:
  std::mutex mu_;
  std::variant<DeleteQueue, std::shared_ptr<DeleteBlock>> next_;
};

// One reader's place in the queue; copies are independent.
class DeleteCursor {
 public:
  DeleteCursor(std::shared_ptr<DeleteBlock> block, size_t pos) : block_(std::move(block)), pos_(pos) {}
  // The operation under the cursor, or null at the end of the queue.
  const DeleteOperation* get();
  bool advance();
  // Advances past every operation with an opstamp below target.
  void skip_to(uint64_t target);

 private:
  bool load_block_if_required();
  std::shared_ptr<DeleteBlock> block_;
  size_t pos_;
};

}  // namespace fendral::indexer
