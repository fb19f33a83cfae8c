#include "fulltext/indexer/delete_queue.h"

namespace fendral::indexer {

void DeleteQueue::push(DeleteOperation op) {
  std::lock_guard lock(inner_->mu);
  inner_->pending.push_back(std::move(op));
}

std::shared_ptr<DeleteBlock> DeleteQueue::new_block(std::shared_ptr<Inner> inner, std::vector<DeleteOperation> ops) {
  auto block = std::make_shared<DeleteBlock>(std::move(ops), DeleteQueue(inner));
  inner->last_block = block;
  return block;
}

DeleteCursor DeleteQueue::cursor() const {
  std::lock_guard lock(inner_->mu);
  if (auto last = inner_->last_block.lock()) {
    size_t n = last->operations.size();
    return DeleteCursor(std::move(last), n);
  }
  return DeleteCursor(new_block(inner_, {}), 0);
}

std::shared_ptr<DeleteBlock> DeleteQueue::flush() const {
  std::lock_guard lock(inner_->mu);
  if (inner_->pending.empty()) return nullptr;
  return new_block(inner_, std::exchange(inner_->pending, {}));
}

std::shared_ptr<DeleteBlock> DeleteBlock::next() {
  std::lock_guard lock(mu_);
  if (auto* b = std::get_if<std::shared_ptr<DeleteBlock>>(&next_)) return *b;
  auto block = std::get<DeleteQueue>(next_).flush();
  if (block) next_ = block;
  return block;
}

bool DeleteCursor::load_block_if_required() {
  if (pos_ < block_->operations.size()) return true;
  auto next = block_->next();
  if (!next) return false;
  block_ = std::move(next);
  pos_ = 0;
  // A flushed block is never empty.
  return true;
}

const DeleteOperation* DeleteCursor::get() {
  return load_block_if_required() ? &block_->operations[pos_] : nullptr;
}

bool DeleteCursor::advance() {
  if (!load_block_if_required()) return false;
  ++pos_;
  return true;
}

void DeleteCursor::skip_to(uint64_t target) {
  while (const auto* op = get()) {
    if (op->opstamp >= target) return;
    advance();
  }
}

}  // namespace fendral::indexer
