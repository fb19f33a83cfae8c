#include "graph/adjacency.h"

#include <mutex>

#include "common/msgpack.h"

namespace zudizid::graph {

std::vector<Uuid> Adjacency::get(const Uuid& id) const {
  std::shared_lock g(mu);
  auto it = map.find(id);
  return it == map.end() ? std::vector<Uuid>{} : it->second;
}

std::vector<std::uint8_t> encode_adjacency_list(std::span<const Uuid> ids) {
  std::vector<std::uint8_t> out;
  out.reserve(5 + ids.size() * 18);
  common::msgpack::Writer w(out);
  w.write_array_header(ids.size());
  for (const Uuid& id : ids) w.write_bin(id.span());
  return out;
}

std::string out_adjacency_key(const Uuid& node) {
  std::string k = "idx:out:";
  node.append_to(k);
  return k;
}

std::string in_adjacency_key(const Uuid& node) {
  std::string k = "idx:in:";
  node.append_to(k);
  return k;
}

}  // namespace zudizid::graph

namespace zudizid::graph {

std::expected<std::vector<Uuid>, std::string> decode_adjacency_list(std::span<const std::uint8_t> bytes) {
  namespace mp = common::msgpack;
  mp::Reader r(bytes);
  auto head = r.read_head();
  if (!head) return std::unexpected(head.error().message);
  if (head->kind != mp::Kind::Array) return std::unexpected(std::string("invalid type: ") + mp::describe(*head) +
                                                            ", expected a sequence of ids");
  std::vector<Uuid> ids;
  ids.reserve(r.plausible_count(head->len, 18));
  for (std::uint32_t i = 0; i < head->len; ++i) {
    auto h = r.read_head();
    if (!h) return std::unexpected(h.error().message);
    if (h->kind != mp::Kind::Bin || h->len != 16) return std::unexpected("invalid id in id list: " + mp::describe(*h));
    auto payload = r.read_payload(h->len);
    if (!payload) return std::unexpected(payload.error().message);
    auto id = Uuid::from_slice(*payload);
    if (!id) return std::unexpected(id.error());
    ids.push_back(*id);
  }
  if (r.remaining() != 0) return std::unexpected(std::string("trailing bytes after id list"));
  return ids;
}

}  // namespace zudizid::graph
