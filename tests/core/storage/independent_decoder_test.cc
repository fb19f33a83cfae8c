// Our encoders checked by independent decoders (python3-msgpack and Python's
// json module), and our decoders checked against our encoders on random
// records and on damaged input.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "random_records.h"
#include "storage/node.h"
#include "storage/versioned.h"
#include "wal/wal_record.h"

namespace zudizid {
namespace {

namespace mp = common::msgpack;
namespace js = common::json;
using testing_util::RandomRecords;

// ---- descriptions of what an independent decoder must produce

std::string hex_of(const void* data, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  auto p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

js::Value tagged(const char* tag, js::Value v) {
  js::Value o = js::Value::object();
  o.set(tag, std::move(v));
  return o;
}
js::Value text(std::string_view s) { return tagged("s", hex_of(s.data(), s.size())); }
js::Value bin(const Uuid& id) { return tagged("b", hex_of(id.bytes().data(), 16)); }
js::Value f64(double d) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  uint8_t be[8];
  for (int k = 0; k < 8; ++k) be[k] = static_cast<uint8_t>(bits >> (56 - 8 * k));
  return tagged("f", hex_of(be, 8));
}
js::Value f32(float f) {
  uint32_t bits = std::bit_cast<uint32_t>(f);
  uint8_t be[4];
  for (int k = 0; k < 4; ++k) be[k] = static_cast<uint8_t>(bits >> (24 - 8 * k));
  return tagged("f32", hex_of(be, 4));
}
js::Value arr(js::Value::Array items) { return tagged("a", js::Value(std::move(items))); }
js::Value map(std::vector<std::pair<js::Value, js::Value>> entries) {
  js::Value::Array a;
  for (auto& [k, v] : entries) a.push_back(js::Value(js::Value::Array{std::move(k), std::move(v)}));
  return tagged("m", js::Value(std::move(a)));
}
js::Value opt(const std::optional<uint64_t>& v) { return v ? js::Value(*v) : js::Value(); }

// What a PropertyValue's MessagePack form decodes to (json_form: its JSON form).
js::Value describe_value(const PropertyValue& v, bool json_form) {
  using K = PropertyValue::Kind;
  switch (v.kind()) {
    case K::Null: return js::Value();
    case K::Bool: return js::Value(v.as_bool());
    case K::Int: return js::Value(v.as_int());
    case K::Float:
      if (json_form && !std::isfinite(v.as_float())) return js::Value();
      return f64(v.as_float());
    case K::String: return text(v.as_string());
    case K::Bytes: {
      js::Value::Array a;
      for (uint8_t b : v.as_bytes()) a.push_back(js::Value(unsigned{b}));
      return arr(std::move(a));
    }
    case K::Object: {
      js::Value::Array a;
      for (const auto& [name, e] : v.as_object()) a.push_back(arr({text(name), describe_value(e, json_form)}));
      return arr(std::move(a));
    }
    case K::List: {
      js::Value::Array a;
      for (const auto& e : v.as_list()) a.push_back(describe_value(e, json_form));
      return arr(std::move(a));
    }
  }
  return js::Value();
}

js::Value describe_props(const PropertyMap& m, bool json_form) {
  std::vector<std::pair<js::Value, js::Value>> entries;
  for (const auto& [name, v] : m) entries.emplace_back(text(name), describe_value(v, json_form));
  return map(std::move(entries));
}

js::Value describe(const Node& n) {
  return arr({bin(n.id), text(n.label), describe_props(n.properties, false), text(node_kind_name(n.kind))});
}
js::Value describe(const Edge& e) {
  return arr({bin(e.id), bin(e.source), bin(e.target), text(e.edge_type), describe_props(e.properties, false)});
}
js::Value describe_vector(const std::vector<float>& v) {
  js::Value::Array a;
  for (float f : v) a.push_back(f32(f));
  return arr(std::move(a));
}

// JSON forms.
js::Value id_text(const Uuid& id) { return text(id.to_string()); }
js::Value json_node(const Node& n) {
  return map({{text("id"), id_text(n.id)},
              {text("label"), text(n.label)},
              {text("properties"), describe_props(n.properties, true)},
              {text("kind"), text(node_kind_name(n.kind))}});
}
js::Value json_edge(const Edge& e) {
  return map({{text("id"), id_text(e.id)},
              {text("source"), id_text(e.source)},
              {text("target"), id_text(e.target)},
              {text("edge_type"), text(e.edge_type)},
              {text("properties"), describe_props(e.properties, true)}});
}

js::Value describe_wal(const wal::WalRecord& rec) {
  using namespace wal;
  std::vector<std::pair<js::Value, js::Value>> f;
  auto field = [&](const char* name, js::Value v) { f.emplace_back(text(name), std::move(v)); };
  if (auto* r = rec.get_if<Begin>()) field("tx_id", r->tx_id), field("timestamp", r->timestamp);
  if (auto* r = rec.get_if<InsertNode>()) field("tx_id", r->tx_id), field("node", json_node(r->node));
  if (auto* r = rec.get_if<UpdateNode>()) {
    field("tx_id", r->tx_id);
    field("node_id", id_text(r->node_id));
    field("old_node", json_node(r->old_node));
    field("new_node", json_node(r->new_node));
  }
  if (auto* r = rec.get_if<DeleteNode>())
    field("tx_id", r->tx_id), field("node_id", id_text(r->node_id)), field("node", json_node(r->node));
  if (auto* r = rec.get_if<InsertEdge>()) field("tx_id", r->tx_id), field("edge", json_edge(r->edge));
  if (auto* r = rec.get_if<DeleteEdge>())
    field("tx_id", r->tx_id), field("edge_id", id_text(r->edge_id)), field("edge", json_edge(r->edge));
  if (auto* r = rec.get_if<Commit>()) field("tx_id", r->tx_id), field("timestamp", r->timestamp);
  if (auto* r = rec.get_if<Abort>()) field("tx_id", r->tx_id);
  if (auto* r = rec.get_if<Checkpoint>()) {
    field("timestamp", r->timestamp);
    js::Value::Array a;
    for (uint64_t t : r->active_transactions) a.push_back(js::Value(t));
    field("active_transactions", arr(std::move(a)));
  }
  return map({{text(rec.name()), map(std::move(f))}});
}

TEST(IndependentDecoders, PythonReadsWhatWeWrite) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("zudizid-indep-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream blob(dir / "records.msgpack", std::ios::binary);
  std::ofstream expect(dir / "records.expect");
  RandomRecords gen(20261211);

  auto emit = [&](const std::vector<uint8_t>& bytes, const js::Value& description) {
    uint8_t len[4] = {static_cast<uint8_t>(bytes.size() >> 24), static_cast<uint8_t>(bytes.size() >> 16),
                      static_cast<uint8_t>(bytes.size() >> 8), static_cast<uint8_t>(bytes.size())};
    blob.write(reinterpret_cast<const char*>(len), 4);
    blob.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    expect << js::to_string(description) << '\n';
  };

  for (int i = 0; i < 10000; ++i) {
    // A property map on its own, then one record of each kind in turn.
    PropertyMap props = gen.properties();
    std::vector<uint8_t> bytes;
    mp::Writer w(bytes);
    write_properties_msgpack(props, w);
    emit(bytes, describe_props(props, false));
    switch (i % 5) {
      case 0: {
        Node n = gen.node();
        emit(*n.to_msgpack(), describe(n));
        Edge e = gen.edge();
        emit(*e.to_msgpack(), describe(e));
        break;
      }
      case 1: {
        VersionedNode v = gen.versioned_node();
        emit(*v.to_msgpack(), arr({bin(v.id), js::Value(v.version), js::Value(v.timestamp), describe(v.node_data),
                                   opt(v.prev_version), js::Value(v.valid_from), opt(v.valid_to)}));
        break;
      }
      case 2: {
        VersionedEdge v = gen.versioned_edge();
        emit(*v.to_msgpack(), arr({bin(v.id), js::Value(v.version), js::Value(v.timestamp), describe(v.edge_data),
                                   js::Value(v.valid_from), opt(v.valid_to), opt(v.prev_version)}));
        break;
      }
      case 3: {
        Embedding e = gen.embedding();
        emit(*e.to_msgpack(), arr({bin(e.node_id), describe_vector(e.vector), text(e.model), js::Value(unsigned{e.version})}));
        break;
      }
      default: {
        PathReferenceEmbedding p = gen.path_reference();
        emit(*p.to_msgpack(), arr({text(p.name), text(p.node_model), text(p.edge_model), describe_vector(p.vector),
                                   js::Value(p.created_at)}));
      }
    }
  }
  blob.close();
  expect.close();

  std::ofstream wal(dir / "wal.jsonl", std::ios::binary);
  std::ofstream wal_expect(dir / "wal.expect");
  for (int i = 0; i < 10000; ++i) {
    wal::WalRecord rec = gen.wal_record();
    wal << rec.to_json() << '\n';
    wal_expect << js::to_string(describe_wal(rec)) << '\n';
  }
  wal.close();
  wal_expect.close();

  const std::string cmd = "/usr/bin/python3 " ZUDIZID_TEST_SOURCE_DIR "/independent_decode.py " + dir.string();
  int status = std::system(cmd.c_str());
  EXPECT_EQ(status, 0) << cmd;
  if (status == 0) fs::remove_all(dir);
}

// Our decoders read back what our encoders wrote: re-encoding the decoded
// value gives the same bytes (the lossy forms coincide by construction).
TEST(OwnDecoders, ReencodingIsStable) {
  RandomRecords gen(99);
  for (int i = 0; i < 5000; ++i) {
    PropertyValue v = gen.value();
    std::vector<uint8_t> first;
    mp::Writer w(first);
    v.to_msgpack(w);
    mp::Reader r(first);
    auto decoded = PropertyValue::from_msgpack(*r.read_value());
    ASSERT_TRUE(decoded) << v.debug_string();
    std::vector<uint8_t> second;
    mp::Writer w2(second);
    decoded->to_msgpack(w2);
    ASSERT_EQ(first, second) << v.debug_string();

    std::string j1, j2;
    v.to_json(j1);
    auto parsed = js::parse(j1);
    ASSERT_TRUE(parsed) << j1;
    auto back = PropertyValue::from_json(*parsed);
    ASSERT_TRUE(back) << j1;
    back->to_json(j2);
    ASSERT_EQ(j1, j2);
  }
  for (int i = 0; i < 2000; ++i) {
    VersionedNode vn = gen.versioned_node();
    auto bytes = vn.to_msgpack();
    ASSERT_TRUE(bytes);
    auto back = VersionedNode::from_msgpack(*bytes);
    ASSERT_TRUE(back) << back.error().display();
    // Equal up to the lossy value forms: compare re-encoded property values.
    EXPECT_EQ(back->id, vn.id);
    EXPECT_EQ(back->prev_version, vn.prev_version);
    EXPECT_EQ(back->valid_to, vn.valid_to);
    EXPECT_EQ(back->node_data.properties.size(), vn.node_data.properties.size());
    wal::WalRecord rec = gen.wal_record();
    // Decoded records are in canonical form (no NaN, no List of bytes), so a
    // second round trip must reproduce them exactly.
    auto wal_back = wal::WalRecord::from_json(rec.to_json());
    ASSERT_TRUE(wal_back) << rec.to_json() << ": " << wal_back.error().to_string();
    auto again = wal::WalRecord::from_json(wal_back->to_json());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *wal_back);
  }
}

// Damaged input: every prefix and random byte flips of valid records give a
// value or an error, never a crash (the sanitizer build watches this).
TEST(OwnDecoders, DamagedInputIsAnErrorNotACrash) {
  RandomRecords gen(7);
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) {
    auto bytes = *gen.versioned_node().to_msgpack();
    std::string json = gen.wal_record().to_json();
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 40) {
      std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut));
      EXPECT_FALSE(VersionedNode::from_msgpack(prefix));
    }
    for (size_t cut = 0; cut < json.size(); cut += 1 + json.size() / 40)
      EXPECT_FALSE(wal::WalRecord::from_json(std::string_view(json).substr(0, cut)));
    for (int k = 0; k < 20; ++k) {
      auto damaged = bytes;
      damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
      (void)VersionedNode::from_msgpack(damaged);
      (void)Embedding::from_msgpack(damaged);
      std::string jd = json;
      jd[rng() % jd.size()] = static_cast<char>(rng());
      (void)wal::WalRecord::from_json(jd);
    }
  }
}

}  // namespace
}  // namespace zudizid
