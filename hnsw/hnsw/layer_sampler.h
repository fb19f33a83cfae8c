// Draws the layer of each new point: floor(-ln(U) * level_scale) with U
// uniform in [0, 1), level_scale = 1 / ln(max_nb_connection); a draw at or
// above nb_layer is replaced by one uniform draw over 0 .. nb_layer - 1.
// A layer l is reached with probability max_nb_connection^-l below nb_layer.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace vantor {

class LayerSampler {
 public:
  // Seeds from 32 bytes of the operating system's entropy source.
  LayerSampler(uint64_t max_nb_connection, uint64_t nb_layer);
  // A fixed seed, for reproducible tests.
  LayerSampler(uint64_t max_nb_connection, uint64_t nb_layer, const std::array<uint64_t, 4>& seed);

  // Restarts the generator from a fixed seed (reproducible tests).
  void reseed(const std::array<uint64_t, 4>& seed);

  // Below nb_layer; nb_layer must be at least 1.
  uint64_t draw_layer();

  double level_scale() const { return level_scale_; }
  // Replaces the scale (a reloaded index keeps the one it was dumped with);
  // before any draw.
  void set_level_scale(double scale) { level_scale_ = scale; }
  uint64_t nb_layer() const { return nb_layer_; }

  // floor(-ln(u) * scale) as u64 with saturation (NaN and negatives give 0).
  static uint64_t exponential_level(double u, double scale);

 private:
  uint64_t next_u64();  // xoshiro256**, caller holds mu_
  uint64_t uniform_below(uint64_t bound);

  std::mutex mu_;
  std::array<uint64_t, 4> s_{};
  double level_scale_;
  uint64_t nb_layer_;
};

}  // namespace vantor
