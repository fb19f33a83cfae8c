#include "fulltext/store/block_compressor.h"

#include <lz4.h>

#include <cstring>

#include "common/thread_name.h"
#include "fulltext/store/doc_store_footer.h"
#include "fulltext/store/store_reader.h"

namespace fendral::store {

void DocStoreFooter::append_to(std::vector<uint8_t>& out) const {
  uint8_t b[SIZE_IN_BYTES] = {};
  std::memcpy(b, &version, 4);
  std::memcpy(b + 4, &data_end, 8);
  b[12] = compressor_id;
  out.insert(out.end(), b, b + SIZE_IN_BYTES);
}

IoResult<void> BlockCompressorImpl::compress_and_write(std::span<const uint8_t> raw, uint32_t num_docs) {
  if (num_docs == 0) contract_violation("assertion failed: num_docs_in_block > 0");
  scratch_.clear();
  if (compressor_ == index::Compressor::Lz4) {
    if (raw.size() > LZ4_MAX_INPUT_SIZE) return io_fail(IoErrorKind::InvalidInput, "doc store block too large for LZ4");
    int bound = LZ4_compressBound(static_cast<int>(raw.size()));
    scratch_.resize(4 + static_cast<size_t>(bound));
    uint32_t raw_len = static_cast<uint32_t>(raw.size());
    std::memcpy(scratch_.data(), &raw_len, 4);
    int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), reinterpret_cast<char*>(scratch_.data() + 4),
                                 static_cast<int>(raw.size()), bound);
    if (n <= 0 && !raw.empty()) return io_fail(IoErrorKind::Other, "LZ4 compression failed");
    scratch_.resize(4 + static_cast<size_t>(n));
  } else {
    scratch_.assign(raw.begin(), raw.end());
  }
  uint64_t start = counting_.written_bytes();
  auto w = counting_.write_all(std::span<const uint8_t>(scratch_));
  if (!w) return w;
  skip_index_.insert({start, counting_.written_bytes(), first_doc_in_block_, first_doc_in_block_ + num_docs});
  first_doc_in_block_ += num_docs;
  return {};
}

Result<void> BlockCompressorImpl::append_store(const StoreReader& other) {
  uint32_t doc_shift = first_doc_in_block_;
  uint64_t byte_shift = counting_.written_bytes();
  auto blocks = other.blocks_area();
  if (!blocks) return fail(blocks.error());
  auto w = counting_.write_all(blocks->as_bytes());
  if (!w) return fail(w.error());
  LayerCursor cursor = other.skip_index().block_checkpoints();
  while (true) {
    auto c = cursor.next_checkpoint();
    if (!c) return fail(c.error());
    if (!*c) break;
    Checkpoint shifted{(*c)->byte_start + byte_shift, (*c)->byte_end + byte_shift, (*c)->doc_start + doc_shift,
                       (*c)->doc_end + doc_shift};
    skip_index_.insert(shifted);
    first_doc_in_block_ = shifted.doc_end;
  }
  return {};
}

IoResult<void> BlockCompressorImpl::finish() {
  DocStoreFooter footer;
  footer.data_end = counting_.written_bytes();
  footer.compressor_id = static_cast<uint8_t>(compressor_);
  std::vector<uint8_t> tail;
  skip_index_.write(tail);
  footer.append_to(tail);
  auto w = counting_.write_all(std::span<const uint8_t>(tail));
  if (w) w = counting_.flush();
  if (w) w = out_->terminate_ref();
  return w;
}

// ---- dedicated thread ------------------------------------------------------

using Message = std::variant<std::pair<std::vector<uint8_t>, uint32_t>, std::shared_ptr<const StoreReader>>;

struct BlockCompressor::Channel {
  static constexpr size_t kCapacity = 3;
  std::mutex mu;
  std::condition_variable not_full, not_empty;
  std::deque<Message> queue;        // guarded by mu
  bool closed = false;              // no more messages; drain, then finish
  bool abandoned = false;           // stop without finishing
  bool done = false;                // the thread has ended
  std::optional<FendralError> error;  // the thread's result when it failed
};


Result<BlockCompressor> BlockCompressor::create(index::Compressor compressor, std::unique_ptr<TerminatingWrite> out,
                                                bool dedicated_thread) {
  BlockCompressor bc;
  auto impl = std::make_unique<BlockCompressorImpl>(compressor, std::move(out));
  if (!dedicated_thread) {
    bc.in_thread_ = std::move(impl);
    return bc;
  }
  bc.channel_ = std::make_shared<Channel>();
  try {
    bc.thread_ = std::thread(run_thread, bc.channel_, std::move(impl));
  } catch (const std::system_error& e) {
    return fail(IoError(IoErrorKind::Other, e.what()));
  }
  return bc;
}

BlockCompressor::BlockCompressor(BlockCompressor&& o) noexcept
    : in_thread_(std::move(o.in_thread_)), channel_(std::move(o.channel_)), thread_(std::move(o.thread_)) {}

BlockCompressor::~BlockCompressor() {
  if (channel_) {
    {
      std::lock_guard<std::mutex> lock(channel_->mu);
      channel_->abandoned = true;
      channel_->closed = true;
    }
    channel_->not_empty.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void BlockCompressor::run_thread(std::shared_ptr<Channel> ch, std::unique_ptr<BlockCompressorImpl> impl) {
  zudizid::common::set_current_thread_name("docstore-compressor-thread");
  std::optional<FendralError> error;
  try {
    while (true) {
      Message msg;
      {
        std::unique_lock<std::mutex> lock(ch->mu);
        ch->not_empty.wait(lock, [&] { return !ch->queue.empty() || ch->closed; });
        if (ch->abandoned) break;
        if (ch->queue.empty()) {
          lock.unlock();
          auto f = impl->finish();
          if (!f) error = FendralError(f.error());
          break;
        }
        msg = std::move(ch->queue.front());
        ch->queue.pop_front();
      }
      ch->not_full.notify_one();
      if (auto* block = std::get_if<0>(&msg)) {
        auto r = impl->compress_and_write(block->first, block->second);
        if (!r) {
          error = FendralError(r.error());
          break;
        }
      } else {
        auto r = impl->append_store(*std::get<1>(msg));
        if (!r) {
          error = r.error();
          break;
        }
      }
    }
  } catch (...) {
    error = FendralError(IoError(IoErrorKind::Other, "Compressing thread panicked."));
  }
  impl.reset();  // the file stays unterminated unless finish ran
  {
    std::lock_guard<std::mutex> lock(ch->mu);
    ch->done = true;
    ch->error = std::move(error);
    ch->queue.clear();
  }
  ch->not_full.notify_all();
}

Result<void> BlockCompressor::send(Message msg) {
  {
    std::unique_lock<std::mutex> lock(channel_->mu);
    channel_->not_full.wait(lock, [&] { return channel_->queue.size() < Channel::kCapacity || channel_->done; });
    if (!channel_->done) {
      channel_->queue.push_back(std::move(msg));
      lock.unlock();
      channel_->not_empty.notify_one();
      return {};
    }
  }
  // The thread has ended: report why.
  auto r = join_thread();
  if (!r) return r;
  return fail(IoError(IoErrorKind::Other, "Unidentified error."));
}

Result<void> BlockCompressor::join_thread() {
  if (!thread_.joinable()) return fail(IoError(IoErrorKind::Other, "Thread already joined."));
  {
    std::lock_guard<std::mutex> lock(channel_->mu);
    channel_->closed = true;
  }
  channel_->not_empty.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> lock(channel_->mu);
  if (channel_->error) return fail(*channel_->error);
  return {};
}

IoResult<void> BlockCompressor::compress_and_write(std::span<const uint8_t> raw, uint32_t num_docs) {
  if (in_thread_) return in_thread_->compress_and_write(raw, num_docs);
  if (num_docs == 0) contract_violation("assertion failed: num_docs_in_block > 0");
  auto r = send(std::make_pair(std::vector<uint8_t>(raw.begin(), raw.end()), num_docs));
  if (!r) {
    if (auto* io = std::get_if<IoError>(&r.error().payload())) return std::unexpected(*io);
    return io_fail(IoErrorKind::Other, r.error().display());
  }
  return {};
}

Result<void> BlockCompressor::append_store(std::shared_ptr<const StoreReader> other) {
  if (in_thread_) return in_thread_->append_store(*other);
  return send(std::move(other));
}

Result<void> BlockCompressor::finish() {
  if (in_thread_) {
    auto r = in_thread_->finish();
    in_thread_.reset();
    if (!r) return fail(r.error());
    return {};
  }
  return join_thread();
}

}  // namespace fendral::store
