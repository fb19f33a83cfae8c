#include "fulltext/columnar/column_index/column_index.h"

#include <cstring>

#include "fulltext/common/le_bytes.h"

namespace fendral::columnar {

IoResult<ColumnIndex> ColumnIndex::open(OwnedBytes bytes, uint32_t format_version) {
  if (bytes.is_empty()) {
    return io_fail(IoErrorKind::UnexpectedEof, "Failed to deserialize column index. Empty buffer.");
  }
  const uint8_t kind = bytes.data()[0];
  OwnedBytes rest = bytes.sub_range(1, bytes.len());
  ColumnIndex c;
  switch (kind) {
    case 0:
      return c;
    case 1: {
      auto opt = OptionalIndex::open(std::move(rest));
      if (!opt) return std::unexpected(opt.error());
      c.kind_ = Kind::Optional;
      c.optional_ = std::make_shared<const OptionalIndex>(std::move(*opt));
      return c;
    }
    case 2: {
      c.kind_ = Kind::Multivalued;
      if (format_version == 1) {
        auto start = load_u64_based_column_values<uint32_t>(std::move(rest));
        if (!start) return std::unexpected(start.error());
        if ((*start)->num_vals() == 0) return io_fail(IoErrorKind::InvalidData, "Multivalued index without offsets");
        c.multivalued_form_ = 1;
        c.start_index_ = std::move(*start);
        return c;
      }
      if (rest.len() < 4) return io_fail(IoErrorKind::InvalidData, "Multivalued index shorter than 4 bytes");
      uint32_t opt_len;
      std::memcpy(&opt_len, rest.data() + rest.len() - 4, 4);
      if (opt_len > rest.len() - 4) return io_fail(IoErrorKind::InvalidData, "Multivalued index length beyond its bytes");
      auto opt = OptionalIndex::open(rest.sub_range(0, opt_len));
      if (!opt) return std::unexpected(opt.error());
      auto start = load_u64_based_column_values<uint32_t>(rest.sub_range(opt_len, rest.len() - 4));
      if (!start) return std::unexpected(start.error());
      if ((*start)->num_vals() != uint64_t{opt->num_non_null_rows()} + 1) {
        return io_fail(IoErrorKind::InvalidData, "Multivalued index offsets do not match its documents");
      }
      c.multivalued_form_ = 2;
      c.optional_ = std::make_shared<const OptionalIndex>(std::move(*opt));
      c.start_index_ = std::move(*start);
      return c;
    }
    default:
      return io_fail(IoErrorKind::InvalidData, "Invalid data");
  }
}

IoResult<uint32_t> ColumnIndex::serialize(const ColumnIndexToWrite& index, std::vector<uint8_t>& out) {
  const size_t before = out.size();
  out.push_back(static_cast<uint8_t>(index.cardinality));
  if (index.cardinality == Cardinality::Optional) {
    OptionalIndex::serialize(index.num_rows, index.docs, out);
  } else if (index.cardinality == Cardinality::Multivalued) {
    const size_t opt_start = out.size();
    OptionalIndex::serialize(index.num_rows, index.docs, out);
    const uint32_t opt_len = static_cast<uint32_t>(out.size() - opt_start);
    if (auto r = serialize_u64_based_column_values(*index.start_offsets, kStartOffsetCodecs, out); !r) {
      return std::unexpected(r.error());
    }
    append_le<uint32_t>(out, opt_len);
  }
  return static_cast<uint32_t>(out.size() - before);
}

Cardinality ColumnIndex::cardinality() const {
  switch (kind_) {
    case Kind::Empty:
      return num_docs_ > 0 ? Cardinality::Optional : Cardinality::Full;
    case Kind::Full:
      return Cardinality::Full;
    case Kind::Optional:
      return Cardinality::Optional;
    case Kind::Multivalued:
      return Cardinality::Multivalued;
  }
  return Cardinality::Full;
}

uint32_t ColumnIndex::num_docs(uint32_t num_vals_if_full) const {
  switch (kind_) {
    case Kind::Empty:
      return num_docs_;
    case Kind::Full:
      return num_vals_if_full;
    case Kind::Optional:
      return optional_->num_rows();
    case Kind::Multivalued:
      return multivalued_form_ == 1 ? start_index_->num_vals() - 1 : optional_->num_rows();
  }
  return 0;
}

uint32_t ColumnIndex::start_val(uint32_t i) const {
  // Positions past the offsets (corrupt or foreign docs) read as the total.
  uint32_t n = start_index_->num_vals();
  return start_index_->get_val(i < n ? i : n - 1);
}

std::pair<uint32_t, uint32_t> ColumnIndex::docid_range_to_rowids(uint32_t a, uint32_t b) const {
  switch (kind_) {
    case Kind::Empty:
      return {0, 0};
    case Kind::Full:
      return {a, b};
    case Kind::Optional:
      return {optional_->rank(a), optional_->rank(b)};
    case Kind::Multivalued:
      if (multivalued_form_ == 1) return {start_val(a), start_val(b)};
      return {start_val(optional_->rank(a)), start_val(optional_->rank(b))};
  }
  return {0, 0};
}

std::pair<uint32_t, uint32_t> ColumnIndex::value_row_range(uint32_t doc) const {
  switch (kind_) {
    case Kind::Empty:
      return {0, 0};
    case Kind::Full:
      return {doc, doc + 1};
    case Kind::Optional: {
      auto r = optional_->rank_if_exists(doc);
      if (!r) return {0, 0};
      return {*r, *r + 1};
    }
    case Kind::Multivalued: {
      uint32_t k;
      if (multivalued_form_ == 1) {
        if (doc + uint64_t{1} >= start_index_->num_vals()) return {0, 0};
        k = doc;
      } else {
        auto r = optional_->rank_if_exists(doc);
        if (!r) return {0, 0};
        k = *r;
      }
      uint32_t s = start_val(k);
      uint32_t e = start_val(k + 1);
      return {s, e < s ? s : e};
    }
  }
  return {0, 0};
}

void ColumnIndex::rowids_to_docids(uint32_t docid_start, std::vector<uint32_t>& rows) const {
  switch (kind_) {
    case Kind::Empty:
      rows.clear();
      return;
    case Kind::Full:
      return;
    case Kind::Optional: {
      auto cursor = optional_->select_cursor();
      for (uint32_t& r : rows) r = cursor.select(r);
      return;
    }
    case Kind::Multivalued: {
      const uint32_t n = start_index_->num_vals();
      uint32_t c = multivalued_form_ == 1 ? docid_start : optional_->rank(docid_start);
      size_t out = 0;
      for (size_t i = 0; i < rows.size(); ++i) {
        while (c + uint64_t{1} < n && rows[i] >= start_index_->get_val(c + 1)) ++c;
        if (out == 0 || rows[out - 1] != c) rows[out++] = c;
      }
      rows.resize(out);
      if (multivalued_form_ == 2) {
        auto cursor = optional_->select_cursor();
        for (uint32_t& r : rows) r = cursor.select(r);
      }
      return;
    }
  }
}

}  // namespace fendral::columnar
