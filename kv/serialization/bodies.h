// Byte forms of page contents in log message bodies: tree nodes, links, the
// META map, the ID counter, batch manifests. Writers size exactly first, then
// serialise into the reserved bytes; decoders never read past the body.
#pragma once

#include <cstdint>
#include <span>

#include "kv/error.h"
#include "kv/pagecache/log_api.h"
#include "kv/pagecache/page.h"
#include "kv/tree/node.h"

namespace kelm::serialization {

uint64_t serialized_size(const Node& node);
uint64_t serialized_size(const pagecache::Meta& meta);
uint64_t serialized_size(const Link& link);
uint64_t serialized_size(const pagecache::Body& body);

// Each writes exactly serialized_size bytes at `out` and returns that count.
size_t serialize_into(const Node& node, uint8_t* out);
size_t serialize_into(const pagecache::Meta& meta, uint8_t* out);
size_t serialize_into(const Link& link, uint8_t* out);
// Writes the body into `out`; false when it does not fill `out` exactly
// (a broken invariant of the caller).
bool serialize_body(const pagecache::Body& body, std::span<uint8_t> out);

Result<Node> deserialize_node(std::span<const uint8_t> body);
Result<Link> deserialize_link(std::span<const uint8_t> body);
Result<pagecache::Meta> deserialize_meta(std::span<const uint8_t> body);
Result<uint64_t> deserialize_counter(std::span<const uint8_t> body);

// Decodes a message body by its kind: Counter, Meta (Inline/Blob), Link,
// Node. Free gives ReportableBug "non-link/replace found in pull of pid {}";
// other kinds and malformed bodies give Corruption (no location).
Result<pagecache::Update> deserialize_update(pagecache::MessageKind kind, PageId pid, std::span<const uint8_t> body);

}  // namespace kelm::serialization
