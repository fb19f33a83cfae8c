// Random property values and records for property-style tests, with the
// boundary sizes of the MessagePack forms mixed in.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "storage/node.h"
#include "storage/versioned.h"
#include "wal/wal_record.h"

namespace zudizid::testing_util {

class RandomRecords {
 public:
  explicit RandomRecords(uint64_t seed) : rng_(seed) {}

  uint64_t below(uint64_t n) { return n ? rng_() % n : 0; }
  bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }

  int64_t integer() {
    static const int64_t kEdges[] = {0,     1,      127,    128,    255,        256,        65535,
                                     65536, -1,     -32,    -33,    -128,       -129,       -32768,
                                     -32769, 4294967295LL, 4294967296LL, -2147483648LL, -2147483649LL,
                                     INT64_MAX, INT64_MIN};
    if (chance(40)) return kEdges[below(std::size(kEdges))];
    return static_cast<int64_t>(rng_()) >> below(64);
  }

  double float64() {
    static const double kEdges[] = {0.0, -0.0, 1.0, 2.0, 0.1, 1e16, 1e-5, 5e-324, 1.7976931348623157e308};
    if (chance(30)) return kEdges[below(std::size(kEdges))];
    double d = std::bit_cast<double>(rng_());
    if (allow_non_finite_ || std::isfinite(d)) return d;
    return static_cast<double>(static_cast<int64_t>(rng_())) / 7.0;
  }

  float float32() {
    float f = std::bit_cast<float>(static_cast<uint32_t>(rng_()));
    return std::isfinite(f) ? f : 0.5f;
  }

  std::string text() {
    static const size_t kSizes[] = {0, 1, 31, 32, 255, 256};
    size_t n = chance(10) ? kSizes[below(std::size(kSizes))] : below(12);
    if (below(2000) == 0) n = 65536;  // str 32
    static const char* kPieces[] = {"a", "Z", "\"", "\\", "\n", "\t", "\x01", "\x1f", "\x7f", "/", " ",
                                    "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF"};
    std::string s;
    while (s.size() < n) s += kPieces[below(std::size(kPieces))];
    return s;
  }

  PropertyValue value(int depth = 0) {
    int kind = static_cast<int>(below(depth >= 3 ? 6 : 8));
    switch (kind) {
      case 0: return PropertyValue();
      case 1: return PropertyValue::boolean(chance(50));
      case 2: return PropertyValue::integer(integer());
      case 3: return PropertyValue::float64(float64());
      case 4: return PropertyValue::string(text());
      case 5: {
        PropertyBytes b(chance(5) ? 16 + below(300) : below(17));
        for (auto& x : b) x = static_cast<uint8_t>(rng_());
        return PropertyValue::bytes(std::move(b));
      }
      case 6: {
        PropertyObject o;
        size_t n = below(4);
        for (size_t k = 0; k < n; ++k) o.emplace_back(text(), value(depth + 1));
        return PropertyValue::object(std::move(o));
      }
      default: {
        PropertyList l;
        size_t n = chance(3) ? 16 : below(4);
        for (size_t k = 0; k < n; ++k) l.push_back(value(depth + 1));
        return PropertyValue::list(std::move(l));
      }
    }
  }

  PropertyMap properties() {
    PropertyMap m;
    size_t n = chance(3) ? 16 : below(5);
    for (size_t k = 0; k < n; ++k) m[text()] = value();
    return m;
  }

  Uuid uuid() {
    Uuid::Bytes b;
    for (auto& x : b) x = static_cast<uint8_t>(rng_());
    return Uuid(b);
  }

  Node node() {
    Node n;
    n.id = uuid();
    n.label = text();
    n.properties = properties();
    n.kind = static_cast<NodeKind>(below(6));
    return n;
  }

  Edge edge() {
    Edge e;
    e.id = uuid();
    e.source = uuid();
    e.target = uuid();
    e.edge_type = text();
    e.properties = properties();
    return e;
  }

  uint64_t u64() { return chance(50) ? below(300) : rng_(); }
  std::optional<uint64_t> opt_u64() { return chance(50) ? std::optional<uint64_t>() : u64(); }

  std::vector<float> vector() {
    std::vector<float> v(chance(5) ? 16 : below(6));
    for (auto& f : v) f = float32();
    return v;
  }

  VersionedNode versioned_node() { return {uuid(), u64(), u64(), node(), opt_u64(), u64(), opt_u64()}; }
  VersionedEdge versioned_edge() { return {uuid(), u64(), u64(), edge(), u64(), opt_u64(), opt_u64()}; }
  Embedding embedding() { return {uuid(), vector(), text(), static_cast<uint32_t>(rng_())}; }
  PathReferenceEmbedding path_reference() { return {text(), text(), text(), vector(), u64()}; }

  wal::WalRecord wal_record() {
    switch (below(9)) {
      case 0: return wal::Begin{u64(), u64()};
      case 1: return wal::InsertNode{u64(), node()};
      case 2: return wal::UpdateNode{u64(), uuid(), node(), node()};
      case 3: return wal::DeleteNode{u64(), uuid(), node()};
      case 4: return wal::InsertEdge{u64(), edge()};
      case 5: return wal::DeleteEdge{u64(), uuid(), edge()};
      case 6: return wal::Commit{u64(), u64()};
      case 7: return wal::Abort{u64()};
      default: {
        std::vector<uint64_t> active(below(5));
        for (auto& t : active) t = u64();
        return wal::Checkpoint{u64(), std::move(active)};
      }
    }
  }

  void set_allow_non_finite(bool allow) { allow_non_finite_ = allow; }

 private:
  std::mt19937_64 rng_;
  bool allow_non_finite_ = true;
};

}  // namespace zudizid::testing_util
