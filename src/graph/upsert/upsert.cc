#include "graph/upsert/upsert.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "graph/embeddings.h"
#include "graph/upsert/key_lock.h"
#include "transaction/transaction.h"

namespace zudizid::graph::upsert {

namespace {

using transaction::Transaction;

// Rolls back (discarding writes and releasing node locks) whatever
// transaction is still held when a request leaves early.
struct TxGuard {
  std::unique_ptr<Transaction> tx;
  ~TxGuard() {
    if (tx) tx->rollback();
  }
};

std::shared_ptr<transaction::TransactionHost> host_of(const Graph& graph) {
  return std::make_shared<Graph>(graph.clone());
}

// The business key of a link's target.
std::string target_key_bytes(const UpsertLink& link) {
  return business_key_bytes(link.target_label, link.target_key, link.target_key_value);
}

// The stub node a link asks for when its target is missing.
Node stub_node(const UpsertLink& link) {
  PropertyMap props;
  props.emplace(link.target_key, link.target_key_value);
  return Node{Uuid::new_v4(), link.target_label, std::move(props), NodeKind::Individual};
}

// Makes sure the link's target exists, creating and committing its stub
// under the target key's own mutex: requests that link to one missing
// target (concurrently, or several times in one request) and an upsert of
// the target itself serialise there, so the key gets one node.
DbResult<void> ensure_stub(const Graph& graph, const UpsertLink& link) {
  auto mutex = key_lock(link.target_label, link.target_key, link.target_key_value);
  std::lock_guard hold(*mutex);
  TxGuard guard{Transaction::begin(host_of(graph))};
  auto targets = guard.tx->find_nodes_by_property(link.target_label, link.target_key, link.target_key_value);
  if (!targets) return std::unexpected(std::move(targets.error()));
  if (!targets->empty()) return {};  // only read: the guard drops it without a log record
  if (auto r = guard.tx->add_node(stub_node(link)); !r) return std::unexpected(r.error());
  return Transaction::commit(std::move(guard.tx));
}

DbResult<UpsertResult> upsert_locked(const Graph& graph, const UpsertRequest& req, const PropertyValue& key_value) {
  TxGuard guard{Transaction::begin(host_of(graph))};
  Transaction& tx = *guard.tx;

  auto matches = tx.find_nodes_by_property(req.label, req.key, key_value);
  if (!matches) return std::unexpected(std::move(matches.error()));
  if (matches->size() > 1) {
    return std::unexpected(DbError(DbError::Kind::AmbiguousUpsertKey,
                                   ambiguous_detail(matches->size(), req.label, req.key, key_value, "upserting")));
  }

  UpsertOutcome outcome;
  Uuid id;
  if (matches->empty()) {
    outcome = UpsertOutcome::Created;
    id = Uuid::new_v4();
    if (auto r = tx.add_node(Node{id, req.label, req.props, NodeKind::Individual}); !r) return std::unexpected(r.error());
  } else {
    const Node& match = matches->front();
    id = match.id;
    if (props_equal(match.properties, req.props)) {
      outcome = UpsertOutcome::Unchanged;
    } else {
      outcome = UpsertOutcome::Updated;
      if (auto r = tx.add_node(updated_node(match, req)); !r) return std::unexpected(r.error());
    }
  }

  std::vector<Edge> existing;
  if (outcome != UpsertOutcome::Created) {
    auto out = graph.get_outgoing_edges(id);
    if (!out) return std::unexpected(std::move(out.error()));
    existing = std::move(*out);
  }

  std::size_t added_edges = 0;
  const std::string own_key = business_key_bytes(req.label, req.key, key_value);
  std::unordered_map<std::string, Uuid> stubs;  // stubs this request buffered, by target key
  for (const UpsertLink& link : req.links) {
    auto targets = tx.find_nodes_by_property(link.target_label, link.target_key, link.target_key_value);
    if (!targets) return std::unexpected(std::move(targets.error()));
    Uuid target;
    if (!targets->empty()) {
      target = targets->front().id;
    } else if (link.create_target_stub) {
      // Stubs were made before this request took its key; a target missing
      // now is this request's own node, or a stub deleted meanwhile.
      const std::string key = target_key_bytes(link);
      if (key == own_key) {
        target = id;
      } else if (auto made = stubs.find(key); made != stubs.end()) {
        target = made->second;
      } else {
        Node stub = stub_node(link);
        target = stub.id;
        if (auto r = tx.add_node(std::move(stub)); !r) return std::unexpected(r.error());
        stubs.emplace(key, target);
      }
    } else {
      return std::unexpected(DbError(DbError::Kind::NodeNotFound, missing_target_detail(link)));
    }
    if (link_satisfied(existing, link.type, target)) continue;
    if (auto r = tx.add_edge(Edge{Uuid::new_v4(), id, target, link.type, link.props}); !r) {
      return std::unexpected(r.error());
    }
    ++added_edges;
  }

  bool embedding_differs = false;
  if (req.embedding) {
    auto stored = read_node_embedding(*graph.storage(), id, req.embedding->model);
    std::optional<std::vector<float>> vec;
    if (stored) vec = std::move(stored->vector);
    embedding_differs = embedding_changed(vec, req.embedding->vector);
  }

  if (outcome == UpsertOutcome::Unchanged && added_edges == 0 && !embedding_differs) {
    if (auto r = Transaction::rollback_async(std::move(guard.tx)); !r) return std::unexpected(r.error());
    return UpsertResult{UpsertOutcome::Unchanged, id};
  }
  if (auto r = Transaction::commit(std::move(guard.tx)); !r) return std::unexpected(r.error());

  // The commit itself replaced the node's old property-index entries.
  if (embedding_differs) {
    if (auto r = add_node_embedding(graph, id, req.embedding->vector, req.embedding->model); !r) {
      return std::unexpected(r.error());
    }
  }
  if (outcome == UpsertOutcome::Unchanged) outcome = UpsertOutcome::Updated;
  return UpsertResult{outcome, id};
}

}  // namespace

DbResult<UpsertResult> upsert_one(const Graph& graph, const UpsertRequest& request) {
  auto it = request.props.find(request.key);
  if (it == request.props.end()) {
    return std::unexpected(DbError(DbError::Kind::Message, missing_key_message(request.key, request.label)));
  }
  // A vector the embedding store would refuse must fail before the node is
  // committed, not after.
  if (request.embedding) {
    if (auto fault = embedding_vector_fault(request.embedding->vector)) {
      return std::unexpected(DbError::message(std::move(*fault)));
    }
    auto refused = check_node_embedding_length(graph, request.embedding->model, request.embedding->vector.size());
    if (auto r = refusal_as_error(std::move(refused)); !r) return std::unexpected(std::move(r.error()));
  }
  // Before this request's own key is taken: a stub is created under its
  // target's key, and holding two keys at once could deadlock.
  const std::string own_key = business_key_bytes(request.label, request.key, it->second);
  for (const UpsertLink& link : request.links) {
    if (!link.create_target_stub || target_key_bytes(link) == own_key) continue;
    if (auto r = ensure_stub(graph, link); !r) return std::unexpected(std::move(r.error()));
  }
  auto mutex = key_lock(request.label, request.key, it->second);
  std::lock_guard hold(*mutex);
  return upsert_locked(graph, request, it->second);
}

DbResult<std::vector<UpsertResult>> upsert_many(const Graph& graph, std::span<const UpsertRequest> requests) {
  std::vector<UpsertResult> out;
  out.reserve(requests.size());
  for (const UpsertRequest& r : requests) {
    auto one = upsert_one(graph, r);
    if (!one) return std::unexpected(std::move(one.error()));
    out.push_back(*one);
  }
  return out;
}

DbResult<std::optional<Uuid>> delete_by_key(const Graph& graph, std::string_view label, std::string_view key,
                                           const PropertyValue& value) {
  auto mutex = key_lock(label, key, value);
  std::lock_guard hold(*mutex);
  TxGuard guard{Transaction::begin(host_of(graph))};
  auto matches = guard.tx->find_nodes_by_property(label, key, value);
  if (!matches) return std::unexpected(std::move(matches.error()));
  if (matches->empty()) return std::optional<Uuid>();
  if (matches->size() > 1) {
    return std::unexpected(
        DbError(DbError::Kind::AmbiguousUpsertKey, ambiguous_detail(matches->size(), label, key, value, "deleting")));
  }
  Uuid id = matches->front().id;
  if (auto r = Transaction::rollback_async(std::move(guard.tx)); !r) return std::unexpected(r.error());
  Graph writer = graph.clone();
  if (auto r = writer.submit_write(WriteOp{WriteOp::DeleteNode{id}}); !r) return std::unexpected(r.error());
  return std::optional<Uuid>(id);
}

}  // namespace zudizid::graph::upsert
