// Composite files pack several sub-files (one per field and index) back to
// back and end in a table:
//   [sub-files][VInt n][n x (VInt offset delta, u32 field, VInt index)][u32 T]
// where T is the byte length of the table (n and the entries).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "fulltext/common/file_slice.h"
#include "fulltext/common/io.h"

namespace fendral {

struct FileAddr {
  uint32_t field;
  uint64_t idx;
  bool operator==(const FileAddr&) const = default;
};

struct FileAddrHash {
  size_t operator()(const FileAddr& a) const { return std::hash<uint64_t>()((uint64_t{a.field} << 40) ^ a.idx); }
};

class CompositeWrite {
 public:
  explicit CompositeWrite(std::unique_ptr<TerminatingWrite> writer);

  Write& for_field(uint32_t field) { return for_field_with_index(field, 0); }
  // Registers the sub-file at the current byte count. Opening the same key
  // twice is a contract violation.
  Write& for_field_with_index(uint32_t field, uint64_t idx);
  // Writes the table, flushes and terminates the file.
  IoResult<void> close();

 private:
  std::unique_ptr<TerminatingWrite> writer_;
  CountingWriter counting_;
  std::vector<std::pair<FileAddr, uint64_t>> offsets_;
};

class CompositeFile {
 public:
  // Reads the table of a composite file's body. Any table that does not fit
  // the body is an InvalidData error.
  static IoResult<CompositeFile> open(const FileSlice& body);
  static CompositeFile empty();

  std::optional<FileSlice> open_read(uint32_t field) const { return open_read_with_idx(field, 0); }
  std::optional<FileSlice> open_read_with_idx(uint32_t field, uint64_t idx) const;

 private:
  FileSlice data_;
  std::unordered_map<FileAddr, std::pair<uint64_t, uint64_t>, FileAddrHash> offsets_;
};

}  // namespace fendral
