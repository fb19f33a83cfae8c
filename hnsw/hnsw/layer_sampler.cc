#include "hnsw/hnsw/layer_sampler.h"

#include <sys/random.h>

#include <chrono>
#include <cmath>
#include <cstring>

namespace vantor {

namespace {

std::array<uint64_t, 4> entropy_seed() {
  std::array<uint64_t, 4> seed{};
  auto* p = reinterpret_cast<unsigned char*>(seed.data());
  size_t got = 0;
  while (got < sizeof(seed)) {
    ssize_t r = getrandom(p + got, sizeof(seed) - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < sizeof(seed)) {
    // No entropy source: the clock still gives distinct seeds per index.
    uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed[0] ^= t;
    seed[1] ^= t * 0x9E3779B97F4A7C15ull;
    seed[2] ^= reinterpret_cast<uintptr_t>(&seed);
    seed[3] ^= ~t;
  }
  if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) seed[0] = 1;
  return seed;
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

LayerSampler::LayerSampler(uint64_t max_nb_connection, uint64_t nb_layer)
    : LayerSampler(max_nb_connection, nb_layer, entropy_seed()) {}

LayerSampler::LayerSampler(uint64_t max_nb_connection, uint64_t nb_layer,
                           const std::array<uint64_t, 4>& seed)
    : s_(seed), level_scale_(1.0 / std::log(static_cast<double>(max_nb_connection))), nb_layer_(nb_layer) {
  if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;
}

uint64_t LayerSampler::next_u64() {
  uint64_t result = rotl(s_[1] * 5, 7) * 9;
  uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

// Unbiased: rejects the low zone of the 128-bit product.
uint64_t LayerSampler::uniform_below(uint64_t bound) {
  unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * bound;
  uint64_t low = static_cast<uint64_t>(m);
  if (low < bound) {
    uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      m = static_cast<unsigned __int128>(next_u64()) * bound;
      low = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

uint64_t LayerSampler::exponential_level(double u, double scale) {
  double x = std::floor(-std::log(u) * scale);
  if (!(x > 0.0)) return 0;                       // NaN, negative and zero
  if (x >= 18446744073709551616.0) return UINT64_MAX;  // 2^64 and above, +inf
  return static_cast<uint64_t>(x);
}

uint64_t LayerSampler::draw_layer() {
  std::lock_guard<std::mutex> lock(mu_);
  // Top 52 bits as the fraction of a number in [1, 2), minus 1.
  uint64_t bits = next_u64();
  double one_two;
  uint64_t pattern = (bits >> 12) | 0x3FF0000000000000ull;
  std::memcpy(&one_two, &pattern, sizeof(one_two));
  double u = (one_two - 1.0) * 1.0 + 0.0;
  uint64_t level = exponential_level(u, level_scale_);
  if (level >= nb_layer_) level = uniform_below(nb_layer_);
  return level;
}

}  // namespace vantor
