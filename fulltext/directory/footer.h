// File footer: every file written through the managed directory ends in
//   [footer JSON][u32 JSON length][u32 magic 1337]
// where the JSON is {"version":{"major":..,"minor":..,"patch":..,
// "index_format_version":..},"crc":C} and C is the CRC-32 of the body.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "fulltext/common/file_slice.h"
#include "fulltext/common/io.h"
#include "fulltext/error/error.h"

namespace fendral {

constexpr uint32_t kFooterMagic = 1337;
constexpr uint32_t kFooterMaxJsonLen = 50000;

// The engine's own version: 0.26.1, index format 7.
const Version& engine_version();

struct Footer {
  Version version;
  uint32_t crc = 0;

  // Compact JSON with the keys in their fixed order.
  std::string to_json() const;
  // Accepts the two fields in any order, skips unknown fields, accepts the
  // array form [version, crc]; refuses missing or repeated fields.
  static IoResult<Footer> from_json(std::string_view text);
  // The index formats this engine reads: 4 to 7.
  bool accepts_index_format() const { return version.index_format_version >= 4 && version.index_format_version <= 7; }
};

// Hashes every body byte on its way to the inner writer and appends the
// footer at terminate_ref.
class FooterProxy final : public TerminatingWrite {
 public:
  explicit FooterProxy(std::unique_ptr<TerminatingWrite> inner) : crc_(0), inner_(std::move(inner)) {}

  IoResult<size_t> write(std::span<const uint8_t> bytes) override;
  IoResult<void> flush() override;
  IoResult<void> terminate_ref() override;

 private:
  std::optional<uint32_t> crc_;
  std::unique_ptr<TerminatingWrite> inner_;
};

// Splits a whole file into its footer and its body. The checks run in this
// order: size, magic, JSON length limit, size against the JSON length, JSON.
IoResult<std::pair<Footer, FileSlice>> split_footer(const FileSlice& file);

}  // namespace fendral
