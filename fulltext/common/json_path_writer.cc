#include "fulltext/common/json_path_writer.h"

#include <algorithm>

namespace fendral {

void JsonPathWriter::push(std::string_view segment) {
  bool first = indices_.empty();
  indices_.push_back(path_.size());
  if (!first) path_.push_back(kJsonPathSegmentSep);
  size_t from = path_.size();
  path_.append(segment);
  if (split_dots_) std::replace(path_.begin() + static_cast<std::ptrdiff_t>(from), path_.end(), '.', kJsonPathSegmentSep);
}

void JsonPathWriter::pop() {
  if (indices_.empty()) return;
  size_t len = indices_.back();
  indices_.pop_back();
  if (path_.size() > len) path_.resize(len);
}

}  // namespace fendral
