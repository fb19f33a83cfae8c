// UTF-8 validation with the position of the first fault.
//
// A sequence is valid when it is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF). On failure the error tells how many
// bytes before the fault are valid and how long the invalid subsequence is
// (the maximal prefix of a would-be sequence, at least 1), or that the input
// ends inside a sequence that was well-formed so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zudizid::common {

struct Utf8Error {
  size_t valid_up_to = 0;
  std::optional<size_t> error_len;  // none: input ends inside a sequence

  // "invalid utf-8 sequence of {} bytes from index {}" or
  // "incomplete utf-8 byte sequence from index {}".
  std::string message() const;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);
inline std::optional<Utf8Error> validate_utf8(std::span<const uint8_t> bytes) {
  return validate_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
inline bool is_valid_utf8(std::string_view bytes) { return !validate_utf8(bytes); }

// Appends the UTF-8 encoding of a Unicode scalar value (not a surrogate).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace zudizid::common

namespace zudizid::common {

// The bytes as UTF-8 text, each invalid sequence (a maximal prefix of a
// would-be sequence) replaced by U+FFFD; valid input is returned unchanged.
std::string utf8_lossy(std::string_view bytes);

}  // namespace zudizid::common

namespace zudizid::common {

// The full Unicode lower case of `name` when that is all ASCII, else nullopt:
// the test behind names matched "lower-cased" against ASCII names. Only
// ASCII letters and U+212A KELVIN SIGN (to 'k') lower-case into ASCII.
std::optional<std::string> ascii_lowered(std::string_view name);

}  // namespace zudizid::common
