// The write applier's bounded queue (256 messages) with its one receiver.
//
// Senders block while the queue is full. The queue closes for the receiver
// when the last Sender is gone (every graph handle dropped); it closes for
// senders when the receiver has ended, and a send then hands the message
// back so that the caller applies it itself.
//
// Messages are never destroyed under the queue's mutex: a message carries a
// graph handle, and dropping the last handle drops the last Sender, which
// takes that mutex.
//
// The queue also carries the graph's write stop (see graph/graph.h): the
// error that ended all writes after a durable commit failed to apply.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "common/oneshot.h"
#include "graph/graph.h"

namespace zudizid::graph::applier {

inline constexpr size_t kQueueCapacity = 256;
inline constexpr size_t kMaxBatch = 16;

using Reply = common::OneShot<DbResult<void>>;

struct ApplierMessage {
  std::variant<transaction::CommitRequest, WriteOp> payload;
  Graph graph;  // keeps the graph, and so the queue's sending side, alive
  Reply::Sender reply;
};

class ApplierQueue {
 public:
  // nullopt when queued; the message itself when the receiver has ended.
  std::optional<ApplierMessage> send(ApplierMessage message);
  // Waits for a message, then takes up to `max` without waiting further.
  // Empty once every sender is gone and the queue is drained.
  std::vector<ApplierMessage> receive_batch(size_t max);
  // Messages waiting now (tests).
  size_t queued() const;

  void add_sender();
  void drop_sender();
  // The receiver has ended (or never started); later sends fail over.
  void close_receiver();
  bool receiver_closed() const;
  // Waits until the receiver has ended; false on time-out.
  bool wait_receiver_closed(std::chrono::milliseconds timeout) const;
  // Holds the receiver back until resume() (tests build up a backlog).
  void pause();
  void resume();

  std::optional<DbError> write_stop() const;
  void stop_writes(const DbError& cause);

  // The receiving thread, joined when the last sender goes (it then has no
  // work left and ends at once), or detached when that happens on the
  // thread itself.
  void set_thread(std::thread thread);
  void join_thread();

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable not_empty_;
  mutable std::condition_variable not_full_;
  mutable std::condition_variable closed_;
  std::deque<ApplierMessage> queue_;
  size_t senders_ = 0;
  bool receiver_closed_ = false;
  bool paused_ = false;
  std::optional<DbError> stop_;
  std::mutex thread_mu_;
  std::thread thread_;
};

// The graph handle's member 14: one per open graph, shared by every clone.
// Dropping it (with the last handle) closes the queue for the receiver.
class Sender {
 public:
  explicit Sender(std::shared_ptr<ApplierQueue> queue) : queue_(std::move(queue)) { queue_->add_sender(); }
  ~Sender() {
    queue_->drop_sender();
    queue_->join_thread();
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ApplierQueue& queue() const { return *queue_; }
  const std::shared_ptr<ApplierQueue>& shared_queue() const { return queue_; }

 private:
  std::shared_ptr<ApplierQueue> queue_;
};

}  // namespace zudizid::graph::applier
