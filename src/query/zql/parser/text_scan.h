// Small scanners shared by the grammar matcher and the builders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zudizid::query::zql::grammar {

// Position after the implicit whitespace at `pos`: WHITESPACE* (COMMENT
// WHITESPACE*)* with WHITESPACE one of space, tab, LF, CR and COMMENT a line
// comment (up to, not including, the next LF) or a closed block comment.
std::size_t skip_implicit_whitespace(std::string_view text, std::size_t pos);

// An unsigned 64-bit decimal count: optional "+", then only digits 0-9, at
// least one, value below 2^64.
std::optional<std::uint64_t> read_count(std::string_view text);

// A signed 64-bit decimal integer: optional "+" or "-", then only digits,
// at least one, value within [-2^63, 2^63 - 1].
std::optional<std::int64_t> read_int(std::string_view text);

}  // namespace zudizid::query::zql::grammar
