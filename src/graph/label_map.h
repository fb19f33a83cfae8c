// LabelMap: label -> ids of the current nodes carrying it, in memory.
//
// Lets a label lookup visit only that label's nodes instead of decoding
// every node record. Built from the stored node records when the handle is
// built; every writer of "node:{id}" records keeps it up to date under the
// graph's storage write lock.
//
// Invariant: every current node is listed under its label. The map may also
// list ids whose record is gone or now carries another label (a bulk load
// that overwrites a record does not know the old label), so readers re-check
// each record they fetch. Ids of a label come out in ascending order, which
// is the key order of "node:{id}" records.
//
// Concurrency: its own reader-writer lock, a leaf: held only inside these
// calls, never while another lock is taken.
#pragma once

#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/storage.h"

namespace zudizid::graph {

class LabelMap {
 public:
  // Lists every current node record of `storage`. On failure (a record
  // that does not decode) the map stays unloaded: label lookups then scan
  // the records and report that failure themselves.
  DbResult<void> load(const storage::Storage& storage);
  bool loaded() const;

  void add(std::string_view label, const Uuid& id);
  void remove(std::string_view label, const Uuid& id);
  // The ids listed under `label`, ascending.
  std::vector<Uuid> ids(std::string_view label) const;
  // The ids listed under any label, ascending, each once (a bulk load that
  // relabels a record leaves its id under both labels).
  std::vector<Uuid> all_ids() const;

 private:
  mutable std::shared_mutex mu_;
  std::unordered_map<std::string, std::set<Uuid>> map_;
  bool loaded_ = false;
};

}  // namespace zudizid::graph
