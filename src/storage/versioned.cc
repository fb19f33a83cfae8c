#include "storage/versioned.h"

#include <array>
#include <chrono>
#include <cmath>

#include "storage/assign_field.h"
#include "storage/msgpack_fields.h"

namespace zudizid {
namespace {

using namespace records_internal;

constexpr std::string_view kVersionedNodeFields[] = {"id",           "version",    "timestamp", "node_data",
                                                     "prev_version", "valid_from", "valid_to"};
constexpr std::string_view kVersionedEdgeFields[] = {"id",         "version",  "timestamp",   "edge_data",
                                                     "valid_from", "valid_to", "prev_version"};
constexpr std::string_view kEmbeddingFields[] = {"node_id", "vector", "model", "version"};
constexpr std::string_view kEdgeEmbeddingFields[] = {"edge_id", "vector", "model", "version"};
constexpr std::string_view kPathRefFields[] = {"name", "node_model", "edge_model", "vector", "created_at"};

const StructShape kVersionedNodeShape{"struct VersionedNode", "struct VersionedNode with 7 elements",
                                      kVersionedNodeFields, (1u << 4) | (1u << 6)};
const StructShape kVersionedEdgeShape{"struct VersionedEdge", "struct VersionedEdge with 7 elements",
                                      kVersionedEdgeFields, (1u << 5) | (1u << 6)};
const StructShape kEmbeddingShape{"struct Embedding", "struct Embedding with 4 elements", kEmbeddingFields};
const StructShape kEdgeEmbeddingShape{"struct EdgeEmbedding", "struct EdgeEmbedding with 4 elements",
                                      kEdgeEmbeddingFields};
const StructShape kPathRefShape{"struct PathReferenceEmbedding", "struct PathReferenceEmbedding with 5 elements",
                                kPathRefFields};

DbResult<std::vector<uint8_t>> finish(std::vector<uint8_t>& out, const mp::Writer& w) {
  if (w.failed()) return std::unexpected(DbError::msgpack_encode(w.error()));
  return std::move(out);
}

void write_optional(mp::Writer& w, const std::optional<uint64_t>& v) {
  if (v)
    w.write_uint(*v);
  else
    w.write_nil();
}

void write_vector(mp::Writer& w, const std::vector<float>& v) {
  w.write_array_header(v.size());
  for (float f : v) w.write_f32(f);
}

// Decodes one record value at the start of `bytes`; `field` fills it in.
template <class T>
DbResult<T> decode(std::span<const uint8_t> bytes, const StructShape& shape,
                   const std::function<mp::Result<void>(T&, size_t, mp::Reader&, const mp::Head&)>& field) {
  mp::Reader reader(bytes);
  T record{};
  auto head = reader.read_head();
  if (!head) return std::unexpected(DbError::msgpack_decode(head.error().message));
  auto r = read_struct(reader, *head, shape, [&](size_t k, mp::Reader& rd, const mp::Head& h) {
    return field(record, k, rd, h);
  });
  if (!r) return std::unexpected(DbError::msgpack_decode(r.error().message));
  return record;
}

// A node or edge version: id, version, timestamp and the record, then
// prev_version, valid_from and valid_to in an order of their own per kind.
enum class Tail { PrevVersion, ValidFrom, ValidTo };
using TailOrder = std::array<Tail, 3>;
constexpr TailOrder kNodeTail = {Tail::PrevVersion, Tail::ValidFrom, Tail::ValidTo};
constexpr TailOrder kEdgeTail = {Tail::ValidFrom, Tail::ValidTo, Tail::PrevVersion};

template <class V, class Data>
DbResult<std::vector<uint8_t>> encode_versioned(const V& v, Data V::*data_member, const TailOrder& tail) {
  const Data& data = v.*data_member;
  if (auto ok = validate_properties_for_write(data.properties); !ok)
    return std::unexpected(DbError::msgpack_encode(ok.error()));
  std::vector<uint8_t> out;
  mp::Writer w(out);
  w.write_array_header(7);
  w.write_bin(v.id.span());
  w.write_uint(v.version);
  w.write_uint(v.timestamp);
  data.write_msgpack(w);
  for (Tail t : tail) {
    switch (t) {
      case Tail::PrevVersion: write_optional(w, v.prev_version); break;
      case Tail::ValidFrom: w.write_uint(v.valid_from); break;
      case Tail::ValidTo: write_optional(w, v.valid_to); break;
    }
  }
  return finish(out, w);
}

template <class V, class Data>
DbResult<V> decode_versioned(std::span<const uint8_t> bytes, const StructShape& shape, Data V::*data,
                             const TailOrder& tail) {
  return decode<V>(bytes, shape, [data, &tail](V& v, size_t k, mp::Reader& rd, const mp::Head& h) -> mp::Result<void> {
    switch (k) {
      case 0: return assign(v.id, read_uuid(rd, h));
      case 1: return assign(v.version, read_unsigned(rd, h, "u64"));
      case 2: return assign(v.timestamp, read_unsigned(rd, h, "u64"));
      case 3: return assign(v.*data, Data::from_msgpack(rd, h));
    }
    switch (tail[k - 4]) {
      case Tail::PrevVersion: return assign(v.prev_version, read_optional_u64(rd, h));
      case Tail::ValidFrom: return assign(v.valid_from, read_unsigned(rd, h, "u64"));
      default: return assign(v.valid_to, read_optional_u64(rd, h));
    }
  });
}

template <class T>
DbResult<T> decode_embedding(std::span<const uint8_t> bytes, const StructShape& shape, Uuid T::*id) {
  return decode<T>(bytes, shape, [id](T& e, size_t k, mp::Reader& rd, const mp::Head& h) -> mp::Result<void> {
    switch (k) {
      case 0: return assign(e.*id, read_uuid(rd, h));
      case 1: return assign(e.vector, read_f32_vector(rd, h));
      case 2: return assign(e.model, read_string(rd, h));
      default: {
        auto v = read_unsigned(rd, h, "u32", UINT32_MAX);
        if (!v) return std::unexpected(v.error());
        e.version = static_cast<uint32_t>(*v);
        return {};
      }
    }
  });
}

DbResult<std::vector<uint8_t>> encode_embedding(const Uuid& id, const std::vector<float>& vector,
                                                const std::string& model, uint32_t version) {
  std::vector<uint8_t> out;
  out.reserve(32 + 5 * vector.size() + model.size());
  mp::Writer w(out);
  w.write_array_header(4);
  w.write_bin(id.span());
  write_vector(w, vector);
  w.write_str(model);
  w.write_uint(version);
  return finish(out, w);
}

}  // namespace

DbResult<std::vector<uint8_t>> VersionedNode::to_msgpack() const {
  return encode_versioned(*this, &VersionedNode::node_data, kNodeTail);
}

DbResult<VersionedNode> VersionedNode::from_msgpack(std::span<const uint8_t> bytes) {
  return decode_versioned(bytes, kVersionedNodeShape, &VersionedNode::node_data, kNodeTail);
}

DbResult<std::vector<uint8_t>> VersionedEdge::to_msgpack() const {
  return encode_versioned(*this, &VersionedEdge::edge_data, kEdgeTail);
}

DbResult<VersionedEdge> VersionedEdge::from_msgpack(std::span<const uint8_t> bytes) {
  return decode_versioned(bytes, kVersionedEdgeShape, &VersionedEdge::edge_data, kEdgeTail);
}

DbResult<std::vector<uint8_t>> Embedding::to_msgpack() const { return encode_embedding(node_id, vector, model, version); }

DbResult<Embedding> Embedding::from_msgpack(std::span<const uint8_t> bytes) {
  return decode_embedding<Embedding>(bytes, kEmbeddingShape, &Embedding::node_id);
}

DbResult<std::vector<uint8_t>> EdgeEmbedding::to_msgpack() const {
  return encode_embedding(edge_id, vector, model, version);
}

DbResult<EdgeEmbedding> EdgeEmbedding::from_msgpack(std::span<const uint8_t> bytes) {
  return decode_embedding<EdgeEmbedding>(bytes, kEdgeEmbeddingShape, &EdgeEmbedding::edge_id);
}

DbResult<std::vector<uint8_t>> PathReferenceEmbedding::to_msgpack() const {
  std::vector<uint8_t> out;
  mp::Writer w(out);
  w.write_array_header(5);
  w.write_str(name);
  w.write_str(node_model);
  w.write_str(edge_model);
  write_vector(w, vector);
  w.write_uint(created_at);
  return finish(out, w);
}

DbResult<PathReferenceEmbedding> PathReferenceEmbedding::from_msgpack(std::span<const uint8_t> bytes) {
  return decode<PathReferenceEmbedding>(
      bytes, kPathRefShape,
      [](PathReferenceEmbedding& p, size_t k, mp::Reader& rd, const mp::Head& h) -> mp::Result<void> {
        switch (k) {
          case 0: return assign(p.name, read_string(rd, h));
          case 1: return assign(p.node_model, read_string(rd, h));
          case 2: return assign(p.edge_model, read_string(rd, h));
          case 3: return assign(p.vector, read_f32_vector(rd, h));
          default: return assign(p.created_at, read_unsigned(rd, h, "u64"));
        }
      });
}

DbResult<void> check_path_reference_vector(std::span<const float> vector) {
  if (vector.empty()) return std::unexpected(DbError::query_execution("PathReferenceEmbedding E-8 cannot persist an empty vector"));
  float sum = -0.0f;
  for (float x : vector) sum = sum + x * x;
  if (sum == 0.0f) {
    return std::unexpected(DbError::query_execution("PathReferenceEmbedding E-8 cannot persist a zero-norm vector"));
  }
  if (!std::isfinite(sum)) {
    return std::unexpected(
        DbError::query_execution("PathReferenceEmbedding E-8 cannot persist a vector with a non-finite norm"));
  }
  return {};
}

uint64_t unix_seconds_now() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return secs < 0 ? 0 : static_cast<uint64_t>(secs);
}

}  // namespace zudizid
