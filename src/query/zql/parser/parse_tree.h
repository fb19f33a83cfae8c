// Results of the ZQL parse entry: the parse tree of a matched text, or the
// positioned error report of a text that did not match.
//
// A ParseTree owns a copy of the text and its nodes; a ParseNode is a small
// view (tree, index) that stays valid while the tree it came from is alive,
// moves of the tree included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "query/zql/parser/grammar_rule.h"

namespace zudizid::query::zql::grammar {

// One recorded node, stored in pre-order. `next` is the index just past the
// node's subtree, so the first child (if any) is at index + 1 and the next
// sibling at `next`.
struct FlatNode {
  GrammarRule rule;
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t next;
};

struct ParseData {
  std::string text;
  std::vector<FlatNode> nodes;
  std::uint32_t top_end = 0;  // nodes[0, top_end) hold the top-level subtrees
};

class ParseNode;

// Forward range over sibling nodes [begin, end) of one level.
class NodeRange {
 public:
  class iterator {
   public:
    using value_type = ParseNode;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const ParseData* d, std::uint32_t i) : data_(d), index_(i) {}
    ParseNode operator*() const;
    iterator& operator++() {
      index_ = data_->nodes[index_].next;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const { return index_ == o.index_; }

   private:
    const ParseData* data_ = nullptr;
    std::uint32_t index_ = 0;
  };

  NodeRange(const ParseData* d, std::uint32_t begin, std::uint32_t end)
      : data_(d), begin_(begin), end_(end) {}
  iterator begin() const { return {data_, begin_}; }
  iterator end() const { return {data_, end_}; }
  bool empty() const { return begin_ == end_; }

 private:
  const ParseData* data_;
  std::uint32_t begin_;
  std::uint32_t end_;
};

class ParseNode {
 public:
  ParseNode(const ParseData* d, std::uint32_t i) : data_(d), index_(i) {}

  GrammarRule rule() const { return node().rule; }
  std::size_t start() const { return node().start; }
  std::size_t end() const { return node().end; }
  std::string_view text() const {
    return std::string_view(data_->text).substr(node().start, node().end - node().start);
  }
  NodeRange children() const { return {data_, index_ + 1, node().next}; }

  // First child of the given rule, if any.
  bool find_child(GrammarRule r, ParseNode* out) const;

 private:
  const FlatNode& node() const { return data_->nodes[index_]; }
  const ParseData* data_;
  std::uint32_t index_;
};

inline ParseNode NodeRange::iterator::operator*() const { return ParseNode(data_, index_); }

class ParseTree {
 public:
  explicit ParseTree(std::unique_ptr<ParseData> data) : data_(std::move(data)) {}

  std::string_view text() const { return data_->text; }
  NodeRange top_level() const { return {data_.get(), 0, data_->top_end}; }
  // Multi-line indented dump of the tree ("rule [start..end] text"), for tests
  // and diagnostics.
  std::string dump() const;

 private:
  std::unique_ptr<ParseData> data_;
};

struct ParseError {
  std::size_t position = 0;  // byte offset
  std::size_t line = 1;      // counted from 1
  std::size_t column = 1;    // characters, counted from 1
  std::string source_line;   // as shown in the report
  std::vector<GrammarRule> expected;
  std::vector<GrammarRule> unexpected;
  std::string message;  // plain message; when set, the rule lists are unused
  bool has_message = false;

  // The six-line report.
  std::string display() const;
  // The one-line message of the report's last line.
  std::string message_text() const;
};

// Fills line, column and source_line of `error` for its position in `text`.
void locate_error(std::string_view text, ParseError& error);

}  // namespace zudizid::query::zql::grammar
