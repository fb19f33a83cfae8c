#include "query/zql/parser/parse_tree.h"

#include <algorithm>

namespace zudizid::query::zql::grammar {

bool ParseNode::find_child(GrammarRule r, ParseNode* out) const {
  for (ParseNode c : children()) {
    if (c.rule() == r) {
      *out = c;
      return true;
    }
  }
  return false;
}

std::string ParseTree::dump() const {
  // Iterative pre-order walk: leaves print as rule:"text", inner nodes as
  // rule[children...]. Closing brackets are emitted when a subtree ends.
  std::string out;
  const auto& nodes = data_->nodes;
  std::vector<std::uint32_t> open_ends;  // `next` of each open inner node
  std::uint32_t i = 0;
  while (i < data_->top_end) {
    while (!open_ends.empty() && open_ends.back() == i) {
      out += ']';
      open_ends.pop_back();
    }
    if (!out.empty() && out.back() != '[') out += ' ';
    const FlatNode& n = nodes[i];
    out += rule_name(n.rule);
    if (n.next == i + 1) {
      out += ":\"";
      out.append(data_->text, n.start, n.end - n.start);
      out += '"';
    } else {
      out += '[';
      open_ends.push_back(n.next);
    }
    ++i;
  }
  for (std::size_t k = 0; k < open_ends.size(); ++k) out += ']';
  return out;
}

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

std::string join_rules(const std::vector<GrammarRule>& rules) {
  std::string out;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i > 0) {
      if (rules.size() == 2) {
        out += " or ";
      } else if (i + 1 == rules.size()) {
        out += ", or ";
      } else {
        out += ", ";
      }
    }
    out += rule_name(rules[i]);
  }
  return out;
}

}  // namespace

void locate_error(std::string_view text, ParseError& error) {
  std::size_t pos = std::min(error.position, text.size());
  std::size_t line = 1, column = 1, line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n') {
      ++line;
      column = 1;
      line_start = i + 1;
    } else if (!is_continuation(b)) {
      ++column;
    }
  }
  std::size_t line_end = text.find('\n', pos);
  line_end = line_end == std::string_view::npos ? text.size() : line_end + 1;
  std::string_view raw = text.substr(line_start, line_end - line_start);

  bool visualize = pos < text.size() && (text[pos] == '\r' || text[pos] == '\n');
  std::string shown;
  shown.reserve(raw.size());
  for (char c : raw) {
    if (c == '\r' || c == '\n') {
      if (visualize) shown += c == '\r' ? "\u240D" : "\u240A";
    } else {
      shown += c;
    }
  }
  error.line = line;
  error.column = column;
  error.source_line = std::move(shown);
}

std::string ParseError::message_text() const {
  if (has_message) return message;
  if (expected.empty() && unexpected.empty()) return "unknown parsing error";
  if (unexpected.empty()) return "expected " + join_rules(expected);
  if (expected.empty()) return "unexpected " + join_rules(unexpected);
  return "unexpected " + join_rules(unexpected) + "; expected " + join_rules(expected);
}

std::string ParseError::display() const {
  std::string line_no = std::to_string(line);
  std::string pad(line_no.size(), ' ');

  // One underline character per source-line character before the column.
  std::string underline;
  std::size_t want = column - 1;
  for (std::size_t i = 0; i < source_line.size() && want > 0; ++i) {
    auto b = static_cast<unsigned char>(source_line[i]);
    if (is_continuation(b)) continue;
    underline += b == '\t' ? '\t' : ' ';
    --want;
  }

  std::string out;
  out += pad + "--> " + line_no + ":" + std::to_string(column) + "\n";
  out += pad + " |\n";
  out += line_no + " | " + source_line + "\n";
  out += pad + " | " + underline + "^---\n";
  out += pad + " |\n";
  out += pad + " = " + message_text();
  return out;
}

}  // namespace zudizid::query::zql::grammar
