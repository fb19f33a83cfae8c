// A read-only, private memory map of a dump's data file (format 3 or 4),
// from which reloaded points view their vectors in place.
//
// Construction checks the description (format, element type name) and the
// data file's header against it. The records themselves are checked by the
// reload, which walks them in step with the graph file and gives each point
// the payload of its own record. Views stay valid while the map lives; every
// index built on the map shares its ownership.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "hnsw/hnsw/error.h"

namespace vantor::datamap {

inline constexpr const char* kTarget = "vantor::datamap";

class DataMap {
 public:
  // Maps "<dir>/<basename>.hnsw.data" for elements named `type_name`.
  //. Errors, never a process exit: the caller may then
  // read the vectors into memory instead.
  static Result<std::shared_ptr<const DataMap>> from_hnsw(const std::string& dir, const std::string& basename,
                                                          const std::string& type_name);
  ~DataMap();
  DataMap(const DataMap&) = delete;
  DataMap& operator=(const DataMap&) = delete;

  const unsigned char* data() const { return base_; }
  uint64_t size() const { return size_; }
  uint64_t dimension() const { return dimension_; }
  const std::string& datapath() const { return datapath_; }
  const std::string& type_name() const { return type_name_; }
  const std::string& distname() const { return distname_; }

 private:
  DataMap() = default;
  std::string datapath_;
  std::string type_name_;
  std::string distname_;
  const unsigned char* base_ = nullptr;
  uint64_t size_ = 0;
  uint64_t dimension_ = 0;
};

}  // namespace vantor::datamap
