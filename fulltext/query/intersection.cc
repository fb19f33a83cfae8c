#include "fulltext/query/intersection.h"

#include <algorithm>
#include <cmath>

namespace fendral::query {

uint32_t align(std::span<const std::unique_ptr<Scorer>> members) {
  uint32_t candidate = 0;
  for (const auto& m : members) candidate = std::max(candidate, m->doc());
  for (;;) {
    bool stable = true;
    for (const auto& m : members) {
      uint32_t d = m->seek(candidate);
      if (d > candidate) {
        candidate = d;
        stable = false;
        break;
      }
    }
    if (candidate == TERMINATED) {
      // An intersection's doc() is its first member's: it must end too.
      return members.front()->seek(TERMINATED);
    }
    if (stable) return candidate;
  }
}

std::unique_ptr<Scorer> intersect_scorers(std::vector<std::unique_ptr<Scorer>> scorers, uint32_t num_docs) {
  if (scorers.empty()) return std::make_unique<EmptyScorer>();
  if (scorers.size() == 1) return std::move(scorers.front());
  std::stable_sort(scorers.begin(), scorers.end(), [](const auto& a, const auto& b) { return a->cost() < b->cost(); });
  if (align(scorers) == TERMINATED) return std::make_unique<EmptyScorer>();
  return std::make_unique<Intersection>(std::move(scorers), num_docs);
}

uint32_t Intersection::advance() {
  auto& left = *members_.front();
  uint32_t candidate = left.doc() + 1;
  while (candidate < TERMINATED) {
    uint32_t d = left.seek(candidate);
    if (d == TERMINATED) return TERMINATED;
    candidate = d;
    bool all = true;
    for (size_t i = 1; i < members_.size(); ++i) {
      if (!members_[i]->seek_exact(d)) {
        // A failed probe stands on its next document: a bound for the driver.
        candidate = std::max(d + 1, members_[i]->doc());
        all = false;
        break;
      }
    }
    if (all) return d;
  }
  return left.seek(TERMINATED);
}

uint32_t Intersection::seek(uint32_t target) {
  members_.front()->seek(target);
  return align(members_);
}

uint32_t Intersection::size_hint() const {
  if (num_docs_ == 0) return 0;
  double e = members_[0]->size_hint();
  double smallest = e;
  double factor = 1.3;
  for (size_t i = 1; i < members_.size(); ++i) {
    factor = std::max(factor + -0.1, 1.0);
    double h = members_[i]->size_hint();
    smallest = std::min(smallest, h);
    e = e * ((h / num_docs_) * factor);
  }
  double r = std::min(std::round(e), smallest);
  r = std::min(std::max(r, 0.0), 4294967295.0);
  return static_cast<uint32_t>(r);
}

float Intersection::score() {
  float s = members_[0]->score() + members_[1]->score();
  float rest = -0.0f;
  for (size_t i = 2; i < members_.size(); ++i) rest += members_[i]->score();
  return s + rest;
}

Exclude::Exclude(std::unique_ptr<Scorer> underlying, std::vector<std::unique_ptr<Scorer>> excluded)
    : underlying_(std::move(underlying)), excluded_(std::move(excluded)) {
  skip_excluded(underlying_->doc());
}

bool Exclude::is_excluded(uint32_t d) {
  for (auto& e : excluded_) {
    if (e->doc() <= d && e->seek(d) == d) return true;
  }
  return false;
}

uint32_t Exclude::skip_excluded(uint32_t d) {
  while (d != TERMINATED && is_excluded(d)) d = underlying_->advance();
  return d;
}

uint32_t Exclude::advance() { return skip_excluded(underlying_->advance()); }

uint32_t Exclude::seek(uint32_t target) { return skip_excluded(underlying_->seek(target)); }

float RequiredOptionalScorer::score() {
  if (cached_) return score_;
  uint32_t d = required_->doc();
  if (combiner_ == ScoreCombiner::Unit) {
    if (optional_->doc() <= d) optional_->seek(d);
    score_ = 1.0f;
  } else {
    float s = 0.0f + required_->score();
    if (optional_->doc() <= d && optional_->seek(d) == d) s = s + optional_->score();
    score_ = s;
  }
  cached_ = true;
  return score_;
}

}  // namespace fendral::query
