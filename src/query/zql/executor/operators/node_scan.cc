#include "query/zql/executor/operators/node_scan.h"

#include "storage/node_fields.h"

namespace zudizid::query::zql::executor::operators {

std::optional<DbResult<Node>> NodeScanOperator::next() {
  if (buffer_.empty()) {
    if (exhausted_) return std::nullopt;
    auto batch = properties_ ? storage::node_record_batch_with(*graph_.storage(), resume_key_, batch_size_, label_,
                                                               *properties_)
                             : graph_.storage()->node_record_batch(resume_key_, batch_size_, label_);
    if (!batch) return DbResult<Node>(std::unexpected(std::move(batch.error())));
    resume_key_ = std::move(batch->resume_key);
    if (!resume_key_) exhausted_ = true;
    if (batch->nodes.empty()) {
      exhausted_ = true;
      return std::nullopt;
    }
    for (Node& n : batch->nodes) buffer_.push_back(std::move(n));
  }
  Node front = std::move(buffer_.front());
  buffer_.pop_front();
  return DbResult<Node>(std::move(front));
}

}  // namespace zudizid::query::zql::executor::operators
