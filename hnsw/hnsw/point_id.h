// Identity of a point in the layered graph, and one hit of a search.
#pragma once

#include <fmt/format.h>

#include <cstdint>

namespace vantor {

// The point's layer and its position (rank) in the list of that layer.
struct PointId {
  uint8_t layer = 0;
  int32_t rank = 0;
  friend bool operator==(const PointId&, const PointId&) = default;
};

struct NeighbourHit {
  uint64_t d_id = 0;     // the caller's data id (origin_id)
  float distance = 0.0f; // distance from the query, as the layer search computed it
  PointId p_id;
  friend bool operator==(const NeighbourHit&, const NeighbourHit&) = default;
};

}  // namespace vantor

// Debug text: PointId(2, 15).
template <>
struct fmt::formatter<vantor::PointId> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const vantor::PointId& p, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "PointId({}, {})", static_cast<unsigned>(p.layer), p.rank);
  }
};
