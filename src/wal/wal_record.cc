#include "wal/wal_record.h"

#include <fmt/format.h>

#include <array>

#include "storage/assign_field.h"
#include "storage/json_fields.h"

namespace zudizid::wal {
namespace {

using namespace records_internal;

constexpr std::array<std::string_view, 9> kNames = {"Begin",      "InsertNode", "UpdateNode",
                                                     "DeleteNode", "InsertEdge", "DeleteEdge",
                                                     "Commit",     "Abort",      "Checkpoint"};

constexpr std::string_view kUnknownVariant =
    "expected one of `Begin`, `InsertNode`, `UpdateNode`, `DeleteNode`, `InsertEdge`, `DeleteEdge`, `Commit`, "
    "`Abort`, `Checkpoint`";

constexpr std::string_view kBeginFields[] = {"tx_id", "timestamp"};
constexpr std::string_view kInsertNodeFields[] = {"tx_id", "node"};
constexpr std::string_view kUpdateNodeFields[] = {"tx_id", "node_id", "old_node", "new_node"};
constexpr std::string_view kDeleteNodeFields[] = {"tx_id", "node_id", "node"};
constexpr std::string_view kInsertEdgeFields[] = {"tx_id", "edge"};
constexpr std::string_view kDeleteEdgeFields[] = {"tx_id", "edge_id", "edge"};
constexpr std::string_view kCommitFields[] = {"tx_id", "timestamp"};
constexpr std::string_view kAbortFields[] = {"tx_id"};
constexpr std::string_view kCheckpointFields[] = {"timestamp", "active_transactions"};

const JsonStructShape kShapes[] = {
    {"struct variant WalRecord::Begin", "struct variant WalRecord::Begin with 2 elements", kBeginFields},
    {"struct variant WalRecord::InsertNode", "struct variant WalRecord::InsertNode with 2 elements", kInsertNodeFields},
    {"struct variant WalRecord::UpdateNode", "struct variant WalRecord::UpdateNode with 4 elements", kUpdateNodeFields},
    {"struct variant WalRecord::DeleteNode", "struct variant WalRecord::DeleteNode with 3 elements", kDeleteNodeFields},
    {"struct variant WalRecord::InsertEdge", "struct variant WalRecord::InsertEdge with 2 elements", kInsertEdgeFields},
    {"struct variant WalRecord::DeleteEdge", "struct variant WalRecord::DeleteEdge with 3 elements", kDeleteEdgeFields},
    {"struct variant WalRecord::Commit", "struct variant WalRecord::Commit with 2 elements", kCommitFields},
    {"struct variant WalRecord::Abort", "struct variant WalRecord::Abort with 1 element", kAbortFields},
    {"struct variant WalRecord::Checkpoint", "struct variant WalRecord::Checkpoint with 2 elements", kCheckpointFields},
};

// Reads the body of variant `index` (the reader at its '{' or '[').
js::Result<WalRecord> read_body(js::Reader& r, size_t index) {
  const JsonStructShape& shape = kShapes[index];
  auto read = [&](auto record, auto field) -> js::Result<WalRecord> {
    auto res = read_json_struct_body(r, shape, [&](size_t k, js::Reader& rd) { return field(record, k, rd); });
    if (!res) return std::unexpected(res.error());
    return WalRecord(std::move(record));
  };
  switch (index) {
    case 0:
      return read(Begin{}, [](Begin& b, size_t k, js::Reader& rd) {
        return k == 0 ? assign(b.tx_id, read_json_u64(rd)) : assign(b.timestamp, read_json_u64(rd));
      });
    case 1:
      return read(InsertNode{}, [](InsertNode& b, size_t k, js::Reader& rd) {
        return k == 0 ? assign(b.tx_id, read_json_u64(rd)) : assign(b.node, Node::from_json(rd));
      });
    case 2:
      return read(UpdateNode{}, [](UpdateNode& b, size_t k, js::Reader& rd) {
        switch (k) {
          case 0: return assign(b.tx_id, read_json_u64(rd));
          case 1: return assign(b.node_id, read_json_uuid(rd));
          case 2: return assign(b.old_node, Node::from_json(rd));
          default: return assign(b.new_node, Node::from_json(rd));
        }
      });
    case 3:
      return read(DeleteNode{}, [](DeleteNode& b, size_t k, js::Reader& rd) {
        switch (k) {
          case 0: return assign(b.tx_id, read_json_u64(rd));
          case 1: return assign(b.node_id, read_json_uuid(rd));
          default: return assign(b.node, Node::from_json(rd));
        }
      });
    case 4:
      return read(InsertEdge{}, [](InsertEdge& b, size_t k, js::Reader& rd) {
        return k == 0 ? assign(b.tx_id, read_json_u64(rd)) : assign(b.edge, Edge::from_json(rd));
      });
    case 5:
      return read(DeleteEdge{}, [](DeleteEdge& b, size_t k, js::Reader& rd) {
        switch (k) {
          case 0: return assign(b.tx_id, read_json_u64(rd));
          case 1: return assign(b.edge_id, read_json_uuid(rd));
          default: return assign(b.edge, Edge::from_json(rd));
        }
      });
    case 6:
      return read(Commit{}, [](Commit& b, size_t k, js::Reader& rd) {
        return k == 0 ? assign(b.tx_id, read_json_u64(rd)) : assign(b.timestamp, read_json_u64(rd));
      });
    case 7:
      return read(Abort{}, [](Abort& b, size_t, js::Reader& rd) { return assign(b.tx_id, read_json_u64(rd)); });
    default:
      return read(Checkpoint{}, [](Checkpoint& b, size_t k, js::Reader& rd) {
        return k == 0 ? assign(b.timestamp, read_json_u64(rd)) : assign(b.active_transactions, read_json_u64_list(rd));
      });
  }
}

void write_id(js::Writer& w, std::string_view key, const Uuid& id) {
  w.key(key);
  std::string text;
  id.append_to(text);
  w.string(text);
}

struct BodyWriter {
  js::Writer& w;
  void operator()(const Begin& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    w.key("timestamp");
    w.uint64(b.timestamp);
  }
  void operator()(const InsertNode& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    Node::to_json(w, "node", b.node);
  }
  void operator()(const UpdateNode& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    write_id(w, "node_id", b.node_id);
    Node::to_json(w, "old_node", b.old_node);
    Node::to_json(w, "new_node", b.new_node);
  }
  void operator()(const DeleteNode& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    write_id(w, "node_id", b.node_id);
    Node::to_json(w, "node", b.node);
  }
  void operator()(const InsertEdge& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    Edge::to_json(w, b.edge);
  }
  void operator()(const DeleteEdge& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    write_id(w, "edge_id", b.edge_id);
    Edge::to_json(w, b.edge);
  }
  void operator()(const Commit& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
    w.key("timestamp");
    w.uint64(b.timestamp);
  }
  void operator()(const Abort& b) const {
    w.key("tx_id");
    w.uint64(b.tx_id);
  }
  void operator()(const Checkpoint& b) const {
    w.key("timestamp");
    w.uint64(b.timestamp);
    w.key("active_transactions");
    w.begin_array();
    for (uint64_t tx : b.active_transactions) w.uint64(tx);
    w.end_array();
  }
};

}  // namespace

std::string_view WalRecord::name() const { return kNames[v_.index()]; }

std::optional<uint64_t> WalRecord::tx_id() const {
  return std::visit(
      [](const auto& r) -> std::optional<uint64_t> {
        if constexpr (requires { r.tx_id; })
          return r.tx_id;
        else
          return std::nullopt;
      },
      v_);
}

std::optional<size_t> WalRecord::variant_from_name(std::string_view name) {
  for (size_t k = 0; k < kNames.size(); ++k)
    if (kNames[k] == name) return k;
  return std::nullopt;
}

void WalRecord::to_json(std::string& out) const {
  js::Writer w(out);
  w.begin_object();
  w.key(name());
  w.begin_object();
  std::visit(BodyWriter{w}, v_);
  w.end_object();
  w.end_object();
}

std::string WalRecord::to_json() const {
  std::string out;
  to_json(out);
  return out;
}

DbResult<void> WalRecord::validate_for_log() const {
  auto check = [](const PropertyMap& props) -> DbResult<void> {
    if (auto ok = validate_properties_for_wal(props); !ok)
      return std::unexpected(DbError::serialization("JSON serialize error: " + ok.error()));
    return {};
  };
  return std::visit(
      [&](const auto& r) -> DbResult<void> {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, InsertNode> || std::is_same_v<T, DeleteNode>) {
          return check(r.node.properties);
        } else if constexpr (std::is_same_v<T, UpdateNode>) {
          if (auto ok = check(r.old_node.properties); !ok) return ok;
          return check(r.new_node.properties);
        } else if constexpr (std::is_same_v<T, InsertEdge> || std::is_same_v<T, DeleteEdge>) {
          return check(r.edge.properties);
        } else {
          return {};
        }
      },
      v_);
}

js::Result<WalRecord> WalRecord::from_json(std::string_view payload) {
  js::Reader r(payload);
  int c = r.peek_token();
  if (c == js::Reader::kEof) return std::unexpected(r.error_here("EOF while parsing a value"));
  if (c == '"') {
    // A bare variant name: no record is a unit variant.
    auto name = r.parse_string();
    if (!name) return std::unexpected(name.error());
    if (!variant_from_name(*name))
      return std::unexpected(r.error_here(fmt::format("unknown variant `{}`, {}", *name, kUnknownVariant)));
    return std::unexpected(js::Error{"invalid type: unit variant, expected struct variant"});
  }
  if (c != '{') return std::unexpected(r.error_next("expected value"));
  r.bump();
  if (auto e = r.enter(); !e) return std::unexpected(e.error());
  size_t index = 0;
  if (r.peek_token() == '"') {
    auto name = r.parse_string();
    if (!name) return std::unexpected(name.error());
    auto found = variant_from_name(*name);
    if (!found) return std::unexpected(r.error_here(fmt::format("unknown variant `{}`, {}", *name, kUnknownVariant)));
    index = *found;
  } else {
    auto v = r.parse_value();
    if (!v) return std::unexpected(v.error());
    return std::unexpected(json_invalid_type(r, *v, "variant identifier"));
  }
  c = r.peek_token();
  if (c == js::Reader::kEof) return std::unexpected(r.error_here("EOF while parsing an object"));
  if (c != ':') return std::unexpected(r.error_next("expected `:`"));
  r.bump();
  c = r.peek_token();
  if (c != '{' && c != '[') {
    auto v = r.parse_value();
    if (!v) return std::unexpected(v.error());
    return std::unexpected(json_invalid_type(r, *v, kShapes[index].expecting));
  }
  auto record = read_body(r, index);
  if (!record) return record;
  c = r.peek_token();
  if (c == js::Reader::kEof) return std::unexpected(r.error_here("EOF while parsing an object"));
  if (c != '}') return std::unexpected(r.error_next("expected value"));
  r.bump();
  r.leave();
  if (auto e = r.finish(); !e) return std::unexpected(e.error());
  return record;
}

}  // namespace zudizid::wal
