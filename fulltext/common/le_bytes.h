// Little-endian fixed-width integers in byte buffers (x86-64 is
// little-endian, so these are plain copies that never assume alignment).
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace fendral {

template <class T>
  requires std::is_integral_v<T>
inline void append_le(std::vector<uint8_t>& out, T v) {
  uint8_t b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.insert(out.end(), b, b + sizeof(T));
}

template <class T>
  requires std::is_integral_v<T>
inline T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

}  // namespace fendral
