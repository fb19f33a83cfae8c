// The vector length of every embedding model of one database.
//
// The vectors one search compares must all have one length: a node model's
// vectors (one nearest-neighbour index), an edge model's vectors (averaged
// along a path) and the references stored for one (node model, edge model)
// pair (compared with one path's embedding). The first vector stored under
// such a name sets its length and a store of another length is refused, so
// that one stray vector cannot make every later search of the model fail.
//
// The lengths are read from the stored vectors on first use (the first
// record in key order, the one an index build takes its dimension from) and
// kept while the database is open. Checking a length and storing the vector
// are one step under one lock, so concurrent stores of two lengths cannot
// both succeed.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "storage/db_error.h"

namespace zudizid::storage {
class Storage;
}

namespace zudizid::graph {

// Why a vector was not stored, naming its length and the model's; nullopt
// when it was stored.
using LengthRefusal = std::optional<std::string>;

class ModelDimensions {
 public:
  enum class Space : char { Node = 'n', Edge = 'e', PathReference = 'p' };

  // The refusal of a vector of `length` under `model` (for PathReference,
  // `model` names the pair: node model, NUL, edge model), or nullopt. Does
  // not store anything; a later store checks again.
  DbResult<LengthRefusal> check(const storage::Storage& storage, Space space, std::string_view model,
                                size_t length);

  // Checks as above and, when the length fits, runs `store` before another
  // store can check; a successful store of a model's first vector sets its
  // length.
  DbResult<LengthRefusal> store_checked(const storage::Storage& storage, Space space, std::string_view model,
                                        size_t length, const std::function<DbResult<void>()>& store);

 private:
  // Reads the lengths of every stored model once; mu_ held.
  DbResult<void> load(const storage::Storage& storage);
  LengthRefusal refusal(Space space, std::string_view model, size_t length) const;

  std::mutex mu_;
  bool loaded_ = false;                             // guarded by mu_
  std::unordered_map<std::string, size_t> lengths_;  // space byte + model -> length; guarded by mu_
};

}  // namespace zudizid::graph
