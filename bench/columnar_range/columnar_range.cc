// columnar_range [rows] [queries]
//
// A u64 fast-field column of `rows` uniform values in [0, rows) (default
// 10^6), written and opened through the columnar writer and reader; then
// `queries` (default 1000) value-range row searches of about 1% selectivity
// over all rows. The peer is SQLite (in memory) counting the same ranges on
// an unindexed INTEGER column, and again after CREATE INDEX. Every count is
// checked against SQLite's. Prints the times and the ratios SQLite / ours
// (the speed-up).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/columnar/writer/columnar_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace fendral;
using namespace fendral::columnar;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

double sqlite_run(sqlite3* db, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                  const std::vector<uint64_t>& expected) {
  sqlite3_stmt* q = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE v BETWEEN ? AND ?", -1, &q, nullptr), db);
  auto t = Clock::now();
  for (size_t i = 0; i < ranges.size(); ++i) {
    sqlite3_bind_int64(q, 1, static_cast<sqlite3_int64>(ranges[i].first));
    sqlite3_bind_int64(q, 2, static_cast<sqlite3_int64>(ranges[i].second));
    check(sqlite3_step(q), db);
    uint64_t n = static_cast<uint64_t>(sqlite3_column_int64(q, 0));
    if (n != expected[i]) {
      std::fprintf(stderr, "count mismatch on query %zu: sqlite %llu, ours %llu\n", i,
                   static_cast<unsigned long long>(n), static_cast<unsigned long long>(expected[i]));
      std::exit(1);
    }
    sqlite3_reset(q);
  }
  double s = seconds_since(t);
  sqlite3_finalize(q);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t rows = argc > 1 ? static_cast<uint32_t>(std::atoll(argv[1])) : 1000000;
  const size_t queries = argc > 2 ? static_cast<size_t>(std::atoll(argv[2])) : 1000;
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values(rows);
  for (auto& v : values) v = rng() % rows;

  ColumnarWriter writer;
  writer.record_column_type("v", ColumnType::U64, false);
  for (uint32_t d = 0; d < rows; ++d) {
    if (!writer.record_numerical(d, as_name("v"), NumericalValue::from_u64(values[d]))) return 1;
  }
  std::vector<uint8_t> file;
  VecWriter out(&file);
  if (!writer.serialize(rows, out)) return 1;
  auto reader = ColumnarReader::open(FileSlice(OwnedBytes::from_vector(std::move(file))));
  if (!reader) return 1;
  auto handles = reader->read_columns("v");
  if (!handles || handles->size() != 1) return 1;
  auto col = (*handles)[0].open();
  if (!col) return 1;
  const auto& column = std::get<Column<uint64_t>>(*col);

  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  const uint64_t width = rows / 100;
  for (size_t i = 0; i < queries; ++i) {
    uint64_t lo = rng() % (rows - width);
    ranges.emplace_back(lo, lo + width - 1);
  }
  std::vector<uint64_t> counts;
  std::vector<uint32_t> positions;
  auto t = Clock::now();
  for (const auto& [lo, hi] : ranges) {
    auto [a, b] = column.index.docid_range_to_rowids(0, rows);
    column.values->get_row_ids_for_value_range(lo, hi, a, b, positions);
    counts.push_back(positions.size());
  }
  const double ours = seconds_since(t);

  sqlite3* db = nullptr;
  check(sqlite3_open(":memory:", &db), db);
  check(sqlite3_exec(db, "CREATE TABLE t(v INTEGER); BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* ins = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?)", -1, &ins, nullptr), db);
  for (uint64_t v : values) {
    sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(v));
    check(sqlite3_step(ins), db);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  const double unindexed = sqlite_run(db, ranges, counts);
  check(sqlite3_exec(db, "CREATE INDEX t_v ON t(v)", nullptr, nullptr, nullptr), db);
  const double indexed = sqlite_run(db, ranges, counts);
  sqlite3_close(db);

  std::printf("columnar_range: %u rows, %zu queries of ~1%% selectivity (counts checked)\n", rows, queries);
  std::printf("  ours (bit-packed row search)   %8.3f s  %8.1f us/query\n", ours, 1e6 * ours / queries);
  std::printf("  sqlite unindexed               %8.3f s  %8.1f us/query  speed-up %.2fx\n", unindexed,
              1e6 * unindexed / queries, unindexed / ours);
  std::printf("  sqlite with index              %8.3f s  %8.1f us/query  speed-up %.2fx\n", indexed,
              1e6 * indexed / queries, indexed / ours);
  return 0;
}
