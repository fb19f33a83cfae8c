#include "index/index_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "common/log.h"
#include "fixtures.h"
#include "index/metadata_file.h"
#include "tests/support/bytes.h"
#include "tests/support/python.h"

namespace zudizid::index {
namespace {

using namespace zudizid::testing;
using Ids = std::vector<Uuid>;
namespace fs = std::filesystem;

// Person 1 and 2 carry age, Person 3 does not; Doc 4 has a title; Concept
// 10 <- 11 <- 12 are linked by subClassOf edges (source below target).
FakeSource graph() {
  FakeSource s;
  s.nodes = {node(1, "Person", {{"age", Int(30)}}), node(2, "Person", {{"age", Int(41)}}),
             node(3, "Person"), node(4, "Doc", {{"title", Str("x")}}),
             node(10, "Concept"), node(11, "Concept"), node(12, "Concept")};
  s.edges = {edge(100, 11, 10, "subClassOf"), edge(101, 12, 11, "subClassOf"),
             edge(102, 1, 2, "knows")};
  return s;
}

bool logged(const log::ScopedCapture& cap, log::Level level, const std::string& text) {
  auto records = cap.records();
  return std::any_of(records.begin(), records.end(), [&](const log::Record& r) {
    return r.level == level && r.message == text;
  });
}

ino_t inode(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Files built with Python's struct; "expect" is the rewritten file, or "-"
// when the file must stay as it was.
constexpr const char* kLoadScript = R"PY(
import struct
def s(t):
    b = t.encode()
    return struct.pack('<Q', len(b)) + b
def e(name, label, prop, tag, secs, size):
    return s(name) + s(label) + s(prop) + struct.pack('<IqQ', tag, secs, size)
def f(*es): return struct.pack('<Q', len(es)) + b''.join(es)
age = e('Person_age', 'Person', 'age', 0, 1700000000, 2)
tax = e('Concept_subClassOf', 'Concept', 'subClassOf', 3, 1700000000, 3)
doc = e('Doc_title', 'Doc', 'title', 1, 1700000000, 1)
age_bt = e('Person_age', 'Person', 'age', 1, 1700000001, 2)
cases = [
  ('valid', f(age, tax), None),
  ('stale_size', f(e('Person_age', 'Person', 'age', 0, 1700000000, 0)), f(age)),
  ('blank', f(e('Person_  ', 'Person', '  ', 0, 5, 0), doc), f(doc)),
  ('dup', f(age, age_bt), f(age_bt)),
  ('dup_rev', f(age_bt, age), f(age_bt)),
  ('only_blank', f(e('x_y', '\u3000', 'y', 0, 5, 0)), f()),
  ('zero', f(), None),
  ('tag4', f(e('Person_age', 'Person', 'age', 4, 0, 0)), None),
  ('truncated', f(age)[:-3], None),
  ('secs', f(e('Person_age', 'Person', 'age', 0, -2**63, 0)), None),
]
for name, data, expect in cases:
    print(name, data.hex(), expect.hex() if expect is not None else '-')
)PY";

TEST(IndexManagerLoad, RepairsRebuildsAndRewritesOnlyWhenNeeded) {
  bool ok = false;
  std::istringstream in(run_python(kLoadScript, "", &ok));
  ASSERT_TRUE(ok);
  struct Expect {
    std::string error;       // empty: load succeeds
    std::vector<std::string> names;  // registered indexes afterwards
    std::vector<std::pair<log::Level, std::string>> logs;
  };
  const std::map<std::string, Expect> expect = {
      {"valid", {"", {"Concept_subClassOf", "Person_age"},
                 {{log::Level::Info, "Rebuilt index Person_age with 2 entries"},
                  {log::Level::Info, "Rebuilt taxonomy index Concept_subClassOf (label=Concept, edge_type=subClassOf)"}}}},
      {"stale_size", {"", {"Person_age"}, {{log::Level::Info, "Persisting repaired index metadata"}}}},
      {"blank", {"", {"Doc_title"},
                 {{log::Level::Warn, "Skipping malformed index metadata entry: IndexMetadata { name: \"Person_  \", "
                                     "label: \"Person\", property: \"  \", index_type: Hash, created_at: "
                                     "1970-01-01T00:00:05Z, size: 0 }"}}}},
      {"dup", {"", {"Person_age"}, {}}},
      {"dup_rev", {"", {"Person_age"}, {}}},
      {"only_blank", {"", {}, {{log::Level::Warn, "No valid index metadata entries after repair"}}}},
      {"zero", {"", {}, {{log::Level::Warn, "No valid index metadata entries after repair"}}}},
      {"tag4", {"Serialization error: Failed to deserialize metadata: invalid value: integer `4`, "
                "expected variant index 0 <= i < 4", {}, {}}},
      {"truncated", {"Serialization error: Failed to deserialize metadata: unexpected end of input at byte 63",
                     {}, {}}},
      {"secs", {"Serialization error: Failed to deserialize metadata: value is not a legal timestamp: "
                "-9223372036854775808", {}, {}}},
  };
  std::string name, data_hex, expect_hex;
  int seen = 0;
  while (in >> name >> data_hex >> expect_hex) {
    SCOPED_TRACE(name);
    ++seen;
    const Expect& want = expect.at(name);
    TempDir dir;
    const fs::path file = dir.path() / "metadata.bin";
    write_file(file, unhex_string(data_hex));
    const ino_t before = inode(file);

    log::ScopedCapture cap;
    IndexManager manager(dir.path());
    FakeSource source = graph();
    auto r = manager.load_metadata(source);
    if (want.error.empty()) {
      ASSERT_TRUE(r.has_value()) << r.error().display();
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), want.error);
      EXPECT_TRUE(logged(cap, log::Level::Error, "Failed to load index metadata: " + want.error));
    }
    EXPECT_TRUE(logged(cap, log::Level::Info, "Loading index metadata from " + file.string()));
    for (const auto& [level, text] : want.logs) EXPECT_TRUE(logged(cap, level, text)) << text;

    std::vector<std::string> names;
    for (const auto& m : manager.list()) names.push_back(m.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, want.names);

    if (expect_hex == "-") {
      EXPECT_EQ(read_file(file), unhex_string(data_hex));
      EXPECT_EQ(inode(file), before) << "file was rewritten";
    } else {
      EXPECT_EQ(read_file(file), unhex_string(expect_hex));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "metadata.bin.tmp"));
  }
  EXPECT_EQ(seen, int(expect.size()));
}

TEST(IndexManagerLoad, RebuiltIndexesAnswerQueries) {
  TempDir dir;
  FakeSource source = graph();
  {
    IndexManager first(dir.path());
    ASSERT_TRUE(first.load_metadata(source));
    ASSERT_TRUE(first.create_index(source, "Person", "age", IndexType::BTree));
    ASSERT_TRUE(first.create_index(source, "Concept", "subClassOf", IndexType::Taxonomy));
  }
  IndexManager manager(dir.path());
  ASSERT_TRUE(manager.load_metadata(source));
  auto older = manager.get("Person_age", {IndexQuery::LessThan{Float(40.5)}});
  ASSERT_TRUE(older.has_value());
  EXPECT_EQ(*older, Ids{id(1)});
  auto concept_ids = manager.get("Concept_subClassOf", {IndexQuery::Equals{Str("Concept")}});
  ASSERT_TRUE(concept_ids.has_value());
  EXPECT_EQ(concept_ids->size(), 1u);
  auto tax = manager.get_taxonomy();
  ASSERT_NE(tax, nullptr);
  EXPECT_EQ(tax->all_subclasses(id(10)).size(), 2u);
  auto missing = manager.get("Person_name", {IndexQuery::Equals{Str("x")}});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "Index error: Index not found: Person_name");
}

TEST(IndexManagerLoad, ScanFailureLeavesRegistryEmptyAndMissingFileIsFine) {
  TempDir dir;
  FakeSource source = graph();
  {
    IndexManager first(dir.path());
    ASSERT_TRUE(first.load_metadata(source));  // no file: nothing happens
    EXPECT_FALSE(fs::exists(dir.path() / "metadata.bin"));
    ASSERT_TRUE(first.create_index(source, "Person", "age", IndexType::Hash));
  }
  source.fail_nodes = DbError::message("disk on fire");
  IndexManager manager(dir.path());
  auto r = manager.load_metadata(source);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "disk on fire");
  EXPECT_TRUE(manager.list().empty());
  EXPECT_EQ(manager.find_by_label_property("Person", "age"), std::nullopt);

  // A list that exists but cannot be read fails the open too.
  TempDir other;
  fs::create_directory(other.path() / "metadata.bin");
  IndexManager unreadable(other.path());
  auto read = unreadable.load_metadata(source);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().display(), "Failed to read metadata: Is a directory (os error 21)");
}

TEST(IndexManagerCreate, NamesDuplicatesAndPersistedSizes) {
  TempDir dir;
  FakeSource source = graph();
  IndexManager manager(dir.path());
  ASSERT_TRUE(manager.load_metadata(source));
  log::ScopedCapture cap;
  auto name = manager.create_index(source, "Person", "age", IndexType::Hash);
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, "Person_age");
  for (auto type : {IndexType::Hash, IndexType::BTree, IndexType::Taxonomy}) {
    auto again = manager.create_index(source, "Person", "age", type);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().display(), "Index error: Index Person_age already exists");
  }
  EXPECT_TRUE(logged(cap, log::Level::Info, "Creating index on Person.age"));
  EXPECT_TRUE(logged(cap, log::Level::Info, "Created Hash index: Person_age"));
  EXPECT_TRUE(logged(cap, log::Level::Info, "✅ Indexed 2 nodes in Person_age"));
  auto found = manager.get("Person_age", {IndexQuery::Equals{Int(41)}});
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, Ids{id(2)});

  // The file was saved before the fill: size 0 there, 2 in memory; the next
  // open corrects it.
  auto on_disk = decode_metadata(read_file(dir.path() / "metadata.bin"));
  ASSERT_TRUE(on_disk.has_value());
  ASSERT_EQ(on_disk->size(), 1u);
  EXPECT_EQ((*on_disk)[0].size, 0u);
  EXPECT_EQ(manager.list().at(0).size, 2u);
  EXPECT_EQ(manager.list().at(0).created_at.seconds, (*on_disk)[0].created_at.seconds);

  ASSERT_TRUE(manager.create_index(source, "Nobody", "x", IndexType::BTree));
  EXPECT_TRUE(logged(cap, log::Level::Info, "✅ Indexed 0 nodes in Nobody_x"));
  ASSERT_TRUE(manager.create_index(source, "Concept", "subClassOf", IndexType::Taxonomy));
  EXPECT_TRUE(logged(cap, log::Level::Info, "✅ Taxonomy index Concept_subClassOf: 3 nodes, 2 edges"));

  IndexManager reopened(dir.path());
  ASSERT_TRUE(reopened.load_metadata(source));
  EXPECT_TRUE(logged(cap, log::Level::Info, "Rebuilt index Person_age with 2 entries"));
  auto rewritten = decode_metadata(read_file(dir.path() / "metadata.bin"));
  ASSERT_TRUE(rewritten.has_value());
  ASSERT_EQ(rewritten->size(), 3u);
  for (const auto& m : *rewritten) {
    EXPECT_EQ(m.size, m.name == "Person_age" ? 2u : m.name == "Concept_subClassOf" ? 3u : 0u);
  }
}

TEST(IndexManagerCreate, LabelPropertyPairsNotJoinedNames) {
  FakeSource source;
  source.nodes = {node(1, "a_b", {{"c", Int(1)}}), node(2, "a", {{"b_c", Int(1)}})};
  IndexManager manager(std::nullopt);
  ASSERT_TRUE(manager.create_index(source, "a_b", "c", IndexType::Hash));
  EXPECT_EQ(manager.find_by_label_property("a_b", "c"), "a_b_c");
  EXPECT_EQ(manager.find_by_label_property("a", "b_c"), std::nullopt);
  auto clash = manager.create_index(source, "a", "b_c", IndexType::Hash);
  ASSERT_FALSE(clash.has_value());
  EXPECT_EQ(clash.error().display(), "Index error: Index a_b_c already exists");

  taxonomy::TaxonomyIndex t;
  t.register_class(id(7), "Animal");
  manager.register_taxonomy(t);
  EXPECT_EQ(manager.find_by_label_property("", "taxonomy"), "_taxonomy");
  auto animal = manager.get("_taxonomy", {IndexQuery::Equals{Str("Animal")}});
  ASSERT_TRUE(animal.has_value());
  EXPECT_EQ(*animal, Ids{id(7)});
  EXPECT_EQ(manager.list().size(), 1u);  // "_taxonomy" has no record

  ASSERT_TRUE(manager.drop_index("_taxonomy"));
  EXPECT_EQ(manager.get_taxonomy(), nullptr);
}

// The load drops entries with a blank field, so creation refuses them.
TEST(IndexManagerCreate, BlankLabelOrPropertyIsRefused) {
  FakeSource source = graph();
  IndexManager manager(std::nullopt);
  const std::pair<std::string, std::string> cases[] = {{"", ""}, {"", "age"}, {" \t", "age"}, {"Person", "\u3000"}};
  for (const auto& [label, property] : cases) {
    auto made = manager.create_index(source, label, property, IndexType::Hash);
    ASSERT_FALSE(made.has_value()) << label << "_" << property;
    EXPECT_EQ(made.error().kind(), DbError::Kind::Index);
  }
  EXPECT_EQ(manager.create_index(source, "", "age", IndexType::Hash).error().display(),
            "Index error: Index label must not be empty or whitespace only");
  EXPECT_EQ(manager.create_index(source, "Person", "", IndexType::Hash).error().display(),
            "Index error: Index property must not be empty or whitespace only");
  EXPECT_TRUE(manager.list().empty());
}

TEST(IndexManagerCreate, FailedSaveOrFillLeavesNothingRegistered) {
  TempDir dir;
  const fs::path idx = dir.path() / "indexes";
  FakeSource source = graph();
  IndexManager manager(idx);
  ASSERT_TRUE(manager.create_index(source, "Doc", "title", IndexType::Hash));

  // A fill that fails: unregistered, and taken out of the file again.
  source.fail_nodes = DbError::message("scan failed");
  auto failed = manager.create_index(source, "Person", "age", IndexType::Hash);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "scan failed");
  EXPECT_EQ(manager.find_by_label_property("Person", "age"), std::nullopt);
  EXPECT_EQ(manager.list().size(), 1u);
  auto listed = decode_metadata(read_file(idx / "metadata.bin"));
  ASSERT_TRUE(listed.has_value());
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].name, "Doc_title");

  // A save that fails: the directory is gone and a file sits in its place.
  source.fail_nodes.reset();
  fs::remove_all(idx);
  write_file(idx, "not a directory");
  auto unsaved = manager.create_index(source, "Person", "age", IndexType::BTree);
  ASSERT_FALSE(unsaved.has_value());
  EXPECT_EQ(unsaved.error().display(), "Failed to write metadata: Not a directory (os error 20)");
  EXPECT_EQ(manager.find_by_label_property("Person", "age"), std::nullopt);
  EXPECT_EQ(manager.list().size(), 1u);
  // The same failure on drop: gone from memory, error returned.
  auto dropped = manager.drop_index("Doc_title");
  ASSERT_FALSE(dropped.has_value());
  EXPECT_TRUE(manager.list().empty());
}

TEST(IndexManagerCreate, DropAndInMemory) {
  TempDir dir;
  FakeSource source = graph();
  {
    IndexManager manager(dir.path());
    log::ScopedCapture cap;
    ASSERT_TRUE(manager.drop_index("never_created"));
    EXPECT_TRUE(logged(cap, log::Level::Info, "Dropped index: never_created"));
    EXPECT_EQ(read_file(dir.path() / "metadata.bin"), std::string(8, '\0'));
    ASSERT_TRUE(manager.create_index(source, "Person", "age", IndexType::Hash));
    ASSERT_TRUE(manager.drop_index("Person_age"));
    EXPECT_FALSE(manager.get("Person_age", {IndexQuery::Equals{Int(30)}}).has_value());
  }
  IndexManager reopened(dir.path());
  ASSERT_TRUE(reopened.load_metadata(source));
  EXPECT_TRUE(reopened.list().empty());

  // In memory: no directory, no file, indexes still work.
  IndexManager memory(std::nullopt);
  ASSERT_TRUE(memory.load_metadata(source));
  ASSERT_TRUE(memory.create_index(source, "Person", "age", IndexType::Hash));
  ASSERT_TRUE(memory.index_node("Person_age", Int(30), id(9)));
  ASSERT_TRUE(memory.index_node("not_there", Int(30), id(9)));
  auto r = memory.get("Person_age", {IndexQuery::Equals{Int(30)}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Ids{id(1), id(9)}));
  EXPECT_EQ(memory.list().at(0).size, 3u);
  ASSERT_TRUE(memory.drop_index("Person_age"));
}

}  // namespace
}  // namespace zudizid::index
