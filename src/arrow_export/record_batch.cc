#include "arrow_export/record_batch.h"

#include <fmt/format.h>

namespace zudizid::arrow_export {

namespace {

void set_bit(std::vector<uint8_t>& bitmap, int64_t index, bool value) {
  if (index % 8 == 0) bitmap.push_back(0);
  if (value) bitmap.back() |= static_cast<uint8_t>(1u << (index % 8));
}

}  // namespace

ColumnBuilder::ColumnBuilder(ArrowType type, size_t expected_rows, int64_t max_text_bytes)
    : max_text_bytes_(max_text_bytes) {
  column_.type = type;
  column_.validity.reserve((expected_rows + 7) / 8);
  switch (type) {
    case ArrowType::Utf8:
      column_.offsets.reserve(expected_rows + 1);
      column_.offsets.push_back(0);
      break;
    case ArrowType::Int64:
    case ArrowType::Float64:
      column_.data.reserve(expected_rows * 8);
      break;
    case ArrowType::Bool:
      column_.data.reserve((expected_rows + 7) / 8);
      break;
  }
}

// The validity bitmap is kept for every row and dropped at finish when no
// row was null, so a column without nulls carries no validity buffer.
void ColumnBuilder::push_validity(bool valid) {
  set_bit(column_.validity, column_.length, valid);
  if (!valid) ++column_.null_count;
}

void ColumnBuilder::push_fixed(const void* bytes) {
  column_.data.append(static_cast<const char*>(bytes), 8);
}

void ColumnBuilder::append_null() {
  switch (column_.type) {
    case ArrowType::Utf8:
      column_.offsets.push_back(column_.offsets.back());
      break;
    case ArrowType::Int64:
    case ArrowType::Float64:
      column_.data.append(8, '\0');
      break;
    case ArrowType::Bool: {
      if (column_.length % 8 == 0) column_.data.push_back('\0');
      break;
    }
  }
  push_validity(false);
  ++column_.length;
}

void ColumnBuilder::append_int(int64_t value) {
  push_fixed(&value);
  push_validity(true);
  ++column_.length;
}

void ColumnBuilder::append_float(double value) {
  push_fixed(&value);
  push_validity(true);
  ++column_.length;
}

void ColumnBuilder::append_bool(bool value) {
  if (column_.length % 8 == 0) column_.data.push_back('\0');
  if (value) column_.data.back() = static_cast<char>(column_.data.back() | (1 << (column_.length % 8)));
  push_validity(true);
  ++column_.length;
}

std::expected<void, std::string> ColumnBuilder::append_text(std::string_view text) {
  const int64_t used = column_.offsets.back();
  if (static_cast<int64_t>(text.size()) > max_text_bytes_ - used) {
    return std::unexpected(fmt::format("Utf8 column would hold more than {} bytes of text", max_text_bytes_));
  }
  column_.data.append(text);
  column_.offsets.push_back(static_cast<int32_t>(used + static_cast<int64_t>(text.size())));
  push_validity(true);
  ++column_.length;
  return {};
}

Column ColumnBuilder::finish() && {
  if (column_.null_count == 0) column_.validity.clear();
  return std::move(column_);
}

}  // namespace zudizid::arrow_export
