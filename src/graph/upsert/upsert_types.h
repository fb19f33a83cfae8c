// Keyed upserts: the request and link shapes, the outcomes, and the pure
// decisions an upsert makes (does the stored node differ, which old index
// entries went stale, did the embedding change, is a link already there).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::graph::upsert {

struct UpsertLink {
  std::string type;
  std::string target_label;
  std::string target_key;
  PropertyValue target_key_value;
  PropertyMap props;
  bool create_target_stub = false;
};

struct UpsertEmbedding {
  std::vector<float> vector;
  std::string model;
};

struct UpsertRequest {
  std::string label;
  std::string key;
  PropertyMap props;
  std::optional<UpsertEmbedding> embedding;
  std::vector<UpsertLink> links;
};

enum class UpsertOutcome : std::uint8_t { Created, Updated, Unchanged };

// "created", "updated", "unchanged".
std::string_view outcome_name(UpsertOutcome outcome);

struct UpsertResult {
  UpsertOutcome outcome;
  Uuid id;
};

// Same number of entries and every stored entry present in `desired` with an
// equal value (so a NaN anywhere never compares equal).
bool props_equal(const PropertyMap& stored, const PropertyMap& desired);

// Every (name, old value) of `stored` whose name is gone from `desired` or
// whose value differs: the property-index entries to remove after commit.
std::vector<std::pair<std::string, PropertyValue>> stale_entries(const PropertyMap& stored,
                                                                 const PropertyMap& desired);

// A missing stored vector, another length or any unequal or unordered pair of
// components counts as a change.
bool embedding_changed(const std::optional<std::vector<float>>& stored, std::span<const float> desired);

// Whether an outgoing edge of the given type already reaches `target`.
bool link_satisfied(std::span<const Edge> outgoing, std::string_view type, const Uuid& target);

// The node an update writes. It keeps the stored kind: an upsert that
// rewrites an ontology class must not turn it into an individual.
Node updated_node(const Node& stored, const UpsertRequest& request);

// "upsert: key '{}' missing from props for label '{}'"
std::string missing_key_message(std::string_view key, std::string_view label);
// "{} nodes match {}.{}={}; deduplicate before {verb}"
std::string ambiguous_detail(std::size_t matches, std::string_view label, std::string_view key,
                             const PropertyValue& value, std::string_view verb);
// "link target {}.{}={} not found (set create_target_stub to create it)"
std::string missing_target_detail(const UpsertLink& link);

}  // namespace zudizid::graph::upsert
