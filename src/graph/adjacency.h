// In-memory adjacency: node id -> ids of its outgoing (or incoming) edges,
// behind a reader-writer lock. The stored form of one entry is the id-list
// value under "idx:out:<id>" or "idx:in:<id>".
//
// Lock order wherever both are held: storage write lock first, then the
// outgoing map, then the incoming map.
#pragma once

#include <cstdint>
#include <expected>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/uuid.h"

namespace zudizid::graph {

using common::Uuid;
using AdjacencyMap = std::unordered_map<Uuid, std::vector<Uuid>>;

struct Adjacency {
  mutable std::shared_mutex mu;
  AdjacencyMap map;

  // The list of `id` (empty when absent), copied under the read lock.
  std::vector<Uuid> get(const Uuid& id) const;
};

// The stored id-list value: a MessagePack array of 16-byte binaries.
std::vector<std::uint8_t> encode_adjacency_list(std::span<const Uuid> ids);

std::string out_adjacency_key(const Uuid& node);
std::string in_adjacency_key(const Uuid& node);

}  // namespace zudizid::graph

namespace zudizid::graph {

// Decodes a stored id-list value; anything but an array of 16-byte
// binaries is an error.
std::expected<std::vector<Uuid>, std::string> decode_adjacency_list(std::span<const std::uint8_t> bytes);

struct StoredAdjacency {
  AdjacencyMap outgoing;
  AdjacencyMap incoming;
};

}  // namespace zudizid::graph
