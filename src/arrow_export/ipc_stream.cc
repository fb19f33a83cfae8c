#include "arrow_export/ipc_stream.h"

#include <flatbuffers/flatbuffers.h>
#include <fmt/format.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace zudizid::arrow_export {

namespace {

// Message header union tags and type union tags of the Arrow schema.
constexpr uint8_t kHeaderSchema = 1;
constexpr uint8_t kHeaderRecordBatch = 3;
constexpr uint8_t kTypeInt = 2;
constexpr uint8_t kTypeFloatingPoint = 3;
constexpr uint8_t kTypeUtf8 = 5;
constexpr uint8_t kTypeBool = 6;
constexpr int16_t kMetadataV5 = 4;
constexpr int16_t kPrecisionDouble = 2;
constexpr int64_t kBodyAlignment = 64;

// Byte offset of field slot `i` inside a table's vtable.
constexpr flatbuffers::voffset_t slot(int i) { return static_cast<flatbuffers::voffset_t>(4 + 2 * i); }

// FieldNode {length, null_count} and Buffer {offset, length}: two i64 each.
struct I64Pair {
  int64_t first;
  int64_t second;
};
static_assert(sizeof(I64Pair) == 16);

uint8_t type_tag(ArrowType type) {
  switch (type) {
    case ArrowType::Utf8: return kTypeUtf8;
    case ArrowType::Int64: return kTypeInt;
    case ArrowType::Float64: return kTypeFloatingPoint;
    case ArrowType::Bool: return kTypeBool;
  }
  return kTypeUtf8;
}

flatbuffers::Offset<void> type_table(flatbuffers::FlatBufferBuilder& fbb, ArrowType type) {
  const auto start = fbb.StartTable();
  if (type == ArrowType::Int64) {
    fbb.AddElement<int32_t>(slot(0), 64, 0);    // bitWidth
    fbb.AddElement<uint8_t>(slot(1), 1, 0);     // is_signed
  } else if (type == ArrowType::Float64) {
    fbb.AddElement<int16_t>(slot(0), kPrecisionDouble, 0);
  }
  return flatbuffers::Offset<void>(fbb.EndTable(start));
}

flatbuffers::Offset<void> schema_table(flatbuffers::FlatBufferBuilder& fbb, const std::vector<Field>& fields) {
  std::vector<flatbuffers::Offset<void>> field_offsets;
  field_offsets.reserve(fields.size());
  for (const Field& field : fields) {
    const auto name = fbb.CreateString(field.name);
    const auto type = type_table(fbb, field.type);
    const auto children = fbb.CreateVector(std::vector<flatbuffers::Offset<void>>{});
    const auto start = fbb.StartTable();
    fbb.AddOffset(slot(0), name);
    fbb.AddElement<uint8_t>(slot(1), field.nullable ? 1 : 0, 0);
    fbb.AddElement<uint8_t>(slot(2), type_tag(field.type), 0);
    fbb.AddOffset(slot(3), type);
    fbb.AddOffset(slot(5), children);
    field_offsets.emplace_back(fbb.EndTable(start));
  }
  const auto vector = fbb.CreateVector(field_offsets);
  const auto start = fbb.StartTable();
  fbb.AddOffset(slot(1), vector);
  return flatbuffers::Offset<void>(fbb.EndTable(start));
}

void finish_message(flatbuffers::FlatBufferBuilder& fbb, uint8_t header_type, flatbuffers::Offset<void> header,
                    int64_t body_length) {
  const auto start = fbb.StartTable();
  fbb.AddElement<int64_t>(slot(3), body_length, 0);
  fbb.AddOffset(slot(2), header);
  fbb.AddElement<int16_t>(slot(0), kMetadataV5, 0);
  fbb.AddElement<uint8_t>(slot(1), header_type, 0);
  fbb.Finish(flatbuffers::Offset<void>(fbb.EndTable(start)));
}

void append_le32(std::string& out, int32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.append(bytes, 4);
}

// Frames one flatbuffer message: continuation marker, padded length, bytes.
void append_message(std::string& out, const flatbuffers::FlatBufferBuilder& fbb) {
  const size_t size = fbb.GetSize();
  const size_t padded = (size + 8 + 7) / 8 * 8 - 8;
  append_le32(out, -1);
  append_le32(out, static_cast<int32_t>(padded));
  out.append(reinterpret_cast<const char*>(fbb.GetBufferPointer()), size);
  out.append(padded - size, '\0');
}

int64_t align_body(int64_t n) { return (n + kBodyAlignment - 1) / kBodyAlignment * kBodyAlignment; }

// The buffers of one column, in the order the format lists them.
struct ColumnBuffers {
  std::vector<std::pair<const void*, int64_t>> parts;
};

ColumnBuffers buffers_of(const Column& column) {
  ColumnBuffers b;
  b.parts.emplace_back(column.validity.data(), static_cast<int64_t>(column.validity.size()));
  if (column.type == ArrowType::Utf8) {
    b.parts.emplace_back(column.offsets.data(), static_cast<int64_t>(column.offsets.size() * sizeof(int32_t)));
  }
  b.parts.emplace_back(column.data.data(), static_cast<int64_t>(column.data.size()));
  return b;
}

std::expected<void, std::string> check_batch(const RecordBatch& batch) {
  if (batch.columns.size() != batch.fields.size()) {
    return std::unexpected(
        fmt::format("batch has {} columns for {} schema fields", batch.columns.size(), batch.fields.size()));
  }
  for (size_t i = 0; i < batch.columns.size(); ++i) {
    const Column& c = batch.columns[i];
    if (c.type != batch.fields[i].type) {
      return std::unexpected(fmt::format("column '{}' does not have its field's type", batch.fields[i].name));
    }
    if (c.length != batch.num_rows) {
      return std::unexpected(fmt::format("column '{}' has {} rows, the batch {}", batch.fields[i].name, c.length,
                                         batch.num_rows));
    }
    if (c.null_count > 0 && !batch.fields[i].nullable) {
      return std::unexpected(fmt::format("non-nullable column '{}' holds nulls", batch.fields[i].name));
    }
  }
  return {};
}

}  // namespace

constexpr char kEndOfStream[8] = {'\xff', '\xff', '\xff', '\xff', 0, 0, 0, 0};

std::expected<IpcLayout, IpcError> lay_out_ipc_stream(const RecordBatch& batch) {
  IpcLayout layout;
  std::string& out = layout.head_;

  {
    flatbuffers::FlatBufferBuilder fbb(1024);
    const auto schema = schema_table(fbb, batch.fields);
    finish_message(fbb, kHeaderSchema, schema, 0);
    append_message(out, fbb);
  }

  if (auto ok = check_batch(batch); !ok) return std::unexpected(IpcError{IpcStage::Write, std::move(ok.error())});

  std::vector<I64Pair> nodes;
  std::vector<I64Pair> buffers;
  int64_t body_length = 0;
  for (const Column& column : batch.columns) {
    nodes.push_back({column.length, column.null_count});
    const ColumnBuffers parts = buffers_of(column);
    for (const auto& [data, length] : parts.parts) {
      buffers.push_back({body_length, length});
      const int64_t end = align_body(body_length + length);
      layout.body_.push_back({static_cast<const char*>(data), static_cast<size_t>(length),
                              static_cast<size_t>(end - body_length - length)});
      body_length = end;
    }
  }

  {
    flatbuffers::FlatBufferBuilder fbb(1024 + 32 * buffers.size());
    const auto node_vector = fbb.CreateVectorOfStructs(nodes.data(), nodes.size());
    const auto buffer_vector = fbb.CreateVectorOfStructs(buffers.data(), buffers.size());
    const auto start = fbb.StartTable();
    fbb.AddElement<int64_t>(slot(0), batch.num_rows, 0);
    fbb.AddOffset(slot(1), node_vector);
    fbb.AddOffset(slot(2), buffer_vector);
    const auto record_batch = flatbuffers::Offset<void>(fbb.EndTable(start));
    finish_message(fbb, kHeaderRecordBatch, record_batch, body_length);
    append_message(out, fbb);
  }

  layout.size_ = out.size() + static_cast<size_t>(body_length) + sizeof(kEndOfStream);
  return layout;
}

void IpcLayout::copy_to(char* out) const {
  out = std::copy(head_.begin(), head_.end(), out);
  for (const Piece& piece : body_) {
    if (piece.length > 0) out = std::copy_n(piece.data, piece.length, out);
    out = std::fill_n(out, piece.padding, '\0');
  }
  std::copy_n(kEndOfStream, sizeof(kEndOfStream), out);
}

std::expected<std::string, IpcError> write_ipc_stream(const RecordBatch& batch) {
  auto layout = lay_out_ipc_stream(batch);
  if (!layout) return std::unexpected(std::move(layout.error()));
  std::string out(layout->size(), '\0');
  layout->copy_to(out.data());
  return out;
}

}  // namespace zudizid::arrow_export
