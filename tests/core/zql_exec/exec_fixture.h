// An in-memory graph and helpers to run statements on it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/close.h"
#include "graph/open.h"
#include "query/zql/executor/execute_statement.h"

namespace zudizid::query::zql::executor::testing {

class ExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto g = graph::open_in_memory(graph::Profile::Default);
    ASSERT_TRUE(g) << g.error().display();
    graph_.emplace(std::move(*g));
  }
  void TearDown() override {
    if (graph_) (void)graph::close_graph(*graph_);
  }

  graph::Graph& g() { return *graph_; }

  // Runs a statement that must succeed.
  StatementResult run(std::string_view text) {
    auto r = execute_statement(g(), text);
    EXPECT_TRUE(r) << text << ": " << (r ? "" : r.error().display());
    if (!r) return StatementResult::message("failed");
    return std::move(*r);
  }
  WriteSummary write(std::string_view text) {
    auto r = run(text);
    return r.write_summary() ? *r.write_summary() : WriteSummary{};
  }
  // The display text of a statement's error ("" when it succeeds).
  std::string error_of(std::string_view text) {
    auto r = execute_statement(g(), text);
    return r ? std::string() : r.error().display();
  }
  // Values of `property` over the nodes of `label`, in id order ("-" when absent).
  std::vector<std::string> values(std::string_view label, const std::string& property) {
    std::vector<std::string> out;
    auto nodes = g().nodes_with_label(label).collect();
    EXPECT_TRUE(nodes);
    for (const Node& n : *nodes) {
      auto it = n.properties.find(property);
      out.push_back(it == n.properties.end() ? "-" : it->second.debug_string());
    }
    return out;
  }
  uint64_t nodes() { return *g().node_count(); }
  uint64_t edges() { return *g().edge_count(); }

  std::optional<graph::Graph> graph_;
};

}  // namespace zudizid::query::zql::executor::testing
