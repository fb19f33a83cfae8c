// Stored bytes and key texts of the storage layer, and its node, edge and
// property-index operations over a temporary key-value engine.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "storage/storage.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"
#include "storage/write_set.h"
#include "tests/support/bytes.h"

namespace zudizid::storage {
namespace {

using testing::hex;
using testing::unhex;

Uuid id(int n) {
  Uuid::Bytes b{};
  b[0] = 0x5e;
  b[15] = static_cast<uint8_t>(n);
  return Uuid(b);
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

TEST(StorageLists, EncodedBytes) {
  struct Case {
    std::vector<uint64_t> versions;
    std::string bytes;
  } cases[] = {
      {{}, "90"},
      {{3, 2, 1}, "93 03 02 01"},
      {{300, 1}, "92 cd 01 2c 01"},
      {{70000, 255, 128}, "93 ce 00 01 11 70 cc ff cc 80"},
      {{1ull << 40}, "91 cf 00 00 01 00 00 00 00 00"},
  };
  for (const Case& c : cases) {
    auto encoded = records::encode_version_list(c.versions);
    EXPECT_EQ(hex(encoded), c.bytes);
    auto decoded = records::decode_version_list(encoded);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(*decoded, c.versions);
  }
  std::vector<uint64_t> sixteen(16, 1);
  EXPECT_EQ(hex(records::encode_version_list(sixteen)).substr(0, 8), "dc 00 10");

  const Uuid seven = id(7);
  std::vector<Uuid> one{seven};
  EXPECT_EQ(hex(records::encode_id_list(one)), "91 c4 10 " + hex({seven.bytes().begin(), seven.bytes().end()}));
  EXPECT_EQ(hex(records::encode_id_list({})), "90");
  EXPECT_EQ(hex(records::encode_counter(5)), "00 00 00 00 00 00 00 05");
  EXPECT_EQ(hex(records::encode_current_version(5)), "05 00 00 00 00 00 00 00");
  EXPECT_EQ(records::read_counter(unhex("00 00 01 00")), 256u);
  EXPECT_EQ(records::read_counter(unhex("00 00 00 00 00 00 00 07 ff")), 7u);
  EXPECT_FALSE(records::read_current_version(unhex("05 00 00 00 00 00 00")));
}

TEST(StorageLists, DecodeFailures) {
  struct Case {
    std::string bytes;
    bool ids;
  } cases[] = {
      {"80", false},               // a map
      {"c0", true},                // nil
      {"dd ff ff ff ff 01", false},  // claims 4 billion entries, holds one
      {"91 a1 78", false},          // a string element
      {"91 c4 03 01 02 03", true},  // a 3-byte id
  };
  for (const Case& c : cases) {
    auto bytes = unhex(c.bytes);
    std::string error = c.ids ? records::decode_id_list(bytes).error().display()
                              : records::decode_version_list(bytes).error().display();
    EXPECT_TRUE(error.starts_with("Serialization error: MessagePack deserialize error: ")) << c.bytes << ": " << error;
  }
  // A signed form holding a non-negative value is accepted; bytes after the
  // array are ignored.
  EXPECT_EQ(*records::decode_version_list(unhex("92 d0 05 01 ff")), (std::vector<uint64_t>{5, 1}));
}

TEST(StorageKeys, Texts) {
  const Uuid n = id(1);
  const std::string t = n.to_string();
  EXPECT_EQ(keys::node(n), "node:" + t);
  EXPECT_EQ(keys::node_version(n, 12), "node:" + t + ":v12");
  EXPECT_EQ(keys::node_current(n), "node:" + t + ":current");
  EXPECT_EQ(keys::node_versions(n), "node:" + t + ":versions");
  EXPECT_EQ(keys::timestamp(18446744073709551615ull), "ts:18446744073709551615");
  EXPECT_EQ(keys::in_adjacency(n), "idx:in:" + t);
  EXPECT_EQ(keys::out_adjacency(n), "idx:out:" + t);
  EXPECT_EQ(keys::edge_version(n, 1), t + ":v00000000000000000001");
  EXPECT_EQ(keys::node_embedding(n, "m"), t + ":m");
  EXPECT_EQ(keys::edge_embedding(n, "m"), "e:" + t + ":m");
  EXPECT_EQ(*keys::path_reference("r", "m", "e"), std::string("r\0m\0e", 5));
  // NUL inside a name would let ("a\0b", "c", "d") and ("a", "b", "c\0d") share a key.
  EXPECT_FALSE(keys::path_reference(std::string("a\0b", 3), "c", "d"));
  EXPECT_FALSE(keys::path_reference("a", "b", std::string("c\0d", 3)));
}

TEST(StorageKeys, PropertyValueTexts) {
  struct Case {
    PropertyValue value;
    std::optional<std::string> text;
  } cases[] = {
      {PropertyValue::integer(42), "42"},
      {PropertyValue::float64(42.0), "42"},
      {PropertyValue::integer(-7), "-7"},
      {PropertyValue::float64(1e21), "1000000000000000000000"},
      {PropertyValue::float64(1e-7), "0.0000001"},
      {PropertyValue::float64(0.1), "0.1"},
      {PropertyValue::float64(-0.0), "-0"},
      {PropertyValue::float64(std::nan("")), "NaN"},
      {PropertyValue::float64(INFINITY), "inf"},
      {PropertyValue::float64(-INFINITY), "-inf"},
      {PropertyValue::boolean(true), "true"},
      {PropertyValue::null(), "null"},
      {PropertyValue::string("b:c"), "b:c"},
      {PropertyValue::bytes({1}), std::nullopt},
      {PropertyValue::list({}), std::nullopt},
      {PropertyValue::object({}), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(keys::value_text(c.value), c.text) << c.value.debug_string();
  EXPECT_EQ(*keys::property_index("age", PropertyValue::integer(42)), "idx:prop:age:42");
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = kelm::config::Config().temporary(true).flush_every_ms(std::nullopt).open();
    ASSERT_TRUE(db) << db.error().display();
    storage_.emplace(std::move(*db));
  }

  std::string raw(std::string_view key) {
    auto v = storage_->db().get(key);
    EXPECT_TRUE(v);
    return (v && *v) ? hex({(*v)->data(), (*v)->data() + (*v)->size()}) : "absent";
  }
  void put_raw(std::string_view key, std::string_view hex_value) {
    auto b = unhex(hex_value);
    ASSERT_TRUE(storage_->db().insert(key, std::string_view(reinterpret_cast<const char*>(b.data()), b.size())));
  }

  static Node node(int n, PropertyMap props = {}) { return Node{id(n), "L", std::move(props), NodeKind::Individual}; }
  static VersionedNode version(int n, uint64_t v, uint64_t from, std::optional<uint64_t> to = std::nullopt) {
    return VersionedNode{id(n), v, from, node(n), std::nullopt, from, to};
  }

  std::optional<Storage> storage_;
};

TEST_F(StorageTest, CommitNodeVersionLists) {
  for (uint64_t v : {1, 3, 2}) ASSERT_TRUE(storage_->commit_node_version(node(1), version(1, v, 10), nullptr));
  EXPECT_EQ(raw(keys::node_versions(id(1))), "93 03 02 01");
  EXPECT_EQ(raw(keys::node_current(id(1))), "02 00 00 00 00 00 00 00");
  // The same version again leaves the list byte for byte; the node is listed once at t=10.
  ASSERT_TRUE(storage_->commit_node_version(node(1), version(1, 3, 10), nullptr));
  EXPECT_EQ(raw(keys::node_versions(id(1))), "93 03 02 01");
  ASSERT_TRUE(storage_->commit_node_version(node(2), version(2, 1, 10), nullptr));
  EXPECT_EQ(*records::decode_id_list(unhex(raw(keys::timestamp(10)))), (std::vector<Uuid>{id(1), id(2)}));
  EXPECT_EQ(raw(keys::kNextTimestamp), "00 00 00 00 00 00 00 0b");

  ASSERT_TRUE(storage_->commit_node_version(node(3), version(3, 1, UINT64_MAX), nullptr));
  EXPECT_EQ(raw(keys::kNextTimestamp), "ff ff ff ff ff ff ff ff");
}

TEST_F(StorageTest, CountersNeverDecrease) {
  put_raw("meta:next_tx_id", "00 00 01 00");
  ASSERT_TRUE(storage_->store_counter_max("meta:next_tx_id", 255));
  EXPECT_EQ(raw("meta:next_tx_id"), "00 00 00 00 00 00 01 00");
  ASSERT_TRUE(storage_->store_counter_max("meta:next_tx_id", 257));
  EXPECT_EQ(*Storage::get_counter(storage_->db(), "meta:next_tx_id"), 257u);
  EXPECT_FALSE(*Storage::get_counter(storage_->db(), "meta:absent"));
}

TEST_F(StorageTest, VersionLookups) {
  // v1 valid [10, 20), v2 from 20 on.
  ASSERT_TRUE(storage_->commit_node_version(node(1), version(1, 1, 10), nullptr));
  auto closed = version(1, 1, 10, 20);
  ASSERT_TRUE(storage_->commit_node_version(node(1), version(1, 2, 20), &closed));
  struct Case {
    uint64_t t;
    std::string expect;  // version or error text
  } cases[] = {
      {9, "No version of node " + id(1).to_string() + " valid at timestamp 9"},
      {10, "v1"},
      {19, "v1"},
      {20, "v2"},
      {1000, "v2"},
  };
  for (const Case& c : cases) {
    auto v = storage_->get_node_version_at(id(1), c.t);
    EXPECT_EQ(v ? "v" + std::to_string(v->version) : v.error().display(), c.expect) << c.t;
  }
  EXPECT_EQ(storage_->get_node_version_at(id(9), 5).error().display(), "Node not found: " + id(9).to_string());
  put_raw(keys::node_versions(id(2)), "90");
  EXPECT_EQ(storage_->get_node_version_at(id(2), 5).error().display(),
            "No version of node " + id(2).to_string() + " valid at timestamp 5");
  put_raw(keys::node_versions(id(3)), "91 04");
  EXPECT_EQ(storage_->get_node_version_at(id(3), 5).error().display(),
            "Node not found: " + id(3).to_string() + ":v4");

  for (std::string bad : {"01 00 00 00 00 00 00", "01 00 00 00 00 00 00 00 00"}) {
    put_raw(keys::node_current(id(4)), bad);
    EXPECT_EQ(storage_->get_current_version(id(4)).error().display(), "Invalid version format");
  }
  EXPECT_EQ(storage_->get_current_version(id(5)).error().display(), "Node not found: " + id(5).to_string());
}

TEST_F(StorageTest, ScanCurrentNodesSkipsVersionKeys) {
  EXPECT_TRUE(storage_->scan_current_nodes()->empty());
  ASSERT_TRUE(storage_->commit_node_version(node(2), version(2, 1, 3), nullptr));
  ASSERT_TRUE(storage_->put_node(node(1)));
  auto nodes = storage_->scan_current_nodes();
  ASSERT_TRUE(nodes);
  ASSERT_EQ(nodes->size(), 2u);
  EXPECT_EQ((*nodes)[0].id, id(1));
  EXPECT_EQ((*nodes)[1].id, id(2));
}

TEST_F(StorageTest, PropertyIndexKeepsKindsAndNamesApart) {
  // Int 42 and Float 42.0 share "idx:prop:n:42"; a:"b:c" and "a:b":"c" share "idx:prop:a:b:c".
  ASSERT_TRUE(storage_->put_node(node(1, {{"n", PropertyValue::integer(42)}, {"a", PropertyValue::string("b:c")}})));
  ASSERT_TRUE(storage_->put_node(node(2, {{"n", PropertyValue::float64(42.0)}, {"a:b", PropertyValue::string("c")}})));
  for (const Node& n : {node(1, {{"n", PropertyValue::integer(42)}, {"a", PropertyValue::string("b:c")}}),
                        node(2, {{"n", PropertyValue::float64(42.0)}, {"a:b", PropertyValue::string("c")}})}) {
    for (const auto& [name, value] : n.properties) {
      ASSERT_TRUE(storage_->add_to_property_index(name, value, n.id));
      ASSERT_TRUE(storage_->add_to_property_index(name, value, n.id));  // listed once
    }
  }
  EXPECT_EQ(storage_->property_index_ids("n", PropertyValue::integer(42))->size(), 2u);
  EXPECT_EQ(*storage_->lookup_property_index("n", PropertyValue::integer(42)), std::vector<Uuid>{id(1)});
  EXPECT_EQ(*storage_->lookup_property_index("n", PropertyValue::float64(42.0)), std::vector<Uuid>{id(2)});
  EXPECT_EQ(*storage_->lookup_property_index("n", PropertyValue::string("42")), std::vector<Uuid>{});
  EXPECT_EQ(*storage_->lookup_property_index("a", PropertyValue::string("b:c")), std::vector<Uuid>{id(1)});
  EXPECT_EQ(*storage_->lookup_property_index("a:b", PropertyValue::string("c")), std::vector<Uuid>{id(2)});

  // Removing an unlisted node rewrites the list; removing the last deletes the key.
  ASSERT_TRUE(storage_->remove_from_property_index("n", PropertyValue::integer(42), id(9)));
  ASSERT_TRUE(storage_->remove_from_property_index("n", PropertyValue::integer(42), id(1)));
  ASSERT_TRUE(storage_->remove_from_property_index("n", PropertyValue::integer(42), id(2)));
  EXPECT_EQ(raw("idx:prop:n:42"), "absent");
  // Values without a text are neither indexed nor found.
  ASSERT_TRUE(storage_->add_to_property_index("b", PropertyValue::bytes({1}), id(1)));
  EXPECT_TRUE(storage_->lookup_property_index("b", PropertyValue::bytes({1}))->empty());

  put_raw("idx:prop:bad:1", "81 00 00");
  EXPECT_FALSE(storage_->add_to_property_index("bad", PropertyValue::integer(1), id(1)));
  EXPECT_FALSE(storage_->lookup_property_index("bad", PropertyValue::integer(1)));
}

// Many list changes staged in one WriteSet leave the bytes that applying
// each change on its own leaves.
TEST_F(StorageTest, ListsStagedTogetherMatchOneByOne) {
  const PropertyValue red = PropertyValue::string("red");
  using Step = std::function<DbResult<void>(Storage&, WriteSet&)>;
  const std::vector<Step> steps = {
      [&](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "c", red, id(1)); },
      [&](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "c", red, id(2)); },
      [&](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "c", red, id(1)); },
      [&](Storage& s, WriteSet& w) { return s.remove_from_property_index(w, "c", red, id(9)); },
      [&](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "k", red, id(3)); },
      [&](Storage& s, WriteSet& w) { return s.remove_from_property_index(w, "k", red, id(3)); },
      [&](Storage& s, WriteSet& w) { return s.remove_from_property_index(w, "gone", red, id(3)); },
      [&](Storage& s, WriteSet& w) { return s.commit_node_version(w, node(1), version(1, 1, 7), nullptr); },
      [&](Storage& s, WriteSet& w) { return s.commit_node_version(w, node(2), version(2, 1, 7), nullptr); },
      [&](Storage& s, WriteSet& w) { return s.put_out_adjacency(w, id(1), {id(20)}); },
      [&](Storage& s, WriteSet& w) { return s.put_out_adjacency(w, id(1), {id(20), id(21)}); },
      [&](Storage& s, WriteSet& w) { return s.put_in_adjacency(w, id(2), {}); },
  };
  // Forty ids on one value: past the length where membership uses a hash set.
  const std::vector<Step> many = [&] {
    std::vector<Step> all = steps;
    for (int n = 40; n < 80; ++n) {
      all.push_back([&, n](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "c", red, id(n)); });
    }
    all.push_back([&](Storage& s, WriteSet& w) { return s.remove_from_property_index(w, "c", red, id(50)); });
    all.push_back([&](Storage& s, WriteSet& w) { return s.add_to_property_index(w, "c", red, id(41)); });
    return all;
  }();

  auto dump = [](const Storage& s) {
    std::vector<std::pair<std::string, std::string>> out;
    auto it = s.db().default_tree().iter();
    while (auto kv = it.next()) {
      EXPECT_TRUE(*kv);
      const auto& [k, v] = **kv;
      out.emplace_back(std::string(k.view()), hex({v.data(), v.data() + v.size()}));
    }
    return out;
  };
  for (const std::vector<Step>* plan : {&steps, &many}) {
    auto db = kelm::config::Config().temporary(true).flush_every_ms(std::nullopt).open();
    ASSERT_TRUE(db);
    Storage one_by_one(std::move(*db));
    for (const Step& step : *plan) {
      WriteSet w(one_by_one.db());
      ASSERT_TRUE(step(one_by_one, w));
      ASSERT_TRUE(w.apply());
    }
    db = kelm::config::Config().temporary(true).flush_every_ms(std::nullopt).open();
    ASSERT_TRUE(db);
    Storage together(std::move(*db));
    WriteSet w(together.db());
    for (const Step& step : *plan) ASSERT_TRUE(step(together, w));
    // Reads through the set see the staged lists.
    auto staged = w.get("", "idx:prop:c:red");
    ASSERT_TRUE(staged && *staged);
    EXPECT_EQ(*records::decode_id_list((**staged).bytes()), *one_by_one.property_index_ids("c", red));
    EXPECT_FALSE(*w.get("", "idx:prop:k:red"));
    ASSERT_TRUE(w.apply());
    EXPECT_EQ(dump(together), dump(one_by_one));
  }

  // An undecodable list fails the change and stages nothing.
  put_raw("idx:prop:bad:1", "81 00 00");
  WriteSet w(storage_->db());
  EXPECT_FALSE(storage_->add_to_property_index(w, "bad", PropertyValue::integer(1), id(1)));
  ASSERT_TRUE(w.apply());
  EXPECT_EQ(raw("idx:prop:bad:1"), "81 00 00");
}

TEST_F(StorageTest, EdgesVersionsAndAdjacency) {
  const Edge loop{id(20), id(1), id(1), "self", {}};
  const Edge e{id(21), id(1), id(2), "to", {}};
  EXPECT_EQ(storage_->get_edge(id(20)).error().display(), "Edge not found: " + id(20).to_string());
  EXPECT_FALSE(*storage_->edge_exists(id(20)));
  EXPECT_TRUE(storage_->delete_edge(id(20)));
  ASSERT_TRUE(storage_->put_edge(loop));
  ASSERT_TRUE(storage_->put_edge(e));
  auto adj = storage_->load_adjacency();
  ASSERT_TRUE(adj);
  EXPECT_EQ(adj->outgoing[id(1)], (std::vector<Uuid>{id(20), id(21)}));
  EXPECT_EQ(adj->incoming[id(1)], (std::vector<Uuid>{id(20)}));

  ASSERT_TRUE(storage_->put_edge_version(e, 5));
  Edge changed = e;
  changed.edge_type = "again";
  ASSERT_TRUE(storage_->put_edge_version(changed, 6));
  auto versions = storage_->db().open_tree("versioned_edges");
  auto current = storage_->db().open_tree("versioned_edges_current");
  auto v1 = versions->get(keys::edge_version(e.id, 1));
  auto cur = current->get(e.id.to_string());
  ASSERT_TRUE(v1->has_value() && cur->has_value());
  EXPECT_EQ((*v1)->view(), (*cur)->view());
  EXPECT_EQ(VersionedEdge::from_msgpack((*v1)->bytes())->edge_data.edge_type, "again");

  ASSERT_TRUE(*storage_->close_edge_version(e.id, 9));
  EXPECT_FALSE(current->get(e.id.to_string())->has_value());
  EXPECT_EQ(*VersionedEdge::from_msgpack((**versions->get(keys::edge_version(e.id, 1))).bytes())->valid_to, 9u);
  EXPECT_FALSE(*storage_->close_edge_version(e.id, 10));  // nothing current any more

  ASSERT_TRUE(storage_->db().open_tree("edges")->insert(id(22).to_string(), "\x81"));
  EXPECT_TRUE(storage_->scan_edges().error().display().starts_with(
      "Serialization error: MessagePack deserialize error: "));
}

TEST_F(StorageTest, EmbeddingKeysAndPathReferences) {
  ASSERT_TRUE(storage_->put_node_embedding(Embedding{id(1), {1.0f}, "m", 1}));
  ASSERT_TRUE(storage_->put_edge_embedding(EdgeEmbedding{id(1), {2.0f}, "m", 1}));
  auto tree = storage_->db().open_tree("embeddings");
  EXPECT_TRUE(tree->get(keys::node_embedding(id(1), "m"))->has_value());
  EXPECT_TRUE(tree->get(keys::edge_embedding(id(1), "m"))->has_value());
  ASSERT_TRUE(storage_->put_path_reference_embedding(PathReferenceEmbedding{"r", "m", "e", {1.0f}, 3}));
  EXPECT_TRUE(storage_->db().open_tree("path_ref_embeddings")->get(std::string_view("r\0m\0e", 5))->has_value());
  EXPECT_FALSE(storage_->put_path_reference_embedding(PathReferenceEmbedding{std::string("r\0x", 3), "m", "e", {}, 3}));
}

}  // namespace
}  // namespace zudizid::storage
