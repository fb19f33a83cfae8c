#include "kv/serialization/bodies.h"

#include <algorithm>

#include "kv/serialization/varint.h"

namespace kelm::serialization {
namespace {

uint64_t ivec_size(const IVec& v) { return varint_size(v.size()) + v.size(); }

uint8_t* put_ivec(const IVec& v, uint8_t* out) {
  out += write_varint(v.size(), out);
  if (v.size()) std::memcpy(out, v.data(), v.size());
  return out + v.size();
}

// Reading cursor over one body; every read checks what remains.
struct Reader {
  std::span<const uint8_t> in;
  bool at_end() const { return in.empty(); }
  std::optional<uint64_t> varint() {
    auto v = read_varint(in);
    if (!v) return std::nullopt;
    in = in.subspan(v->size);
    return v->value;
  }
  std::optional<uint8_t> byte() {
    if (in.empty()) return std::nullopt;
    uint8_t b = in[0];
    in = in.subspan(1);
    return b;
  }
  std::optional<IVec> ivec() {
    auto n = varint();
    if (!n || *n > in.size()) return std::nullopt;
    IVec v = IVec::from_slice(in.subspan(0, *n));
    in = in.subspan(*n);
    return v;
  }
};

Error corrupt() { return Error::corruption(); }

}  // namespace

uint64_t serialized_size(const Node& node) {
  uint64_t n = varint_size(node.next) + varint_size(node.merging_child) + 2 + ivec_size(node.lo) +
               ivec_size(node.hi) + 1 + varint_size(node.len());
  for (const auto& k : node.keys()) n += ivec_size(k);
  if (node.is_leaf()) {
    for (const auto& v : node.leaf().values) n += ivec_size(v);
  } else {
    for (PageId p : node.index().pointers) n += varint_size(p);
  }
  return n;
}

size_t serialize_into(const Node& node, uint8_t* out) {
  uint8_t* p = out;
  p += write_varint(node.next, p);
  p += write_varint(node.merging_child, p);
  *p++ = node.merging ? 1 : 0;
  *p++ = node.prefix_len;
  p = put_ivec(node.lo, p);
  p = put_ivec(node.hi, p);
  *p++ = node.is_leaf() ? 0 : 1;
  p += write_varint(node.len(), p);
  for (const auto& k : node.keys()) p = put_ivec(k, p);
  if (node.is_leaf()) {
    for (const auto& v : node.leaf().values) p = put_ivec(v, p);
  } else {
    for (PageId c : node.index().pointers) p += write_varint(c, p);
  }
  return p - out;
}

uint64_t serialized_size(const pagecache::Meta& meta) {
  uint64_t n = 0;
  for (const auto& [name, root] : meta.inner) n += ivec_size(name) + varint_size(root);
  return n;
}

size_t serialize_into(const pagecache::Meta& meta, uint8_t* out) {
  uint8_t* p = out;
  for (const auto& [name, root] : meta.inner) {
    p = put_ivec(name, p);
    p += write_varint(root, p);
  }
  return p - out;
}

uint64_t serialized_size(const Link& link) {
  struct V {
    uint64_t operator()(const link::Set& s) const { return ivec_size(s.key) + ivec_size(s.value); }
    uint64_t operator()(const link::Del& d) const { return ivec_size(d.key); }
    uint64_t operator()(const link::ParentMergeIntention& m) const { return varint_size(m.pid); }
    uint64_t operator()(const link::ParentMergeConfirm&) const { return 0; }
    uint64_t operator()(const link::ChildMergeCap&) const { return 0; }
  };
  return 1 + std::visit(V{}, link);
}

size_t serialize_into(const Link& link, uint8_t* out) {
  uint8_t* p = out;
  *p++ = static_cast<uint8_t>(link.index());
  if (auto* s = std::get_if<link::Set>(&link)) {
    p = put_ivec(s->key, p);
    p = put_ivec(s->value, p);
  } else if (auto* d = std::get_if<link::Del>(&link)) {
    p = put_ivec(d->key, p);
  } else if (auto* m = std::get_if<link::ParentMergeIntention>(&link)) {
    p += write_varint(m->pid, p);
  }
  return p - out;
}

uint64_t serialized_size(const pagecache::Body& body) {
  struct V {
    uint64_t operator()(std::monostate) const { return 0; }
    uint64_t operator()(const Node* n) const { return serialized_size(*n); }
    uint64_t operator()(const pagecache::Meta* m) const { return serialized_size(*m); }
    uint64_t operator()(pagecache::CounterBody c) const { return varint_size(c.value); }
    uint64_t operator()(const Link* l) const { return serialized_size(*l); }
    uint64_t operator()(pagecache::BatchManifestBody) const { return 8; }
  };
  return std::visit(V{}, body);
}

bool serialize_body(const pagecache::Body& body, std::span<uint8_t> out) {
  if (serialized_size(body) != out.size()) return false;
  struct V {
    uint8_t* o;
    size_t operator()(std::monostate) const { return 0; }
    size_t operator()(const Node* n) const { return serialize_into(*n, o); }
    size_t operator()(const pagecache::Meta* m) const { return serialize_into(*m, o); }
    size_t operator()(pagecache::CounterBody c) const { return write_varint(c.value, o); }
    size_t operator()(const Link* l) const { return serialize_into(*l, o); }
    size_t operator()(pagecache::BatchManifestBody) const {
      std::memset(o, 0, 8);
      return 8;
    }
  };
  return std::visit(V{out.data()}, body) == out.size();
}

Result<Node> deserialize_node(std::span<const uint8_t> body) {
  Reader r{body};
  Node n;
  auto next = r.varint();
  auto mc = r.varint();
  auto merging = next && mc ? r.byte() : std::nullopt;
  auto plen = merging ? r.byte() : std::nullopt;
  if (!plen) return std::unexpected(corrupt());
  auto lo = r.ivec();
  auto hi = lo ? r.ivec() : std::nullopt;
  auto tag = hi ? r.byte() : std::nullopt;
  if (!tag || *tag > 1) return std::unexpected(corrupt());
  auto count = r.varint();
  if (!count) return std::unexpected(corrupt());
  n.next = *next;
  n.merging_child = *mc;
  n.merging = *merging != 0;
  n.prefix_len = *plen;
  n.lo = std::move(*lo);
  n.hi = std::move(*hi);
  // Lists stop early, without an error, when the body runs out.
  std::vector<IVec> keys;
  for (uint64_t i = 0; i < *count && !r.at_end(); ++i) {
    auto k = r.ivec();
    if (!k) return std::unexpected(corrupt());
    keys.push_back(std::move(*k));
  }
  if (*tag == 0) {
    Leaf lf;
    lf.keys = std::move(keys);
    for (uint64_t i = 0; i < *count && !r.at_end(); ++i) {
      auto v = r.ivec();
      if (!v) return std::unexpected(corrupt());
      lf.values.push_back(std::move(*v));
    }
    n.data = std::move(lf);
  } else {
    Index ix;
    ix.keys = std::move(keys);
    for (uint64_t i = 0; i < *count && !r.at_end(); ++i) {
      auto p = r.varint();
      if (!p) return std::unexpected(corrupt());
      ix.pointers.push_back(*p);
    }
    n.data = std::move(ix);
  }
  // A node must hold as many values (pointers) as keys for the tree to use it.
  if (n.keys().size() != (n.is_leaf() ? n.leaf().values.size() : n.index().pointers.size()))
    return std::unexpected(corrupt());
  return n;
}

Result<Link> deserialize_link(std::span<const uint8_t> body) {
  Reader r{body};
  auto tag = r.byte();
  if (!tag || *tag > 4) return std::unexpected(corrupt());
  switch (*tag) {
    case 0: {
      auto k = r.ivec();
      auto v = k ? r.ivec() : std::nullopt;
      if (!v) return std::unexpected(corrupt());
      return link::Set{std::move(*k), std::move(*v)};
    }
    case 1: {
      auto k = r.ivec();
      if (!k) return std::unexpected(corrupt());
      return link::Del{std::move(*k)};
    }
    case 2: {
      auto p = r.varint();
      if (!p) return std::unexpected(corrupt());
      return link::ParentMergeIntention{*p};
    }
    case 3:
      return link::ParentMergeConfirm{};
    default:
      return link::ChildMergeCap{};
  }
}

Result<pagecache::Meta> deserialize_meta(std::span<const uint8_t> body) {
  Reader r{body};
  std::vector<std::pair<IVec, PageId>> entries;
  while (!r.at_end()) {
    auto name = r.ivec();
    auto root = name ? r.varint() : std::nullopt;
    if (!root) return std::unexpected(corrupt());
    entries.emplace_back(std::move(*name), *root);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  pagecache::Meta m;
  for (auto& [name, root] : entries) m.inner.insert_or_assign(std::move(name), root);
  return m;
}

Result<uint64_t> deserialize_counter(std::span<const uint8_t> body) {
  auto v = read_varint(body);
  if (!v) return std::unexpected(corrupt());
  return v->value;
}

Result<pagecache::Update> deserialize_update(pagecache::MessageKind kind, PageId pid, std::span<const uint8_t> body) {
  using MK = pagecache::MessageKind;
  switch (kind) {
    case MK::Counter: {
      auto c = deserialize_counter(body);
      if (!c) return std::unexpected(c.error());
      return pagecache::Update(pagecache::Counter{*c});
    }
    case MK::InlineMeta:
    case MK::BlobMeta: {
      auto m = deserialize_meta(body);
      if (!m) return std::unexpected(m.error());
      return pagecache::Update(std::move(*m));
    }
    case MK::InlineLink:
    case MK::BlobLink: {
      auto l = deserialize_link(body);
      if (!l) return std::unexpected(l.error());
      return pagecache::Update(std::move(*l));
    }
    case MK::InlineNode:
    case MK::BlobNode: {
      auto n = deserialize_node(body);
      if (!n) return std::unexpected(n.error());
      return pagecache::Update(std::move(*n));
    }
    case MK::Free:
      return std::unexpected(Error::reportable_bug("non-link/replace found in pull of pid " + std::to_string(pid)));
    default:
      return std::unexpected(corrupt());
  }
}

}  // namespace kelm::serialization
