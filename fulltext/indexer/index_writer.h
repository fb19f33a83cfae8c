// The index writer: the only way documents enter or leave an index.
//
//   auto w = IndexWriter::create(index, 50'000'000);
//   (*w)->add_document(doc);                 // -> opstamp
//   (*w)->delete_term(term);                 // -> opstamp
//   (*w)->commit();                          // durable: meta.json written
//
// Every operation draws an opstamp from one counter that only grows (also
// across delete_all_documents); a delete reaches exactly the documents added
// before it. Added documents go over a bounded channel (10,000 operations) to
// min(parallelism, 3) worker threads "thrd-fendral-index{n}", each building
// one segment at a time within budget / workers bytes. A commit closes the
// channel, joins the workers (each writes its last segment), starts a full set
// of new workers on a new channel and commits through the segment updater.
//
// A worker that fails marks the writer dead: add_document then fails with
// ErrorInThread, and the next commit reports the worker's error (an exception
// on a worker as ErrorInThread "Any { .. }"); the commit after that starts
// afresh with every worker running. Documents refused by the schema are
// refused by add_document itself and touch nothing.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "fulltext/directory/directory.h"
#include "fulltext/indexer/delete_queue.h"
#include "fulltext/indexer/operation_channel.h"
#include "fulltext/indexer/segment_updater.h"
#include "fulltext/schema/term.h"

namespace fendral::indexer {

class IndexWriter {
 public:
  // min(available parallelism, 3) workers, each with memory_budget / workers.
  static Result<std::unique_ptr<IndexWriter>> create(const index::FendralIndex& index, size_t memory_budget);
  static size_t default_worker_count(unsigned parallelism) { return std::min<size_t>(parallelism, 3); }
  // Same, with an explicit worker count (at least 1).
  static Result<std::unique_ptr<IndexWriter>> create_with_workers(const index::FendralIndex& index,
                                                                  size_t memory_budget, size_t workers);
  ~IndexWriter();

  Result<uint64_t> add_document(schema::CompactDoc doc);
  // The weight's error (a field that is not indexed) is returned.
  Result<uint64_t> delete_term(const schema::Term& term);
  // Removes every document added so far (the workers first hand over the
  // segments they are building); durable at the next commit. Returns a new
  // opstamp. A worker error met on the way is reported by the next commit.
  uint64_t delete_all_documents();
  // The commit opstamp.
  Result<uint64_t> commit();

  // The policy of merges planned from now on (LogMergePolicy by default).
  void set_merge_policy(std::shared_ptr<const MergePolicy> policy) { updater_->set_merge_policy(std::move(policy)); }
  // Waits until no merge is queued or running.
  void wait_merging_threads() { updater_->wait_merging_threads(); }

  size_t worker_count() const { return worker_count_; }
  size_t per_worker_budget() const { return budget_; }
  uint64_t committed_opstamp() const { return committed_opstamp_; }

 private:
  struct Generation;
  IndexWriter(index::FendralIndex index, DirectoryLock lock) : index_(std::move(index)), lock_(std::move(lock)) {}
  Result<void> start_workers();
  Result<void> spawn_worker();
  Result<void> join_workers();
  // Joins the workers and starts a full set on a new channel.
  Result<void> restart_workers();

  index::FendralIndex index_;
  DirectoryLock lock_;
  size_t worker_count_ = 0;
  size_t budget_ = 0;
  std::shared_ptr<OpstampCounter> opstamp_ = std::make_shared<OpstampCounter>(0);
  uint64_t committed_opstamp_ = 0;
  DeleteQueue delete_queue_;
  std::unique_ptr<SegmentUpdater> updater_;
  std::shared_ptr<Generation> generation_;
  std::vector<std::thread> workers_;
  size_t worker_id_ = 0;
  std::optional<FendralError> deferred_error_;  // from delete_all_documents
};

}  // namespace fendral::indexer
