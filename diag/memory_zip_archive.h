// A zip archive written into memory with minizip's writer, through file
// functions of our own over a growable byte buffer: no file is created on
// disk, and the archive's bytes go to the caller when it is closed.
//
//   MemoryZipArchive zip;                        // throws when it cannot start
//   TextFileReader log;
//   if (log.Open(path)) zip.AddEntry("quorvpn.log", log);
//   std::vector<uint8_t> bytes;
//   zip.Close(bytes);                            // throws when it cannot finish
//
// Entries are deflated at level 9 with all-zero entry information (no time,
// no attributes); ZIP64 records are written only for a source of 4 GiB or
// more. The archive layer reports what it cannot do as std::runtime_error;
// callers at a thread boundary catch it.
//
// Thread: the thread that builds the archive; one archive per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "diag/text_file_reader.h"

namespace halyx {

class MemoryZipArchive {
 public:
  // `maxSize` bounds the archive's bytes: a write beyond it fails like a
  // failed allocation, which is what bounds it otherwise.
  explicit MemoryZipArchive(std::size_t maxSize = std::numeric_limits<std::size_t>::max());
  ~MemoryZipArchive();
  MemoryZipArchive(const MemoryZipArchive&) = delete;
  MemoryZipArchive& operator=(const MemoryZipArchive&) = delete;

  // Adds `source` under `name` (nothing for an empty name). Throws when the
  // entry cannot be opened. Stops at the end of the source or at the first
  // failed read or write; the entry is closed when every write succeeded.
  // False when something was left out.
  bool AddEntry(const std::string& name, TextFileReader& source);

  // Writes the central directory and moves the archive's bytes into `out`.
  // Throws when that fails; `out` is then unchanged.
  void Close(std::vector<uint8_t>& out);

  struct Buffer;

 private:
  std::unique_ptr<Buffer> buffer_;
  void* zip_ = nullptr;
};

}  // namespace halyx
