#include "fulltext/indexer/index_writer.h"

#include <fmt/format.h>

#include "common/log.h"
#include "common/thread_name.h"
#include "fulltext/indexer/apply_deletes.h"
#include "fulltext/query/term_query.h"

namespace fendral::indexer {
namespace {

constexpr const char* kTarget = "fendral::indexer::index_writer";
constexpr size_t kChannelCapacity = 10'000;
constexpr size_t kMargin = 1'000'000;

// Builds and hands over segments until the channel is closed and drained.
Result<void> index_documents(const index::FendralIndex& index, size_t budget, OperationChannel& channel,
                             SegmentUpdater& updater, DeleteCursor& cursor) {
  for (;;) {
    auto first = channel.recv();
    if (!first) return {};
    cursor.skip_to(first->opstamp);
    auto writer = SegmentWriter::create(budget, index, index.new_segment_meta());
    if (!writer) return fail(writer.error());
    std::optional<AddOperation> op = std::move(first);
    size_t threshold = budget > kMargin ? budget - kMargin : budget / 2;
    while (op) {
      if (auto ok = (*writer)->add_document(*op); !ok) return ok;
      if ((*writer)->mem_usage() >= threshold) {
        ZLOG(Info, kTarget, "Buffer limit reached, flushing segment with maxdoc={}.", (*writer)->max_doc());
        break;
      }
      op = channel.recv();
    }
    if (!updater.is_alive()) return {};
    auto meta = (*writer)->segment().with_max_doc((*writer)->max_doc());
    auto opstamps = SegmentWriter::finalize(std::move(*writer));
    if (!opstamps) return fail(opstamps.error());
    auto alive = apply_deletes(index, meta, cursor, *opstamps);
    if (!alive) return fail(alive.error());
    auto added = updater.schedule_add_segment(SegmentEntry{meta, cursor, std::move(*alive)}).get();
    if (!added) return added;
    if (!op) return {};  // the channel ended this segment
  }
}

}  // namespace

// One channel and the workers that serve it.
struct IndexWriter::Generation {
  OperationChannel channel{kChannelCapacity};
  std::atomic<bool> alive{true};
  std::mutex mu;
  std::vector<std::optional<FendralError>> errors;  // per worker, in spawn order
};

Result<std::unique_ptr<IndexWriter>> IndexWriter::create(const index::FendralIndex& index, size_t memory_budget) {
  unsigned parallelism = std::thread::hardware_concurrency();
  if (parallelism == 0) return fail(IoError(IoErrorKind::Other, "available parallelism is unknown"));
  return create_with_workers(index, memory_budget, default_worker_count(parallelism));
}

Result<std::unique_ptr<IndexWriter>> IndexWriter::create_with_workers(const index::FendralIndex& index,
                                                                      size_t memory_budget, size_t workers) {
  if (workers == 0) return fail(FendralError::invalid_argument("an index writer needs at least one worker"));
  size_t budget = memory_budget / workers;
  if (auto slots = SegmentWriter::hash_table_capacity(budget); !slots) return fail(slots.error());
  auto lock = index.directory().acquire_lock(index_writer_lock());
  if (!lock) {
    return fail(FendralError::lock_failure(
        lock.error(),
        "Failed to acquire index lock. If you are using a regular directory, this means there is already an "
        "`IndexWriter` working on this `Directory`, in this process or in a different process."));
  }
  auto meta = index.load_metas();
  if (!meta) return fail(meta.error());
  std::unique_ptr<IndexWriter> w(new IndexWriter(index, std::move(*lock)));
  w->worker_count_ = workers;
  w->budget_ = budget;
  w->opstamp_->store(meta->opstamp);
  w->committed_opstamp_ = meta->opstamp;
  w->updater_ = std::make_unique<SegmentUpdater>(index, *meta, w->delete_queue_.cursor(),
                                                 std::make_shared<LogMergePolicy>(), w->opstamp_);
  w->generation_ = std::make_shared<Generation>();
  if (auto ok = w->start_workers(); !ok) return fail(ok.error());
  return w;
}

IndexWriter::~IndexWriter() {
  if (updater_) updater_->kill();
  if (generation_) generation_->channel.close();
  for (auto& t : workers_) t.join();
  workers_.clear();
  updater_.reset();
}

Result<void> IndexWriter::start_workers() {
  for (size_t i = 0; i < worker_count_; ++i) {
    if (auto ok = spawn_worker(); !ok) return ok;
  }
  return {};
}

Result<void> IndexWriter::spawn_worker() {
  auto gen = generation_;
  size_t slot;
  {
    std::lock_guard lock(gen->mu);
    slot = gen->errors.size();
    gen->errors.emplace_back();
  }
  DeleteCursor cursor = delete_queue_.cursor();
  std::string name = fmt::format("thrd-fendral-index{}", worker_id_);
  try {
    workers_.emplace_back([gen, slot, cursor, name, index = index_, budget = budget_, updater = updater_.get()]() mutable {
      zudizid::common::set_current_thread_name(name);
      std::optional<FendralError> error;
      try {
        auto r = index_documents(index, budget, gen->channel, *updater, cursor);
        if (!r) error = r.error();
      } catch (...) {
        error = FendralError::error_in_thread("Any { .. }");
      }
      if (error) {
        gen->alive = false;
        // Senders blocked on a full channel must not wait for ever.
        gen->channel.close();
        std::lock_guard lock(gen->mu);
        gen->errors[slot] = std::move(error);
      }
    });
  } catch (const std::system_error& e) {
    gen->alive = false;
    return fail(IoError(IoErrorKind::Other, e.what()));
  }
  ++worker_id_;
  return {};
}

Result<void> IndexWriter::join_workers() {
  generation_->channel.close();
  for (auto& t : workers_) t.join();
  workers_.clear();
  std::lock_guard lock(generation_->mu);
  for (auto& e : generation_->errors) {
    if (e) return fail(*e);
  }
  return {};
}

Result<uint64_t> IndexWriter::add_document(schema::CompactDoc doc) {
  if (auto ok = check_document(index_.schema(), doc); !ok) return fail(ok.error());
  uint64_t opstamp = opstamp_->fetch_add(1);
  if (generation_->alive && generation_->channel.send(AddOperation{opstamp, std::move(doc)})) return opstamp;
  return fail(FendralError::error_in_thread(
      "An index writer was killed. A worker thread encountered an error (io::Error most likely) or panicked."));
}

Result<uint64_t> IndexWriter::delete_term(const schema::Term& term) {
  query::TermQuery q(term, schema::RecordOption::Basic);
  auto weight = q.specialized_weight(query::ScoringMode::disabled(index_.schema()));
  if (!weight) return fail(weight.error());
  uint64_t opstamp = opstamp_->fetch_add(1);
  delete_queue_.push(DeleteOperation{opstamp, std::shared_ptr<const query::Weight>(std::move(*weight))});
  return opstamp;
}

Result<void> IndexWriter::restart_workers() {
  auto joined = join_workers();
  // Whatever the outcome, the next generation starts with every worker.
  generation_ = std::make_shared<Generation>();
  if (auto ok = start_workers(); !ok) return ok;
  return joined;
}

uint64_t IndexWriter::delete_all_documents() {
  if (auto ok = restart_workers(); !ok && !deferred_error_) deferred_error_ = ok.error();
  updater_->remove_all_segments();
  return opstamp_->fetch_add(1);
}

Result<uint64_t> IndexWriter::commit() {
  ZLOG(Info, kTarget, "Preparing commit");
  auto restarted = restart_workers();
  if (deferred_error_) return fail(*std::exchange(deferred_error_, std::nullopt));
  if (!restarted) return fail(restarted.error());
  uint64_t opstamp = opstamp_->fetch_add(1);
  ZLOG(Info, kTarget, "Prepared commit {}", opstamp);
  ZLOG(Info, "fendral::indexer::prepared_commit", "committing {}", opstamp);
  if (!updater_->is_alive()) return fail(FendralError::system_error("Segment updater killed"));
  auto r = updater_->schedule_commit(opstamp, std::nullopt).get();
  if (!r) return fail(r.error());
  committed_opstamp_ = opstamp;
  return opstamp;
}

}  // namespace fendral::indexer
