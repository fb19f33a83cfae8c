#include "query/zql/executor/statement_result.h"

#include <fmt/format.h>

namespace zudizid::query::zql::executor {

std::string_view StatementResult::kind_name() const {
  switch (kind_) {
    case Kind::Query: return "query";
    case Kind::Write: return "write";
    case Kind::Index: return "index";
    case Kind::Explain: return "explain";
    case Kind::Profile: return "profile";
    case Kind::Export: return "export";
    case Kind::Message: return "message";
  }
  return "message";
}

std::string StatementResult::summary() const {
  switch (kind_) {
    case Kind::Query: return fmt::format("{} rows returned", std::get<QueryResult>(payload_).rows.size());
    case Kind::Write: {
      const auto& s = std::get<WriteSummary>(payload_);
      return fmt::format(
          "{} nodes created, {} edges created, {} nodes deleted, {} edges deleted, {} nodes updated, {} edges updated",
          s.nodes_created, s.edges_created, s.nodes_deleted, s.edges_deleted, s.nodes_updated, s.edges_updated);
    }
    case Kind::Profile: {
      const auto& p = std::get<ProfileResult>(payload_);
      return fmt::format("PROFILE query: {} rows, {:.3f} ms", p.rows_returned, p.execution_ms);
    }
    case Kind::Export: {
      const auto& e = std::get<ExportOutcome>(payload_);
      return fmt::format("Exported {} rows as {}", e.rows, e.format);
    }
    case Kind::Index:
    case Kind::Explain:
    case Kind::Message: return std::get<std::string>(payload_);
  }
  return {};
}

std::optional<std::string> StatementResult::plan() const {
  if (kind_ != Kind::Explain) return std::nullopt;
  return std::get<std::string>(payload_);
}

std::optional<std::string> StatementResult::message_text() const {
  if (kind_ == Kind::Index || kind_ == Kind::Message) return std::get<std::string>(payload_);
  if (kind_ == Kind::Export) return summary();
  return std::nullopt;
}

}  // namespace zudizid::query::zql::executor
