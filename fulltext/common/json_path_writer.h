// Builds the path of a value inside a JSON field: segments joined by 0x01
// (never a dot). With split_dots set, dots inside a pushed segment become
// 0x01 as well, so "a.b" pushed at once equals "a" then "b".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fendral {

constexpr char kJsonPathSegmentSep = '\x01';
constexpr char kJsonEndOfPath = '\x00';

class JsonPathWriter {
 public:
  JsonPathWriter() = default;
  explicit JsonPathWriter(bool split_dots) : split_dots_(split_dots) {}

  void set_expand_dots(bool on) { split_dots_ = on; }
  void push(std::string_view segment);
  void pop();
  void clear() {
    path_.clear();
    indices_.clear();
  }
  const std::string& as_str() const { return path_; }

 private:
  std::string path_;
  std::vector<size_t> indices_;
  bool split_dots_ = false;
};

}  // namespace fendral
