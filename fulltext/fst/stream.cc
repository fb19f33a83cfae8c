#include "fulltext/fst/stream.h"

#include <algorithm>

namespace fendral::fst {

bool Bound::exceeded_by(std::span<const uint8_t> k) const {
  switch (kind) {
    case Kind::Included:
      return std::lexicographical_compare(key.begin(), key.end(), k.begin(), k.end());
    case Kind::Excluded:
      return !std::lexicographical_compare(k.begin(), k.end(), key.begin(), key.end());
    case Kind::Unbounded: return false;
  }
  return false;
}

Union::Union(std::vector<std::unique_ptr<BoxedStream>> streams) : streams_(std::move(streams)) {}

bool Union::greater(const Slot& a, const Slot& b) {
  auto c = std::lexicographical_compare_three_way(a.key.begin(), a.key.end(), b.key.begin(), b.key.end());
  if (c != 0) return c > 0;
  return a.output > b.output;
}

std::expected<void, Error> Union::init() {
  for (size_t i = 0; i < streams_.size(); ++i) {
    Slot s{i, {}, 0};
    s.key.reserve(64);
    if (auto r = refill(std::move(s)); !r) return r;
  }
  return {};
}

std::expected<void, Error> Union::refill(Slot slot) {
  auto item = streams_[slot.index]->next();
  if (!item) return std::unexpected(item.error());
  if (!*item) return {};  // that stream is finished
  slot.key.assign((*item)->first.begin(), (*item)->first.end());
  slot.output = (*item)->second;
  heap_.push_back(std::move(slot));
  std::push_heap(heap_.begin(), heap_.end(), greater);
  return {};
}

std::expected<Union::Item, Error> Union::next() {
  if (current_) {
    Slot s = std::move(*current_);
    current_.reset();
    if (auto r = refill(std::move(s)); !r) return std::unexpected(r.error());
  }
  if (heap_.empty()) return Item();
  std::pop_heap(heap_.begin(), heap_.end(), greater);
  current_ = std::move(heap_.back());
  heap_.pop_back();
  values_.clear();
  values_.push_back(StreamValue{current_->index, current_->output});
  while (!heap_.empty() && heap_.front().key == current_->key) {
    std::pop_heap(heap_.begin(), heap_.end(), greater);
    Slot s = std::move(heap_.back());
    heap_.pop_back();
    values_.push_back(StreamValue{s.index, s.output});
    if (auto r = refill(std::move(s)); !r) return std::unexpected(r.error());
  }
  return Item(std::pair<std::span<const uint8_t>, const std::vector<StreamValue>*>(current_->key, &values_));
}

}  // namespace fendral::fst
